"""The agent's wait for a console user, on a root folder whose utmp file the test writes: while nobody
is at the console the agent posts nothing, sleeps, ignores commands and answers method calls with
the reason; a login on a console line starts the readings at once. It is ready for systemd at once,
and a hangup leaves it running. Skipped when logind here knows seats (the agent then asks logind)."""

import os
import signal
import socket
import struct
import subprocess
import time

from harness import (AGENT, INTERVAL, POWER_ON, SANITIZED, SOON, Agent, check, gdbus_emit_argv, note, require, run_cases, show,
                     skip_script)

# struct utmp of glibc on x86-64 (384 bytes): a user process on tty1.
UTMP = struct.Struct("<hxxi32s4s32s256shhiii4i20x")
USER_PROCESS = 7
MEASURE = 3.0


def waits_quietly_until_a_console_login(ctx):
    address = ctx.start_bus()
    monitor = ctx.monitor()
    tool, record = ctx.power_tool()
    root = ctx.path("root")
    os.makedirs(os.path.join(root, "run"))
    utmp = os.path.join(root, "run", "utmp")
    open(utmp, "wb").close()

    # Ready for systemd at once, before any user is at the console.
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(ctx.path("notify"))
    notify.settimeout(SOON)
    started = time.monotonic()
    agent = Agent(ctx, "agent", [AGENT, "--bus", "session", "--root", root, "--power-tool", tool],
                  env=ctx.env(DBUS_SESSION_BUS_ADDRESS=address, NOTIFY_SOCKET=ctx.path("notify")))
    while "READY=1" not in notify.recv(4096).decode().split("\n"):
        pass
    ready = time.monotonic() - started
    limit = 1.0 if SANITIZED else 0.1
    check(ready < limit, "READY=1 should come within %.0f ms of the start; came after %.3f s" % (limit * 1000, ready))
    agent.popen.send_signal(signal.SIGHUP)
    time.sleep(1.0)  # let start-up (and a sanitizer's set-up) finish before measuring
    require(agent.running(), "the agent ended while waiting for a console user (or on SIGHUP): %s" % agent.stderr())
    cpu_before, at_before = agent.cpu_seconds(), time.monotonic()
    # A command sent while the agent waits is not seen: it has not registered yet.
    ctx.run_ok(gdbus_emit_argv(POWER_ON), "power saving on while the agent waits")
    # Asked directly, it answers why not.
    status, _, err = ctx.companion("power-saving", "on")
    check((status, err) == (1, "trellis: cannot switch power saving on: the agent answered: waiting for a user at the "
                                "console\n"), "trellis power-saving on while the agent waits: %s, %r" % (status, err))
    time.sleep(MEASURE)
    used, elapsed = agent.cpu_seconds() - cpu_before, time.monotonic() - at_before
    note("CPU time while waiting: %.3f s over %.2f s (%.2f%%)" % (used, elapsed, 100 * used / elapsed))
    check(used < 0.01 * elapsed, "waiting for a console user should use under 1%% of a CPU: %.3f s" % used)
    check(not monitor.readings(), "nothing should be posted while nobody is at the console: %s" % show(monitor.readings()))

    logged_in = time.time()
    with open(utmp, "ab") as f:
        f.write(UTMP.pack(USER_PROCESS, 4242, b"tty1", b"tty1", b"alice", b"", 0, 0, 0, int(logged_in), 0, 0, 0, 0, 0))
    first = monitor.wait_cycle(SOON)
    require(first, "readings should start once a user is logged in on tty1; none within %.0f s" % SOON)
    check(first.time - logged_in < INTERVAL, "readings should start at once after the login, not %.3f s after" %
          (first.time - logged_in))
    check(record.calls() == [], "a command sent while the agent waited was carried out later: %s" % record.calls())

    # Its object on the bus, whose properties change with every cycle.
    out = ctx.run_ok(["busctl", "--address=" + address, "introspect", "org.trellis.Agent", "/org/trellis/Agent"],
                     "introspecting the agent")
    check("org.trellis.Agent1" in out and ".LastSampleTime" in out, "busctl introspect: %s" % out)
    changes = subprocess.run(["timeout", str(2 * INTERVAL + 0.5), "dbus-monitor", "--address", address,
                              "type='signal',path='/org/trellis/Agent',member='PropertiesChanged'"],
                             capture_output=True, text=True).stdout.count("member=PropertiesChanged")
    check(changes >= 2, "the properties should change every cycle: %d changes" % changes)


if __name__ == "__main__":
    if os.path.isdir("/run/systemd/seats") and os.listdir("/run/systemd/seats"):
        skip_script("logind on this machine knows seats; the agent asks it instead of the test's utmp file")
    run_cases([waits_quietly_until_a_console_login])
