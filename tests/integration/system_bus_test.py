"""The agent on a system-like bus run by dbus-daemon with Debian's system.conf and the shipped policy
(packaging/org.trellis.Agent.conf): the agent runs as the trellis user, another local user (nobody)
tries to freeze, fool and silence it, and root commands it. Needs root and the trellis user
(systemd-sysusers packaging/sysusers.d/trellis.conf); skipped otherwise."""

import os
import pwd
import re
import shutil
import subprocess
import threading
import time

from harness import (AGENT, CLI, DEMO, PAUSE, CPU, SANITIZED, SOON, TOOL_ON, Agent, check, describe_status, require,
                     run_cases, skip_script, wait_until)

PACKAGING = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging"))
POLICY = os.path.join(PACKAGING, "org.trellis.Agent.conf")
AS_TRELLIS = ["setpriv", "--reuid=trellis", "--regid=trellis", "--init-groups"]
# Each sender's count of 33 MB commands (dbus-daemon takes about a second over each);
# TRELLIS_BIG_FLOOD_MESSAGES=20 is the full 8 x 20 flood.
BIG_FLOOD_MESSAGES = int(os.environ.get("TRELLIS_BIG_FLOOD_MESSAGES", "3"))
AS_NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]

# Sends `count` notifications named argv[2] with `size` bytes of user information through GLib.
BIG_SENDER = r"""
import sys
from gi.repository import Gio, GLib
address, name, count, size = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
flags = Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION
bus = Gio.DBusConnection.new_for_address_sync(address, flags, None, None)
# Built from one buffer: element by element, 33 MB would take minutes.
info = {"blob": GLib.Variant.new_from_bytes(GLib.VariantType("ay"), GLib.Bytes.new(bytes(size)), True)}
for _ in range(count):
    bus.emit_signal(None, "/org/trellis/DistributedCenter", "org.trellis.DistributedCenter1", "Notification",
                    GLib.Variant("(ssa{sv})", (name, "", info)))
bus.flush_sync(None)
"""


def start_system_bus(ctx):
    """A dbus-daemon with Debian's system.conf, listening in the case's folder, whose only service
    policy is the shipped one. Returns its address."""
    os.chmod(ctx.directory, 0o755)
    with open("/usr/share/dbus-1/system.conf") as f:
        config = f.read()
    for element in (r"<user>.*?</user>", r"<fork/>", r"<pidfile>.*?</pidfile>", r"<servicehelper>.*?</servicehelper>",
                    r"<standard_system_servicedirs/>", r"<syslog/>", r"<include [^>]*>.*?</include>",
                    r"<includedir>/etc/.*?</includedir>"):
        config = re.sub(element, "", config)
    config = config.replace("<includedir>system.d</includedir>", "<include>%s</include>" % POLICY)

    def in_folder(folder):
        os.chmod(folder, 0o755)
        return re.sub(r"<listen>.*?</listen>", "<listen>unix:path=%s/socket</listen>" % folder, config)
    return ctx.start_bus("system", in_folder)


def reachable_copy(ctx, program):
    """`program`, or a copy of it that other users can run."""
    if subprocess.run(AS_NOBODY + ["test", "-x", program]).returncode == 0:
        return program
    copy = shutil.copy(program, ctx.path(os.path.basename(program)))
    os.chmod(copy, 0o755)
    return copy


class Watch:
    """`trellis watch --json` on the system bus, as `user_argv`, with the time each line came."""

    def __init__(self, ctx, address, cli, user_argv=()):
        self.lines = []
        self.process = ctx.start(list(user_argv) + [cli, "--bus", "system", "watch", "--json"], address, "system")
        self._file = open(self.process.stdout_path, "rb")
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        pending = b""
        while self.process.running():
            pending += self._file.read() or time.sleep(0.01) or b""
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                self.lines.append((time.time(), line.decode("utf-8", "replace")))

    def times(self, name):
        return [t for t, line in self.lines if '"%s"' % name in line]


def agent_as_trellis(ctx, address, *options, power_tool=None):
    argv = AS_TRELLIS + [ctx.agent_path, "--bus", "system", "--smc", "sim:" + ctx.demo,
                         "--root", ctx.path("empty-root")] + (["--power-tool", power_tool] if power_tool else [])
    os.makedirs(ctx.path("empty-root"), exist_ok=True)
    return Agent(ctx, "agent", argv + list(options), env=ctx.bus_env(address, "system"))


def watched_agent(ctx):
    """A fresh system-like bus with the agent on it as trellis and root's watch showing its readings;
    returns (address, tool record, agent, watch)."""
    ctx.agent_path, ctx.cli = reachable_copy(ctx, AGENT), reachable_copy(ctx, CLI)
    ctx.demo = shutil.copy(DEMO, ctx.path("demo-smc.json"))
    os.chmod(ctx.demo, 0o644)
    address = start_system_bus(ctx)
    tool, record = ctx.power_tool()
    os.chmod(ctx.path(""), 0o777)  # the trellis user records its calls beside the tool
    agent = agent_as_trellis(ctx, address, power_tool=tool)
    watch = Watch(ctx, address, ctx.cli)
    require(wait_until(lambda: watch.times(CPU), SOON), "no readings on the system bus: %s" % agent.stderr_tail())
    return address, record, agent, watch


