"""The running agent under faults: a power tool that hangs, its bus daemon restarted, a sensor file
that stops giving a value, the main volume unmounted and processors going offline. The agent lives
through each, keeps its rhythm where it can and recovers. The hung tool takes the agent's 30 s
command limit, so the other faults run meanwhile, each with an agent and a bus of its own."""

import os
import shutil
import time

from harness import (CPU, FANS, FIXTURES, DEMO, INTERVAL, SOON, SSD, TOOL_OFF, TOOL_ON, Process, check,
                     describe_status, grid_problem, require, run_cases, wait_until)

# The agent gives a hung command this long before it kills it.
COMMAND_TIME_LIMIT = 30.0


def values(monitor, name, key, after=None):
    return [m.user_info[key][1] for m in monitor.notifications([name], after=after)]


def check_rhythm(monitor, what, after=None):
    problem, deviations = grid_problem([m.time for m in monitor.notifications([FANS], after=after)], 0.5)
    check(problem is None, "the rhythm should hold through %s: %s (%s)" % (what, problem, deviations))


def processes_with_argument(argument):
    """The processes (zombies too) with `argument` in their command line."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                if argument.encode() in f.read().split(b"\0"):
                    found.append(int(entry))
        except OSError:
            pass
    return found


def hung_tool(ctx, label):
    """Starts an agent on a bus of its own whose power tool's first run hangs, with a grandchild that
    leaves its process group and holds the output open, and runs it. Returns (address, monitor,
    agent, record, an argument that finds the tool's processes)."""
    marker = ctx.path(label + ".hung")
    tag = "%d%s" % (os.getpid(), label)
    tool, record = ctx.power_tool('if [ ! -e "%s" ]; then touch "%s"; setsid sleep 1000 %s & exec sleep 1000 %s; fi'
                                  % (marker, marker, tag, tag), label=label)
    address = ctx.start_bus()
    monitor = ctx.monitor(address)
    agent = ctx.agent(address=address, power_tool=tool)
    require(monitor.wait_cycle(SOON), "no readings before the command")
    ctx.companion("power-saving", "on", address=address)
    require(wait_until(lambda: os.path.exists(marker), SOON), "the power tool was not run")
    return address, monitor, agent, record, tag


def faults_around_running_agents(ctx):
    hung = power_tool_hangs(ctx)
    terminated_while_tool_hangs(ctx)
    bus_daemon_restarted(ctx)
    sensor_stops_giving_values(ctx)
    machine_changes_between_passes(ctx)
    hung()


def power_tool_hangs(ctx):
    """Makes an agent's power tool hang; returns the check of the outcome after the time limit."""
    address, monitor, agent, record, tag = hung_tool(ctx, "hanging-tool")
    hung_at = time.time()
    # The loop never waits for the tool: the next command runs at once.
    ctx.companion("power-saving", "off", address=address)
    check(record.wait(2) == [TOOL_ON, TOOL_OFF], "a command during the hang should run at once: %s" % record.calls())

    def outcome():
        wait_until(lambda: time.time() > hung_at + COMMAND_TIME_LIMIT + 1, COMMAND_TIME_LIMIT + SOON)
        check(wait_until(lambda: not processes_with_argument(tag), SOON),
              "the hung tool and what it started should be killed at the limit: %s" % processes_with_argument(tag))
        check_rhythm(monitor, "the hang", after=hung_at)
        agent.expect_running("after a hung power tool")
    return outcome


def terminated_while_tool_hangs(ctx):
    _, _, agent, _, tag = hung_tool(ctx, "hanging-at-end")
    asked = time.time()
    agent.popen.terminate()
    status = agent.wait(SOON)
    check(status == 0 and time.time() - asked < 1.0, "SIGTERM during a hung tool should end the agent with 0 "
          "within 1 s: %s after %.2f s" % (describe_status(status), time.time() - asked))
    check(wait_until(lambda: not processes_with_argument(tag), 2.0),
          "nothing the tool started should outlive the agent: %s" % processes_with_argument(tag))


def bus_daemon_restarted(ctx):
    # Without the daemon's guid in it, the address stays good for the daemon that replaces it.
    address = ctx.start_bus().split(",guid=", 1)[0]
    monitor = ctx.monitor(address)
    tool, record = ctx.power_tool()
    agent = ctx.agent(address=address, power_tool=tool)
    require(monitor.wait_cycle(SOON), "no readings before the restart")

    socket = address.split("path=", 1)[1]
    daemon = next(p for p in ctx.processes if p.label == "dbus-daemon" and
                  p.argv[1] == "--config-file=%s/bus.conf" % os.path.dirname(socket))
    daemon.stop()
    if os.path.exists(socket):
        os.unlink(socket)
    cpu_before = agent.cpu_seconds()
    time.sleep(4.0)
    agent.expect_running("with its bus gone")
    away = agent.cpu_seconds() - cpu_before
    check(away < 0.2, "the agent should sleep while its bus is away, not spin: %.2f s of CPU in 4 s" % away)

    Process(ctx, "dbus-daemon", daemon.argv)
    require(wait_until(lambda: os.path.exists(socket), SOON), "the restarted dbus-daemon did not listen")
    monitor = ctx.monitor(address)
    require(monitor.wait_cycle(SOON + 2 * INTERVAL), "no readings after the bus came back")
    # It registered its commands again: a power command is obeyed.
    ctx.companion("power-saving", "on", address=address)
    check(record.wait(1) == [TOOL_ON], "power-saving on after the restart should run the tool: %s" % record.calls())


def sensor_stops_giving_values(ctx):
    root = ctx.path("sensor-machine")
    shutil.copytree(os.path.join(FIXTURES, "hwmon", "amd-tctl"), root, symlinks=True)
    sensor = os.path.realpath(os.path.join(root, "sys/class/hwmon/hwmon1/temp1_input"))
    with open(sensor) as f:
        original = f.read()
    address = ctx.start_bus()
    monitor = ctx.monitor(address)
    agent = ctx.agent("--root", root, "--smc", "hwmon", address=address)
    require(monitor.wait_cycle(SOON), "no readings from the fixture machine")
    check(values(monitor, CPU, "cpu")[-1] > 0, "the CPU sensor should read above 0: %s" % values(monitor, CPU, "cpu"))

    # The value file stays open in the agent; an empty file is a read that yields no value, as a
    # sensor whose device went away answers.
    open(sensor, "w").close()
    broken_at = time.time()
    require(monitor.wait(3 * 2, SOON, after=broken_at), "readings stopped when the sensor broke")
    # No sensor value reads as 0.0, which the CPU record reports as its fallback 38.0.
    during = values(monitor, CPU, "cpu", after=broken_at + 0.1)
    check(during and all(v == 38.0 for v in during), "without a sensor value the CPU reads 38.0: %s" % during)

    with open(sensor, "w") as f:
        f.write(original)
    mended_at = time.time()
    require(monitor.wait(3 * 2, SOON, after=mended_at), "readings stopped after the sensor came back")
    after = values(monitor, CPU, "cpu", after=mended_at + 0.1)
    check(after and after[-1] > 0, "the CPU reading should come back with the sensor: %s" % after)
    check_rhythm(monitor, "a sensor fault")
    agent.expect_running("after a sensor fault")


def machine_changes_between_passes(ctx):
    # A laptop's volumes and a 4-processor /proc in one tree; the SMC is the demo table.
    root = ctx.path("laptop")
    shutil.copytree(os.path.join(FIXTURES, "disks", "laptop"), root, symlinks=True)
    shutil.copytree(os.path.join(FIXTURES, "proc", "x86-4cpu", "proc"), os.path.join(root, "proc"), symlinks=True,
                    dirs_exist_ok=True)
    address = ctx.start_bus()
    monitor = ctx.monitor(address)
    agent = ctx.agent("--root", root, "--smc", "sim:" + DEMO, address=address)
    require(monitor.wait(3 * 2, SOON), "no readings from the fixture machine")
    disk = values(monitor, SSD, "disk")
    check(disk[-1] > 0, "the main volume should carry the disk reading from the second pass: %s" % disk)
    # "/" is unmounted (no main volume: the disk reading is 0 from the next pass on), two processors go offline.
    for name, gone in (("self/mountinfo", lambda line: line.split()[4] == "/"),
                       ("stat", lambda line: line.startswith(("cpu2 ", "cpu3 ")))):
        path = os.path.join(root, "proc", name)
        with open(path) as f:
            lines = f.readlines()
        with open(path, "w") as f:
            f.writelines(line for line in lines if not gone(line))
    changed_at = time.time()
    require(monitor.wait(3 * 3, SOON, after=changed_at), "readings stopped after the machine changed")
    after = values(monitor, SSD, "disk", after=changed_at + 0.1)
    check(after[1:] and all(v == 0.0 for v in after[1:]), "without a main volume the disk reading is 0: %s" % after)
    check_rhythm(monitor, "the changes")
    agent.expect_running("after the machine changed")


if __name__ == "__main__":
    run_cases([faults_around_running_agents])
