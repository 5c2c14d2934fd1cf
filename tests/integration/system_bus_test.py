"""The agent on a system bus obeys commands only when their sender runs as the agent's own user or
as root. Needs root (to send as another user); skipped otherwise. Runs on one thread (see
harness.py)."""

import os
import shutil
import subprocess
import time

from harness import (CLI, PAUSE, POWER_ON, SOON, START, TOOL_OFF, check, describe_status, require,
                     run_cases, show, skip_script)

AS_NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


def commands_only_from_own_user_or_root(ctx):
    address = ctx.start_bus("system", all_users=True)
    monitor = ctx.monitor(address)
    tool, record = ctx.power_tool()
    agent = ctx.agent(address=address, bus="system", power_tool=tool)
    first = monitor.wait_cycle(SOON)
    require(first, "no readings on the system bus within %.0f s" % SOON)

    # Commands from nobody. On the system bus the companion stays connected a moment after
    # sending, while the agent asks who sent them: only the sender's user makes the agent ignore
    # them. A copy of the companion serves when nobody cannot reach this one.
    cli = CLI
    if subprocess.run(AS_NOBODY + ["test", "-x", CLI]).returncode != 0:
        cli = shutil.copy(CLI, ctx.path("trellis"))
        os.chmod(cli, 0o755)
    sent_at = time.time()
    senders = [ctx.start(AS_NOBODY + [cli, "--bus", "system"] + args, address, "system", label="trellis")
               for args in (["power-saving", "on"], ["pause"], ["quit"])]
    check(all(s.wait(SOON) == 0 for s in senders), "the companion run as nobody failed: %s" %
          [s.stderr() for s in senders])
    require(monitor.wait(3, SOON, [POWER_ON, PAUSE, START], after=sent_at),
            "the three commands sent as nobody should be on the bus: %s" % show(monitor.notifications()))
    check(monitor.wait_cycle(SOON, sender=first.sender, after=time.time()),
          "commands from user nobody should be ignored, but the readings stopped")
    agent.expect_running("after commands from user nobody")
    check(record.calls() == [], "power saving from user nobody should be ignored, the tool ran: %s" % record.calls())

    # The same from root.
    for args in (["power-saving", "off"], ["power-saving", "off"], ["quit"]):
        status, out, err = ctx.companion("--bus", "system", *args, address=address, bus="system")
        check(status == 0, "trellis --bus system %s: %s %s" % (" ".join(args), describe_status(status), err))
    check(record.wait(2) == [TOOL_OFF, TOOL_OFF], "`trellis power-saving off --bus system`, twice from root, should "
          "run the tool twice: %s" % record.calls())
    agent.expect_exit(0, SOON, "`trellis quit --bus system` from root")


if __name__ == "__main__":
    if os.geteuid() != 0:
        skip_script("sending as another user needs root")
    run_cases([commands_only_from_own_user_or_root])
