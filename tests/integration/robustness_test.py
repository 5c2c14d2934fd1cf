"""Commands from lenient and hostile senders: name-only signals from dbus-send, wrongly typed
arguments, user information nested as deep as the bus carries (and deeper), about a megabyte
and more of user information. The agent must carry out every command that reaches it, neither
crash nor stall (its readings keep their 2.0 s rhythm), and still obey a pause and a quit.
Runs on one thread (see harness.py)."""

import json
import time

from harness import (CLI, CPU, INTERVAL, INTERVAL_TOLERANCE, PAUSE, POWER_OFF, POWER_ON, QUIET, SOON, START,
                     busctl_emit_argv, check, dbus_send_argv, gdbus_emit_argv, grid_problem, gvariant_string,
                     hold_and_send_argv, note, require, run_cases, show, tool_calls, wait_until)


def nested_structs(levels, inner="int32 1"):
    text = inner
    for _ in range(levels):
        text = "(%s,)" % text
    return text


def nested_dicts(levels):
    text = "{'k': <int32 1>}"
    for _ in range(levels - 1):
        text = "{'k': <%s>}" % text
    return text


def depth(value):
    if isinstance(value, dict):
        return 1 + max([depth(v) for v in value.values()] or [0])
    if isinstance(value, list):
        return 1 + max([depth(v) for v in value] or [0])
    return 0


