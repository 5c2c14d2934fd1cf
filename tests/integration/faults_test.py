"""The running agent under faults around it: its bus daemon restarted, a sensor file that stops
giving a value, the main volume unmounted and processors going offline between passes, a power
tool that hangs. The agent must live through each, keep its 2-second
rhythm where it can, and go back to normal when the fault goes. Runs on one thread (see
harness.py)."""

import os
import shutil
import time

from harness import (CPU, FANS, SSD, INTERVAL, QUIET, SOON, Process, check, grid_problem, require, run_cases, show,
                     tool_calls, wait_until)

TESTS = os.environ.get("TRELLIS_TESTS_DIR", os.path.dirname(__file__) + "/..")
FIXTURES = os.path.join(TESTS, "fixtures", "hwmon")
DEMO = os.path.abspath(os.path.join(TESTS, "..", "share", "demo-smc.json"))
# The agent gives a hung command this long before it kills it.
COMMAND_TIME_LIMIT = 30.0


def restart_bus(ctx, address):
    """Stops the dbus-daemon listening at `address` and starts a new one on the same socket."""
    daemon = next(p for p in ctx.processes if p.label == "dbus-daemon" and p.running())
    argv = daemon.argv
    daemon.stop()
    socket = address.split("path=", 1)[1].split(",", 1)[0]
    if os.path.exists(socket):
        os.unlink(socket)
    return daemon, argv, socket


def cpu_values(monitor, sender=None):
    return [m.user_info["cpu"][1] for m in monitor.notifications([CPU], sender)]


def bus_daemon_restarted(ctx):
    # Without the daemon's guid in it, the address stays good for the daemon that replaces it.
    address = ctx.start_bus().split(",guid=", 1)[0]
    monitor = ctx.monitor(address)
    tool, record = ctx.power_tool()
    agent = ctx.agent(address=address, power_tool=tool)
    require(monitor.wait_cycle(SOON), "no readings before the restart")

    _, argv, socket = restart_bus(ctx, address)
    cpu_before = agent.cpu_seconds()
    time.sleep(4.0)
    agent.expect_running("with its bus gone")
    away = agent.cpu_seconds() - cpu_before
    check(away < 0.2, "the agent should sleep while its bus is away, not spin: %.2f s of CPU in 4 s" % away)

    Process(ctx, "dbus-daemon", argv, env=ctx.env())
    require(wait_until(lambda: os.path.exists(socket), SOON), "the restarted dbus-daemon did not listen")
    monitor = ctx.monitor(address)
    first = monitor.wait_cycle(SOON + 2 * INTERVAL)
    require(first, "the agent did not post again within %.0f s of the bus coming back" % (SOON + 2 * INTERVAL))
    # It registered its commands again: a power command and a pause are obeyed.
    ctx.companion("power-saving", "on", address=address)
    check(wait_until(lambda: tool_calls(record) == ["-a lowpowermode 1"], SOON),
          "power-saving on after the restart should run the tool once: %s" % tool_calls(record))
    monitor.wait_early_in_interval(first.sender, "pause after the restart")
    ctx.companion("pause", address=address)
    paused_at = time.time()
    time.sleep(QUIET + INTERVAL)
    late = [m for m in monitor.readings(first.sender) if m.time > paused_at + 0.5]
    check(not late, "after a pause on the new bus no reading should come: %s" % show(late))


def sensor_stops_giving_values(ctx):
    root = ctx.path("machine")
    shutil.copytree(os.path.join(FIXTURES, "amd-tctl"), root, symlinks=True)
    sensor = os.path.join(root, "sys/class/hwmon/hwmon1/temp1_input")
    sensor = os.path.realpath(sensor)
    with open(sensor) as f:
        original = f.read()
    address = ctx.start_bus()
    monitor = ctx.monitor(address)
    agent = ctx.agent("--root", root, "--smc", "hwmon", address=address)
    require(monitor.wait_cycle(SOON), "no readings from the fixture machine")
    check(cpu_values(monitor)[-1] > 0, "the fixture's CPU sensor should read above 0: %s" % cpu_values(monitor))

    # The value file stays open in the agent; an empty file is a read that yields no value, as
    # a sensor whose device went away answers.
    with open(sensor, "w"):
        pass
    broken_at = time.time()
    require(monitor.wait_readings(3 * 3, SOON, after=broken_at), "readings stopped when the sensor broke")
    during = [m.user_info["cpu"][1] for m in monitor.notifications([CPU]) if m.time > broken_at + 0.1]
    # No sensor value reads as 0.0, which the CPU record reports as its fallback 38.0.
    check(during and all(v == 38.0 for v in during),
          "with no CPU sensor value the reading falls back to 38.0: %s" % during)

    with open(sensor, "w") as f:
        f.write(original)
    mended_at = time.time()
    require(monitor.wait_readings(3 * 2, SOON, after=mended_at), "readings stopped after the sensor came back")
    after = [m.user_info["cpu"][1] for m in monitor.notifications([CPU]) if m.time > mended_at + 0.1]
    check(after and after[-1] > 0, "the CPU reading should come back with the sensor: %s" % after)

    times = [m.time for m in monitor.notifications([FANS])]
    problem, deviations = grid_problem(times, 0.5)
    check(problem is None, "the rhythm should hold through the fault: %s (%s)" % (problem, deviations))
    agent.expect_running("after a sensor fault")


