"""The agent on a system bus obeys commands only when their sender runs as the agent's own user or
as root. Needs root (to send as another user); skipped otherwise. Runs on one thread (see
harness.py)."""

import os
import shutil
import time

import harness
from harness import (PAUSE, POWER_OFF, POWER_ON, SOON, START, TOOL_OFF, TOOL_ON, check, describe_status,
                     hold_and_send_argv, require, run_cases, show, skip_script)

NOBODY = 65534


def commands_only_from_own_user_or_root(ctx):
    address = ctx.start_bus("system", all_users=True)
    monitor = ctx.monitor(address)
    tool, record = ctx.power_tool()
    agent = ctx.agent(address=address, bus="system", power_tool=tool)
    first = monitor.wait_cycle(SOON)
    require(first, "no readings on the system bus within %.0f s" % SOON)

    # Commands from nobody, from clients that stay connected while the agent asks who sent them
    # (so that only the sender's user can make the agent ignore them). They run a copy of the
    # harness that nobody can read, wherever the sources are.
    script = ctx.path("harness.py")
    shutil.copy(harness.__file__, script)
    os.chmod(script, 0o644)
    sent_at = time.time()
    senders = [ctx.start(["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"] +
                         hold_and_send_argv(address, name, 1.0, python="/usr/bin/python3", script=script))
               for name in (POWER_ON, PAUSE, START)]
    require(monitor.wait(3, SOON, [POWER_ON, PAUSE, START], after=sent_at),
            "the three commands sent as nobody should be on the bus: %s" % show(monitor.notifications()))
    check(monitor.wait_cycle(SOON, sender=first.sender, after=time.time()),
          "commands from user nobody should be ignored, but the readings stopped")
    agent.expect_running("after commands from user nobody")
    check(record.calls() == [], "power saving from user nobody should be ignored, the tool ran: %s" % record.calls())
    check(all(s.wait(SOON) == 0 for s in senders), "a client run as nobody failed: %s" % [s.stderr() for s in senders])

    # The same from root: a client that stays connected, and the companion, which stays only a
    # moment after sending.
    ctx.run_ok(hold_and_send_argv(address, POWER_ON, 0.5), "power saving on as root", address=address, bus="system")
    for _ in range(2):
        status, out, err = ctx.companion("power-saving", "off", "--bus", "system", address=address, bus="system")
        check(status == 0, "trellis power-saving off --bus system: %s %s" % (describe_status(status), err))
    check(record.wait(3) == [TOOL_ON, TOOL_OFF, TOOL_OFF], "power saving on (held connection), then two "
          "`trellis power-saving off --bus system` from root should each run the tool: %s" % record.calls())
    status, out, err = ctx.companion("quit", "--bus", "system", address=address, bus="system")
    check(status == 0, "trellis quit --bus system: %s %s" % (describe_status(status), err))
    agent.expect_exit(0, SOON, "`trellis quit --bus system` from root")


if __name__ == "__main__":
    if os.geteuid() != 0:
        skip_script("sending as another user needs root")
    run_cases([commands_only_from_own_user_or_root])
