"""The agent under load: a burst of 10,000 commands (power-saving on and off, pauses, and names it
does not know) from four senders at once, and 100 companions watching at once. The agent must
stay alive with bounded memory, run every power command in the order the bus carried them, and
give every watcher every reading. Runs on one thread (see harness.py)."""

import json
import os
import time

from harness import (ADD_MATCH_RULE, CPU, FANS, INTERVAL, NOTIFICATION_RULE, PAUSE, POWER_OFF, POWER_ON, READINGS,
                     SOON, check, require, run_cases, show, tool_calls, wait_until)

TESTS = os.environ.get("TRELLIS_TESTS_DIR", os.path.dirname(__file__) + "/..")
DEMO = os.path.abspath(os.path.join(TESTS, "..", "share", "demo-smc.json"))
UNKNOWN = "org.example.NotACommand"
BURST = [(POWER_ON, 1000), (POWER_OFF, 1000), (PAUSE, 2000), (UNKNOWN, 6000)]
WATCHERS = 100


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def command_burst(ctx):
    address = ctx.start_bus()
    monitor = ctx.monitor(address)
    tool, record = ctx.power_tool()
    agent = ctx.agent(address=address, power_tool=tool)
    first = monitor.wait_cycle(SOON)
    require(first, "no readings before the burst")
    resident_before = resident_kib(agent.pid)

    senders = [ctx.start_companion("post", name, "--repeat", str(count), address=address) for name, count in BURST]
    for sender in senders:
        check(sender.wait(SOON * 3) == 0, "a sender of the burst failed: %s" % sender.stderr())
    expected_count = sum(count for name, count in BURST if name in (POWER_ON, POWER_OFF))
    sent = [m for m in monitor.wait_for(
        lambda ms: (lambda found: found if len(found) >= expected_count else None)(
            [m for m in ms if m.is_notification() and m.name in (POWER_ON, POWER_OFF)]), SOON * 3) or []]
    require(len(sent) == expected_count, "the bus should carry %d power commands, monitor saw %d" %
            (expected_count, len(sent)))
    names = [name for name, _ in BURST]
    everything = sum(count for _, count in BURST)
    monitor.wait_for(lambda ms: sum(1 for m in ms if m.is_notification() and m.name in names) >= everything, SOON * 3)
    total = len(monitor.notifications(names))
    check(total == everything, "the bus should carry the whole burst of %d, saw %d" % (everything, total))

    done = wait_until(lambda: len(tool_calls(record)) >= expected_count, 120.0, step=0.2)
    calls = tool_calls(record)
    check(done, "every power command should run the tool: %d of %d ran" % (len(calls), expected_count))
    expected = ["-a lowpowermode %d" % (1 if m.name == POWER_ON else 0) for m in sent]
    mismatch = next((i for i, (a, b) in enumerate(zip(calls, expected)) if a != b), None)
    check(calls == expected, "the tool should run in the bus's order; first difference at call %s" % mismatch)

    agent.expect_running("after the burst")
    grown = resident_kib(agent.pid) - resident_before
    check(grown < 16 * 1024, "the agent's memory should stay bounded: it grew by %d KiB" % grown)
    ctx.companion("quit", address=address)
    agent.expect_exit(0, SOON, "quit after the burst")


def hundred_watchers(ctx):
    address = ctx.start_bus()
    monitor = ctx.monitor(address, rules=(NOTIFICATION_RULE, ADD_MATCH_RULE))
    agent = ctx.agent("--smc", "sim:" + DEMO, address=address)
    require(monitor.wait_cycle(SOON), "no readings from the agent")

    watchers = [ctx.start_companion("watch", "--json", address=address) for _ in range(WATCHERS)]
    require(monitor.wait_reading_matches(3 * WATCHERS, SOON * 3),
            "not every watcher subscribed within %.0f s" % (SOON * 3))
    since = time.time()
    # Two whole cycles after every watcher was listening.
    def two_cycles(messages):
        fans = [m for m in messages if m.is_notification() and m.name == FANS and m.time > since + 0.05]
        return fans if len(fans) >= 3 else None
    require(monitor.wait_for(two_cycles, 3 * INTERVAL + SOON), "the agent stopped posting")
    time.sleep(1.0)
    for watcher in watchers:
        watcher.stop()
    agent.expect_running("with %d watchers" % WATCHERS)

    readings = [m for m in monitor.readings(agent_sender(monitor)) if m.time > since + 0.05][:6]
    require(len(readings) == 6, "expected two cycles on the monitor, saw %s" % show(readings))
    wanted = [(m.name, value_of(m)) for m in readings]
    missed = 0
    for watcher in watchers:
        seen = []
        for line in watcher.stdout().splitlines():
            try:
                item = json.loads(line)
            except ValueError:
                continue
            info = item.get("userInfo") or {}
            seen.append((item.get("name"), info.get("cpu", info.get("disk", info.get("fan")))))
        if not contains(seen, wanted):
            missed += 1
    check(missed == 0, "%d of %d watchers missed some of the readings %s" % (missed, WATCHERS, wanted[:3]))


def agent_sender(monitor):
    return monitor.notifications([CPU])[0].sender


def value_of(message):
    """The reading's value in the companion's JSON form."""
    info = message.user_info
    key = {CPU: "cpu", READINGS[1]: "disk", FANS: "fan"}[message.name]
    return plain_value(info[key])


def plain_value(value):
    """The monitor's typed value as the companion's JSON gives it."""
    if isinstance(value, dict):
        return {k: plain_value(v) for k, v in value.items()}
    if isinstance(value, list):
        return [plain_value(v) for v in value]
    return value[1]


def contains(seen, wanted):
    for start in range(len(seen) - len(wanted) + 1):
        if all(seen[start + i][0] == w[0] and close(seen[start + i][1], w[1]) for i, w in enumerate(wanted)):
            return True
    return False


def close(a, b):
    if isinstance(a, float) or isinstance(b, float):
        return isinstance(a, (int, float)) and isinstance(b, (int, float)) and abs(a - b) < 1e-9
    return a == b


if __name__ == "__main__":
    run_cases([command_burst, hundred_watchers])
