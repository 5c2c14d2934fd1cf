"""The agent under load: 10,000 commands (power saving on and off, pauses, unknown names) from four
senders at once, and 100 companions watching at once. The agent stays alive with bounded memory,
runs every power command in the bus's order and gives every watcher every reading."""

import json
import time

from harness import (DEMO, FANS, INTERVAL, PAUSE, POWER_OFF, POWER_ON, SANITIZED, SOON, TOOL_OFF, TOOL_ON, check, leaves,
                     require, run_cases, show)

BURST = [(POWER_ON, 500), (POWER_OFF, 500), (PAUSE, 2000), ("org.example.NotACommand", 7000)]
WATCHERS = 100


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def command_burst(ctx):
    ctx.start_bus()
    monitor = ctx.monitor()
    tool, record = ctx.power_tool()
    agent = ctx.agent(power_tool=tool)
    require(monitor.wait_cycle(SOON), "no readings before the burst")
    resident_before = resident_kib(agent.pid)

    senders = [ctx.start_companion("post", name, "--repeat", str(count)) for name, count in BURST]
    for sender in senders:
        check(sender.wait(SOON * 3) == 0, "a sender of the burst failed: %s" % sender.stderr())
    names = [name for name, _ in BURST]
    everything = sum(count for _, count in BURST)
    total = len(monitor.wait(everything, SOON * 3, names) or monitor.notifications(names))
    check(total == everything, "the bus should carry the whole burst of %d, saw %d" % (everything, total))
    expected = [TOOL_ON if m.name == POWER_ON else TOOL_OFF for m in monitor.notifications([POWER_ON, POWER_OFF])]
    calls = record.wait(len(expected), 120.0)
    check(len(calls) == len(expected) == 1000, "every power command should run the tool: %d of %d" % (len(calls), len(expected)))
    mismatch = next((i for i, (a, b) in enumerate(zip(calls, expected)) if a != b), None)
    check(calls == expected, "the tool should run in the bus's order; first difference at call %s" % mismatch)

    agent.expect_running("after the burst")
    grown = resident_kib(agent.pid) - resident_before
    check(SANITIZED or grown < 16 * 1024, "the agent's memory should stay bounded: it grew by %d KiB" % grown)
    ctx.companion("quit")
    agent.expect_exit(0, SOON, "quit after the burst")


def hundred_watchers(ctx):
    ctx.start_bus()
    monitor = ctx.monitor()
    agent = ctx.agent("--smc", "sim:" + DEMO)
    require(monitor.wait_cycle(SOON), "no readings from the agent")

    watchers = [ctx.start_companion("watch", "--json") for _ in range(WATCHERS)]
    require(monitor.wait_reading_matches(3 * WATCHERS, SOON * 3), "not every watcher subscribed")
    # Two whole cycles (and more) after every watcher was listening.
    since = time.time() + 0.05
    require(monitor.wait(3, 3 * INTERVAL + SOON, [FANS], after=since), "the agent stopped posting")
    time.sleep(0.5)
    for watcher in watchers:
        watcher.stop()
    agent.expect_running("with %d watchers" % WATCHERS)

    readings = monitor.readings(after=since)[:6]
    wanted = [{"name": m.name, "userInfo": leaves(m.user_info, lambda v: v[1])} for m in readings]
    missed = 0
    for watcher in watchers:
        seen = [json.loads(line) for line in watcher.stdout().splitlines()]
        missed += not any(seen[i:i + 6] == wanted for i in range(len(seen)))
    check(missed == 0, "%d of %d watchers missed some of the readings %s" % (missed, WATCHERS, show(wanted[:3])))


if __name__ == "__main__":
    run_cases([command_burst, hundred_watchers])