def hostile_senders(ctx):
    address = ctx.start_bus()
    monitor = ctx.monitor(address)
    tool, record = ctx.power_tool()
    agent = ctx.agent(address=address, power_tool=tool)
    first = monitor.wait_cycle(SOON)
    require(first, "no readings within %.0f s of starting the agent" % SOON)
    agent_name = first.sender
    started = time.time()

    big_file = ctx.path("big.json")
    with open(big_file, "w") as f:
        # About 900 KB on the wire, under the companion's 1 MiB limit.
        json.dump({"key%04d" % i: "v" * 1000 for i in range(880)}, f)
    deep_file = ctx.path("deep.json")
    with open(deep_file, "w") as f:
        value = {"k": 1}
        for _ in range(63):
            value = {"k": value}
        json.dump(value, f)
    busctl_deep = ["", 1]
    for _ in range(63):
        busctl_deep += ["k", "v", "a{sv}", 1]
    busctl_deep += ["k", "i", 1]

    # Power commands with odd arguments: every one that reaches the bus must be carried out (the
    # agent ignores a command's user information), so the tool's record shows which ones ran.
    sends = [
        ("dbus-send with only the name", dbus_send_argv("string:" + POWER_ON)),
        ("dbus-send with an int32 object and a string array", dbus_send_argv("string:" + POWER_OFF, "int32:5",
                                                                            "array:string:a,b")),
        ("dbus-send with a{si} user info", dbus_send_argv("string:" + POWER_ON, "string:obj",
                                                          "dict:string:int32:k,1")),
        ("gdbus with a{ss} user info", gdbus_emit_argv("'%s'" % POWER_OFF, "''", "{'k': 'v'}")),
        ("gdbus with a string as user info and extra arguments",
         gdbus_emit_argv("'%s'" % POWER_ON, "'obj'", "'not a dictionary'") + ["<int32 3>", "@ay []"]),
        ("dbus-send with an int32 first argument", dbus_send_argv("int32:7", "string:" + PAUSE)),
        ("busctl with the name as an object path", busctl_emit_argv(address, "os", "/" + PAUSE, "x")),
        ("gdbus with dictionaries nested 21 deep", gdbus_emit_argv("'%s'" % POWER_OFF, "''", nested_dicts(21))),
        ("gdbus with structs nested 32 deep", gdbus_emit_argv("'%s'" % POWER_ON, "''",
                                                              "{'k': <%s>}" % nested_structs(32))),
        ("gdbus with structs nested 60 deep through a variant",
         gdbus_emit_argv("'%s'" % POWER_OFF, "''",
                         "{'k': <%s>}" % nested_structs(32, "<%s>" % nested_structs(28)))),
        ("busctl with dictionaries nested 64 deep", busctl_emit_argv(address, "ssa{sv}", POWER_ON, *busctl_deep)),
        ("trellis post with dictionaries nested 64 deep", [CLI, "post", POWER_ON, "--user-info", "@" + deep_file]),
        ("trellis post with about 900 KB of user info", [CLI, "post", POWER_ON, "--user-info", "@" + big_file]),
        ("a client with 3 MB of user info", hold_and_send_argv(address, POWER_OFF, 0.5, 3 * 1000 * 1000)),
        ("gdbus with no user info", gdbus_emit_argv("'%s'" % POWER_ON, "''", None)),
    ]
    expected = []
    reached = []
    seen_so_far = 0
    for index, (what, argv) in enumerate(sends):
        # Some clients fail here on purpose (a bus daemon drops a sender whose message it finds
        # invalid); what counts is what reached the bus and what the agent did.
        ctx.run(argv, address=address, timeout=SOON)
        # A marker after each send: the bus passes messages on in order, so what this send put on
        # the bus is what the monitor saw between the previous marker and this one.
        marker = "Trellis.Test.Marker%d" % index
        ctx.run_ok(gdbus_emit_argv(gvariant_string(marker)), "sending a marker", address=address)
        require(monitor.wait_command(marker, SOON), "the marker after %r did not reach the bus" % what)
        others = [m for m in monitor.notifications() if m.sender != agent_name]
        position = next(i for i, m in enumerate(others) if m.name == marker)
        batch, seen_so_far = others[seen_so_far:position], position + 1
        powers = [m for m in batch if m.name in (POWER_ON, POWER_OFF)]
        expected += ["-a lowpowermode %s" % ("1" if m.name == POWER_ON else "0") for m in powers]
        if powers:
            ran = wait_until(lambda: len(tool_calls(record)) >= len(expected), SOON)
            check(ran, "%s: the command reached the bus but the agent did not carry it out within %.0f s" %
                  (what, SOON))
        message = batch[0] if batch else None
        info_depth = depth(message.user_info) if message is not None and message.user_info is not None else None
        reached.append((what, message is not None, info_depth))
        note("%-55s %s" % (what, "reached the bus (user info depth %s)" % info_depth if message
                           else "dropped by the bus or refused by the sender"))
        if not agent.expect_running("after " + what):
            return
    check(tool_calls(record) == expected,
          "the power tool should run once per power command that reached the bus, in order:\n"
          "  expected %s\n  ran      %s" % (expected, tool_calls(record)))

    # Then a burst of commands from many senders at once, queued while the agent runs the tool.
    burst = [ctx.start(busctl_emit_argv(address, "ssa{sv}", POWER_ON if i % 2 == 0 else POWER_OFF, "", 0),
                       address=address) for i in range(10)]
    for process in burst:
        check(process.wait(SOON) == 0, "busctl emit failed: %s" % process.stderr())
    wait_until(lambda: len(tool_calls(record)) >= len(expected) + 10, SOON)
    sent_all = time.time()
    check(len(tool_calls(record)) == len(expected) + 10, "a burst of 10 power commands should run the tool 10 "
          "times; it ran %d time(s)" % (len(tool_calls(record)) - len(expected)))
    agent.expect_running("after a burst of 10 power commands")

    # The sends must have exercised what they are meant to: user information deeper than the
    # agent accepts, and the large ones.
    check(any(d is not None and d > 40 for _, _, d in reached),
          "no user information deeper than 40 levels reached the bus: %s" % reached)
    large = [r for r in reached if "900 KB" in r[0] or "3 MB" in r[0]]
    check(all(r[1] for r in large), "the large user information did not reach the bus: %s" % large)

    # No stall: the readings kept their rhythm all along, and go on on time. While a bus daemon
    # passes on megabytes it may hold other messages back a little, hence the wider tolerance
    # during the sends.
    after = monitor.wait_readings(3, INTERVAL + SOON, sender=agent_name, after=sent_all)
    require(after, "the agent stopped posting readings after the hostile senders")
    cpu_times = [m.time for m in monitor.notifications([CPU], agent_name)]
    problem, deviations = grid_problem(cpu_times, 2 * INTERVAL_TOLERANCE)
    note("cycles over %.1f s, off their slots by %s s" % (time.time() - started, deviations))
    check(problem is None, "while receiving all this: " + (problem or ""))
    late = [d for t, d in zip(cpu_times, deviations) if t > sent_all]
    check(all(abs(d) <= INTERVAL_TOLERANCE for d in late),
          "the cycles after the hostile senders should be on time (within %.2f s), off by %s" %
          (INTERVAL_TOLERANCE, late))

    # Name-only pause and quit from dbus-send still work.
    ctx.run_ok(dbus_send_argv("string:" + PAUSE), "name-only pause", address=address)
    paused_at = time.time()
    time.sleep(QUIET)
    late = [m for m in monitor.readings(agent_name) if m.time > paused_at]
    check(not late, "readings went on after a name-only pause from dbus-send: %s" % show(late))
    ctx.run_ok(dbus_send_argv("string:" + START), "name-only quit", address=address)
    agent.expect_exit(0, SOON, "a name-only quit from dbus-send")
    check(not monitor.parse_errors(), "dbus-monitor output could not be read: %s" % monitor.parse_errors())


if __name__ == "__main__":
    run_cases([hostile_senders])