def the_bus_enforces_the_policy(ctx):
    address, record, agent, watch = watched_agent(ctx)

    # Only the trellis user or root may own the agent's name; a second agent exits 1.
    second = agent_as_trellis(ctx, address)
    check(second.wait(SOON) == 1 and "another agent runs" in second.stderr(), "a second agent should exit 1 saying "
          "why: %s %s" % (describe_status(second.wait(0)), second.stderr()))
    status, out, err = ctx.run(AS_NOBODY + [ctx.agent_path, "--bus", "system", "--smc", "none", "--root",
                                            ctx.path("empty-root")], address, "system")
    check(status == 1 and "org.trellis.Agent" in err, "nobody may not own the name: %s %s" % (status, err))

    # Anyone reads the properties; only root and the trellis group call the methods.
    status, out, err = ctx.run(AS_NOBODY + ["busctl", "--address=" + address, "get-property", "org.trellis.Agent",
                                            "/org/trellis/Agent", "org.trellis.Agent1", "Paused"], address, "system")
    check(status == 0 and out.strip() == "b false", "nobody should read the properties: %s %s" % (out, err))
    status, out, err = ctx.run(AS_NOBODY + [ctx.cli, "--bus", "system", "pause"], address, "system")
    check(status != 0 and "denied" in err.lower(), "the bus should deny nobody's Pause: %s %s" % (status, err))

    # A reading forged by nobody never reaches root's watch, nor do control characters a sender chose.
    forged = ctx.start(AS_NOBODY + [ctx.cli, "--bus", "system", "post", CPU, "--user-info", '{"cpu": 104.5}',
                                    "--repeat", "5"], address, "system")
    check(forged.wait(SOON) == 0, "nobody's post failed: %s" % forged.stderr())
    time.sleep(2.5)
    check(not any("104.5" in line for _, line in watch.lines), "a forged reading reached the watch")

    # Root's commands are acknowledged and carried out.
    for args in (["power-saving", "on"], ["pause"]):
        status, out, err = ctx.companion("--bus", "system", *args, address=address, bus="system")
        check(status == 0, "root's trellis %s: %s %s" % (" ".join(args), describe_status(status), err))
    check(record.wait(1) == [TOOL_ON], "root's power-saving on should run the tool: %s" % record.calls())
    status, out, err = ctx.run(["busctl", "--address=" + address, "get-property", "org.trellis.Agent",
                                "/org/trellis/Agent", "org.trellis.Agent1", "Paused"], address, "system")
    check(out.strip() == "b true", "root's pause should pause the agent: %s" % out)
    status, out, err = ctx.companion("--bus", "system", "quit", address=address, bus="system")
    check(status == 0, "root's quit: %s %s" % (describe_status(status), err))
    agent.expect_exit(0, SOON, "root's quit")


def floods_from_another_user(ctx):
    address, record, agent, watch = watched_agent(ctx)

    # 100,000 small commands from nobody while root switches power saving on ten times.
    flood = ctx.start(AS_NOBODY + [ctx.cli, "--bus", "system", "post", PAUSE, "--repeat", "100000"], address, "system")
    time.sleep(0.5)
    statuses = [ctx.companion("--bus", "system", "power-saving", "on", address=address, bus="system")[0]
                for _ in range(10)]
    check(statuses == [0] * 10, "root's ten commands during the flood should all be acknowledged: %s" % statuses)
    check(len(record.wait(10)) == 10, "the tool should run ten times: %s" % record.calls())
    check(flood.wait(60) == 0, "the flood did not end: %s" % flood.stderr())

    before = len(watch.times(CPU))
    check(wait_until(lambda: len(watch.times(CPU)) > before, SOON), "nobody's pauses should be ignored")

    # 8 senders x BIG_FLOOD_MESSAGES commands of 33 MB each.
    rss = lambda field: int(re.search(r"%s:\s+(\d+) kB" % field, open("/proc/%d/status" % agent.pid).read()).group(1))
    started = time.time()
    sender = ctx.path("big_sender.py")
    with open(sender, "w") as f:
        f.write(BIG_SENDER)
    os.chmod(sender, 0o644)
    senders = [ctx.start(AS_NOBODY + ["/usr/bin/python3", sender, address, PAUSE, str(BIG_FLOOD_MESSAGES), "33000000"], address,
                         "system", label="sender") for _ in range(8)]
    check(all(s.wait(300) == 0 for s in senders), "the senders failed: %s" % [s.stderr()[-300:] for s in senders])
    time.sleep(4.5)
    times = [t for t in watch.times(CPU) if t > started - 2]
    gaps = [b - a for a, b in zip(times, times[1:])]
    check(gaps and max(gaps) < 2.5, "the readings' largest gap during the flood was %.2f s" % max(gaps or [0]))
    peak, now = rss("VmHWM") / 1024, rss("VmRSS") / 1024
    check(SANITIZED or (peak < 256 and now < 32), "the agent's memory: peak %.0f MiB (256 allowed), %.0f after (32)" %
          (peak, now))
    agent.expect_running("after the floods")


if __name__ == "__main__":
    if os.geteuid() != 0:
        skip_script("running as other users needs root")
    try:
        pwd.getpwnam("trellis")
    except KeyError:
        skip_script("no trellis user (systemd-sysusers packaging/sysusers.d/trellis.conf creates it)")
    run_cases([the_bus_enforces_the_policy, floods_from_another_user])