def machine_changes_between_passes(ctx):
    # A laptop's volumes and a 4-processor /proc in one tree; the SMC is the demo table.
    root = ctx.path("machine")
    shutil.copytree(os.path.join(TESTS, "fixtures", "disks", "laptop"), root, symlinks=True)
    shutil.copytree(os.path.join(TESTS, "fixtures", "proc", "x86-4cpu", "proc"), os.path.join(root, "proc"),
                    symlinks=True, dirs_exist_ok=True)
    mountinfo = os.path.join(root, "proc", "self", "mountinfo")
    stat = os.path.join(root, "proc", "stat")
    address = ctx.start_bus()
    monitor = ctx.monitor(address)
    agent = ctx.agent("--root", root, "--smc", "sim:" + DEMO, address=address)
    require(monitor.wait_readings(3 * 2, SOON), "no readings from the fixture machine")
    disk = [m.user_info["disk"][1] for m in monitor.notifications([SSD])]
    check(disk[-1] > 0, "the main volume should carry the disk reading from its second pass: %s" % disk)

    # "/" is unmounted: no main volume, so the disk reading is 0 from the next pass on.
    with open(mountinfo) as f:
        lines = f.readlines()
    with open(mountinfo, "w") as f:
        f.writelines(line for line in lines if line.split()[4] != "/")
    # Two processors go offline.
    with open(stat) as f:
        lines = f.readlines()
    with open(stat, "w") as f:
        f.writelines(line for line in lines if not line.startswith(("cpu2 ", "cpu3 ")))
    changed_at = time.time()
    require(monitor.wait_readings(3 * 3, SOON, after=changed_at), "readings stopped after the machine changed")
    after = [m.user_info["disk"][1] for m in monitor.notifications([SSD]) if m.time > changed_at + 0.1]
    check(after[1:] and all(v == 0.0 for v in after[1:]), "without a main volume the disk reading is 0: %s" % after)

    times = [m.time for m in monitor.notifications([FANS])]
    problem, deviations = grid_problem(times, 0.5)
    check(problem is None, "the rhythm should hold through the changes: %s (%s)" % (problem, deviations))
    agent.expect_running("after the machine changed")


def power_tool_hangs(ctx):
    address = ctx.start_bus()
    monitor = ctx.monitor(address)
    tool, record = ctx.power_tool()
    marker = ctx.path("hung")
    with open(tool, "w") as f:
        # The first call hangs (holding the output pipe open), later ones just record.
        f.write('#!/bin/sh\necho "$*" >> "%s"\nif [ ! -e "%s" ]; then touch "%s"; exec sleep 1000; fi\n'
                % (record, marker, marker))
    agent = ctx.agent(address=address, power_tool=tool)
    first = monitor.wait_cycle(SOON)
    require(first, "no readings before the command")

    ctx.companion("power-saving", "on", address=address)
    require(wait_until(lambda: os.path.exists(marker), SOON), "the power tool was not run")
    hung_at = time.time()
    resumed = monitor.wait_cycle(COMMAND_TIME_LIMIT + SOON, after=hung_at + INTERVAL)
    require(resumed, "the agent should give up on a hung tool after %.0f s and post again" % COMMAND_TIME_LIMIT)
    waited = resumed.time - hung_at
    check(waited < COMMAND_TIME_LIMIT + 2 * INTERVAL + 1, "readings resumed %.1f s after the hang" % waited)
    leftovers = [pid for pid in os.listdir("/proc") if pid.isdigit() and _cmdline(pid) == ["sleep", "1000"]
                 and _parent(pid) == agent.pid]
    check(not leftovers, "the hung child should be killed and reaped: %s" % leftovers)

    ctx.companion("power-saving", "off", address=address)
    check(wait_until(lambda: tool_calls(record) == ["-a lowpowermode 1", "-a lowpowermode 0"], SOON),
          "the next power command should run normally: %s" % tool_calls(record))
    agent.expect_running("after a hung power tool")


def _cmdline(pid):
    try:
        with open("/proc/%s/cmdline" % pid, "rb") as f:
            return [part.decode(errors="replace") for part in f.read().split(b"\0") if part]
    except OSError:
        return []


def _parent(pid):
    try:
        with open("/proc/%s/stat" % pid) as f:
            return int(f.read().rpartition(")")[2].split()[1])
    except (OSError, ValueError, IndexError):
        return None


if __name__ == "__main__":
    run_cases([bus_daemon_restarted, sensor_stops_giving_values, machine_changes_between_passes, power_tool_hangs])
