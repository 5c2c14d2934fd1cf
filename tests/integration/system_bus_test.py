"""The agent on a system bus: readings reach other users, and commands are obeyed only when their
sender runs as the agent's own user or as root. Needs root (to send as another user); skipped
otherwise. Runs on one thread (see harness.py)."""

import os
import shutil
import subprocess
import sys
import time

import harness
from harness import (ADD_MATCH_RULE, CLI, INTERVAL, NOTIFICATION_RULE, PAUSE, POWER_ON, QUIET, READINGS, SOON, START,
                     check, describe_status, gdbus_emit_argv, gvariant_string, hold_and_send_argv, note, require,
                     run_cases, show, skip_script, tool_calls, wait_until)

NOBODY = 65534


def as_nobody(argv):
    return ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"] + argv


def python_for_nobody():
    """An interpreter that user nobody may run (this one may live in root's home)."""
    for candidate in (sys.executable, shutil.which("python3", path="/usr/local/bin:/usr/bin:/bin")):
        if not candidate:
            continue
        if subprocess.run(as_nobody([candidate, "-c", "import socket, struct"]), stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0:
            return candidate
    return None


def commands_only_from_own_user_or_root(ctx):
    address = ctx.start_bus("system", all_users=True)
    monitor = ctx.monitor(address, rules=(NOTIFICATION_RULE, ADD_MATCH_RULE))
    tool, record = ctx.power_tool()
    os.chmod(ctx.directory, 0o755)
    python = python_for_nobody()
    require(python, "no Python interpreter that user nobody can run")
    # A copy of the harness that nobody can read, wherever the sources are.
    script = ctx.path("harness.py")
    shutil.copy(harness.__file__, script)
    os.chmod(script, 0o644)

    # Another user receives the readings (broadcasts reach everyone on the system bus).
    watcher = None
    if subprocess.run(as_nobody(["test", "-x", CLI])).returncode == 0:
        watcher = ctx.start(as_nobody([CLI, "watch", "--bus", "system", "--json", "--count", "3"]),
                            bus="system", label="trellis")
        check(monitor.wait_reading_matches(3, SOON),
              "the companion run as nobody did not register for the readings: %s" % watcher.stderr())
    else:
        note("the companion is not reachable for user nobody; not checking that other users receive readings")

    agent = ctx.agent(address=address, bus="system", power_tool=tool)
    first = monitor.wait_cycle(SOON)
    require(first, "no readings on the system bus within %.0f s" % SOON)
    agent_name = first.sender

    if watcher is not None:
        status = watcher.wait(INTERVAL + SOON)
        check(status == 0 and len(watcher.stdout().splitlines()) == 3,
              "user nobody should receive the readings: watch ended with %s, printed %r, stderr %r" %
              (describe_status(status), watcher.stdout(), watcher.stderr()))

    # Commands from nobody, from clients that stay connected while the agent asks who sent them
    # (so that only the sender's user can make the agent ignore them), and from gdbus.
    sent_at = time.time()
    held = [ctx.start(as_nobody(hold_and_send_argv(address, name, 1.0, python=python, script=script)), bus="system")
            for name in (POWER_ON, PAUSE, START)]
    for name in (PAUSE, START):
        ctx.run_ok(as_nobody(gdbus_emit_argv(gvariant_string(name), bus="system")), "%s as nobody (gdbus)" % name,
                   bus="system")
    for process in held:
        check(process.wait(SOON) == 0, "a client run as nobody failed: %s" % process.stderr())
    def nobody_commands(messages):
        found = [m for m in messages if m.is_notification() and m.name in (PAUSE, START, POWER_ON)
                 and m.time >= sent_at - 0.01]
        return found if len(found) >= 5 else None
    seen = monitor.wait_for(nobody_commands, SOON)
    check(seen, "the five commands sent as nobody should be on the bus (the test's policy lets them through): %s" %
          show(monitor.notifications([PAUSE, START, POWER_ON])))
    after = monitor.wait_cycle(INTERVAL + SOON, sender=agent_name, after=time.time())
    check(after, "commands from user nobody should be ignored, but the readings stopped")
    agent.expect_running("after commands from user nobody")
    check(tool_calls(record) == [], "power saving from user nobody should be ignored, the tool ran: %s" %
          tool_calls(record))

    # The same from root, first from a client that stays connected.
    ctx.run_ok(hold_and_send_argv(address, POWER_ON, 0.5), "power saving on as root (connection held)",
               bus="system")
    ran = wait_until(lambda: tool_calls(record) == ["-a lowpowermode 1"], SOON)
    check(ran, "power saving from root should run the tool, ran %s" % tool_calls(record))

    # The companion ends right after sending: its commands must not be lost either.
    for _ in range(5):
        status, out, err = ctx.companion("power-saving", "off", "--bus", "system", address=address, bus="system")
        check(status == 0, "trellis power-saving off --bus system: %s %s" % (describe_status(status), err))
    wait_until(lambda: len(tool_calls(record)) >= 6, SOON)
    check(tool_calls(record)[1:] == ["-a lowpowermode 0"] * 5,
          "five `trellis power-saving off --bus system` from root should run the tool five times; it ran %d "
          "time(s). (A command whose sender has already left the bus when the agent asks for its user is "
          "ignored.)" % len(tool_calls(record)[1:]))

    monitor.wait_early_in_interval(agent_name, "before root paused the agent")
    status, out, err = ctx.companion("pause", "--bus", "system", address=address, bus="system")
    check(status == 0, "trellis pause --bus system: %s %s" % (describe_status(status), err))
    paused_at = time.time()
    time.sleep(QUIET)
    late = [m for m in monitor.readings(agent_name) if m.time > paused_at]
    check(not late, "`trellis pause --bus system` from root should stop the readings: %s" % show(late))

    status, out, err = ctx.companion("quit", "--bus", "system", address=address, bus="system")
    check(status == 0, "trellis quit --bus system: %s %s" % (describe_status(status), err))
    agent.expect_exit(0, SOON, "`trellis quit --bus system` from root")
    others = [m for m in monitor.notifications(sender=agent_name) if m.name not in READINGS]
    check(not others, "the agent posted something other than readings: %s" % show(others))


if __name__ == "__main__":
    if os.geteuid() != 0:
        skip_script("sending as another user needs root")
    if not shutil.which("setpriv"):
        skip_script("setpriv is not installed")
    run_cases([commands_only_from_own_user_or_root])
