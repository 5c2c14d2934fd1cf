"""The agent's wait for a console user, on a root folder whose utmp file the test writes: while
nobody is at the console the agent posts nothing and sleeps; a login on a pseudo-terminal does
not count; a login on a console line starts the readings at once. Skipped when logind on this
machine knows seats (the agent then asks logind, which a test cannot play).
Runs on one thread (see harness.py)."""

import os
import struct
import time

from harness import (INTERVAL, POWER_ON, SOON, check, gdbus_emit_argv, gvariant_string, note, require, run_cases,
                     show, skip_script, tool_calls)

# struct utmp of glibc on x86-64 (384 bytes).
UTMP = struct.Struct("<hxxi32s4s32s256shhiii4i20x")
assert UTMP.size == 384
USER_PROCESS = 7
LOGIN_PROCESS = 6
MEASURE = 3.0


def utmp_record(kind, line, user, pid=4242):
    now = time.time()
    return UTMP.pack(kind, pid, line.encode(), line[-4:].encode(), user.encode(), b"", 0, 0, 0,
                     int(now), int((now % 1) * 1e6), 0, 0, 0, 0)


def append(path, record):
    with open(path, "ab") as f:
        f.write(record)


def logind_knows_seats():
    try:
        return bool(os.listdir("/run/systemd/seats"))
    except OSError:
        return False


def waits_quietly_until_a_console_login(ctx):
    address = ctx.start_bus()
    monitor = ctx.monitor(address)
    tool, record = ctx.power_tool()
    root = ctx.path("root")
    os.makedirs(os.path.join(root, "run"))
    utmp = os.path.join(root, "run", "utmp")
    open(utmp, "wb").close()

    agent = ctx.agent("--root", root, address=address, power_tool=tool)
    # Let start-up (and a sanitizer's own set-up) finish before measuring.
    time.sleep(1.0)
    require(agent.running(), "the agent ended while waiting for a console user: %s" % agent.stderr())
    cpu_before, at_before = agent.cpu_seconds(), time.monotonic()
    # A command sent while the agent waits is not seen: it has not registered yet.
    ctx.run_ok(gdbus_emit_argv(gvariant_string(POWER_ON)), "power saving on while the agent waits", address=address)
    time.sleep(MEASURE)
    used, elapsed = agent.cpu_seconds() - cpu_before, time.monotonic() - at_before
    note("CPU time while waiting: %.3f s over %.2f s (%.2f%%)" % (used, elapsed, 100 * used / elapsed))
    check(used < 0.01 * elapsed, "waiting for a console user should use under 1%% of a CPU; used %.3f s over %.2f s" %
          (used, elapsed))
    check(not monitor.readings(), "nothing should be posted while nobody is at the console: %s" %
          show(monitor.readings()))

    # Neither a login on a pseudo-terminal nor a login process on a console line is a console user.
    append(utmp, utmp_record(USER_PROCESS, "pts/3", "remote"))
    append(utmp, utmp_record(LOGIN_PROCESS, "tty1", "LOGIN"))
    time.sleep(1.0)
    check(not monitor.readings(), "a login on pts/3 or a login process on tty1 started the readings: %s" %
          show(monitor.readings()))
    check(agent.running(), "the agent ended while waiting: %s" % agent.stderr())

    # A user process on tty1 is: readings start at once.
    logged_in = time.time()
    append(utmp, utmp_record(USER_PROCESS, "tty1", "alice"))
    first = monitor.wait_cycle(SOON)
    require(first, "readings should start once a user is logged in on tty1; none within %.0f s" % SOON)
    note("first cycle %.3f s after the console login" % (first.time - logged_in))
    check(first.time - logged_in < INTERVAL,
          "readings should start at once after the console login, came %.3f s after" % (first.time - logged_in))
    check(tool_calls(record) == [], "a command sent while the agent waited was carried out later: %s" %
          tool_calls(record))


def starts_at_once_with_a_login_already_recorded(ctx):
    """A console user already present at start, in the older var/run/utmp layout."""
    address = ctx.start_bus()
    monitor = ctx.monitor(address)
    root = ctx.path("old-layout")
    os.makedirs(os.path.join(root, "var", "run"))
    with open(os.path.join(root, "var", "run", "utmp"), "wb") as f:
        f.write(utmp_record(USER_PROCESS, "pts/0", "remote"))
        f.write(utmp_record(USER_PROCESS, ":0", "bob"))
    started = time.time()
    agent = ctx.agent("--root", root, address=address)
    first = monitor.wait_cycle(SOON)
    require(first, "with a user on display :0 in var/run/utmp the agent should start at once; no readings within "
            "%.0f s: %s" % (SOON, agent.stderr()))
    note("first cycle %.3f s after starting the agent" % (first.time - started))


if __name__ == "__main__":
    if logind_knows_seats():
        skip_script("logind on this machine knows seats; the agent asks it instead of the test's utmp file")
    run_cases([waits_quietly_until_a_console_login, starts_at_once_with_a_login_already_recorded])
