"""The agent as any bus client sees it: one cycle at launch, then one every 2.0 s, each CPU, SSD, fans
with exactly typed user information; the four commands obeyed from lenient and hostile senders
(wrong types, the deepest and megabytes of user information) without a crash or a stall; names
that differ only in letter case ignored."""

import json
import resource
import time

from harness import (CLI, CPU, DEMO, FANS, INTERVAL, INTERVAL_TOLERANCE, PAUSE, POWER_OFF, POWER_ON, READINGS,
                     SOON, START, TOOL_OFF, TOOL_ON, busctl_emit_argv, check, dbus_send_argv, gdbus_emit_argv,
                     grid_problem, leaves, note, require, run_cases, show, split_cycles)

CYCLES = 3
FAN = {"ID": "s", "speed": "i", "minSpeed": "i", "maxSpeed": "i"}
# The type codes of each reading's user information with the demo table's two fans.
SHAPES = {CPU: {"cpu": "d"}, READINGS[1]: {"disk": "d"}, FANS: {"fan": {"count": "i", "fans": [FAN, FAN]}}}


def readings_then_pause_power_and_quit(ctx):
    ctx.start_bus()
    monitor = ctx.monitor()
    tool, record = ctx.power_tool()
    agent = ctx.agent("--smc", "sim:" + DEMO, power_tool=tool)

    readings = monitor.wait(3 * CYCLES, SOON + CYCLES * INTERVAL)
    require(readings, "expected %d cycles of readings; saw %s" % (CYCLES, show(monitor.readings())))
    sender = readings[0].sender
    check({m.sender for m in monitor.readings()} == {sender}, "readings from several connections")
    cycles, problem = split_cycles(readings[:3 * CYCLES])
    require(problem is None, problem)
    wrong = [m for m in readings if m.object != "" or m.user_info is None or m.destination is not None
             or leaves(m.user_info, lambda v: v[0]) != SHAPES[m.name]]
    check(not wrong, "readings should be broadcast as (name, \"\", a{sv}) typed %s: %s" % (SHAPES, show(wrong[:2], 1000)))
    fan_sets = [m.user_info["fan"] for m in readings if m.name == FANS and not wrong]
    cpus = [m.user_info["cpu"][1] for m in readings if m.name == CPU and not wrong]
    speeds = [tuple(f["speed"][1] for f in s["fans"]) for s in fan_sets]
    check(all(20.0 <= c <= 110.0 for c in cpus) and (len(set(cpus)) > 1 or len(set(speeds)) > 1),
          "the demo's readings should be plausible and move: cpu %s, speeds %s" % (cpus, speeds))
    spreads = [round(c[2].time - c[0].time, 3) for c in cycles]
    check(max(spreads) < 0.5, "a cycle's three readings should go out together: %s s" % spreads)

    # One cycle during launch, right after the agent registered for the commands; then every 2.0 s.
    matches = [m for m in monitor.messages() if m.member == "AddMatch" and m.sender == sender]
    names = sorted(m.body[0][1].split("arg0='", 1)[-1].rstrip("'") for m in matches)
    check(names == sorted([PAUSE, START, POWER_ON, POWER_OFF]), "the agent should register for exactly the four "
          "commands: %s" % [m.body for m in matches])
    lag = cycles[0][0].time - max([m.time for m in matches] or [0])
    check(-0.001 < lag < INTERVAL / 2, "the first cycle should go out right after the registrations, not %.3f s" % lag)
    intervals = [round(b[0].time - a[0].time, 3) for a, b in zip(cycles, cycles[1:])]
    check(all(abs(i - INTERVAL) <= INTERVAL_TOLERANCE for i in intervals), "cycles %.1f s apart: %s" % (INTERVAL, intervals))

    # A pause stops the readings for good (a second changes nothing); the power tool still runs while
    # paused, in order; the start command ends the agent with status 0.
    monitor.expect_pause(sender, lambda: [ctx.run_ok(gdbus_emit_argv(name), "sending " + name)
                                          for name in (PAUSE, PAUSE, POWER_ON, POWER_OFF)], "after two pauses")
    check(record.calls() == [TOOL_ON, TOOL_OFF], "the power tool should run while paused: %s" % record.calls())
    agent.expect_running("after the pauses")
    ctx.run_ok(gdbus_emit_argv(START), "sending the start command")
    agent.expect_exit(0, SOON, "the start command while paused")
    check(split_cycles(monitor.readings())[1] is None, "the readings up to the pause: %s" % split_cycles(monitor.readings())[1])
    others = [m for m in monitor.notifications(sender=sender) if m.name not in READINGS]
    check(not others, "the agent posted something other than readings: %s" % show(others))


def nested(levels, inner, wrap):
    for _ in range(levels):
        inner = wrap % inner
    return inner


def depth(value):
    if isinstance(value, dict):
        value = list(value.values())
    return 1 + max([depth(v) for v in value] or [0]) if isinstance(value, list) else 0


def all_gone(messages, start, marker):
    """How many messages there are once the marker came and every connection that joined the bus
    after `start` has left it (the bus's NameOwnerChanged for a unique name); 0 until then."""
    joined, left, seen = set(), set(), False
    for index, m in enumerate(messages[start:], start):
        seen = seen or (m.is_notification and m.name == marker)
        if m.member == "NameOwnerChanged" and m.sender == "org.freedesktop.DBus" and len(m.body) == 3:
            name, _, new = (part[1] for part in m.body)
            if name.startswith(":"):
                (joined if new else left).add(name)
        if seen and joined <= left:
            return index + 1
    return 0


def hostile_senders(ctx):
    address = ctx.start_bus()
    monitor = ctx.monitor()
    tool, record = ctx.power_tool()
    agent = ctx.agent(power_tool=tool)
    first = monitor.wait_cycle(SOON)
    require(first, "no readings within %.0f s of starting the agent" % SOON)
    agent_name, started = first.sender, time.time()
    big_file = ctx.path("big.json")
    with open(big_file, "w") as f:  # about 900 KB on the wire, under the companion's 1 MiB limit
        json.dump({"key%04d" % i: "v" * 1000 for i in range(880)}, f)
    busctl_deep = ["", 1] + ["k", "v", "a{sv}", 1] * 63 + ["k", "i", 1]
    busctl_big = ["", 30] + sum((["k%d" % i, "s", "x" * 100000] for i in range(30)), [])  # 3 MB on one line
    stack = resource.getrlimit(resource.RLIMIT_STACK)
    if stack[0] != resource.RLIM_INFINITY and stack[0] < 64 << 20:
        resource.setrlimit(resource.RLIMIT_STACK, (64 << 20, stack[1]))

    # A power command that reaches the bus runs whatever follows its name, so the tool's record shows
    # which ones ran; the other sends change nothing.
    sends = [
        ("dbus-send with only the name", dbus_send_argv("string:" + POWER_ON)),
        ("dbus-send with an int32 object and a string array", dbus_send_argv("string:" + POWER_OFF, "int32:5",
                                                                            "array:string:a,b")),
        ("dbus-send with a{si} user info", dbus_send_argv("string:" + POWER_ON, "string:obj", "dict:string:int32:k,1")),
        ("gdbus with a{ss} user info", gdbus_emit_argv(POWER_OFF, "''", "{'k': 'v'}")),
        ("gdbus with an object and a{sv} user info",
         gdbus_emit_argv(POWER_ON, "'obj'", "{'k': <int32 1>, 'list': <[<'a'>, <2.5>]>, 'n': <{'c': <0>}>}")),
        ("gdbus with a string as user info and extra arguments",
         gdbus_emit_argv(POWER_OFF, "'obj'", "'not a dictionary'") + ["<int32 3>", "@ay []"]),
        ("gdbus with no user info", gdbus_emit_argv(POWER_ON, "''", None)),
        ("dbus-send with an int32 first argument", dbus_send_argv("int32:7", "string:" + PAUSE)),
        ("busctl with the name as an object path", busctl_emit_argv(address, "os", "/" + PAUSE, "x")),
        ("the pause name in other letter case", gdbus_emit_argv("nsnotificationnametoolpause")),
        ("the start name in other letter case", dbus_send_argv("string:NSNotificationNameToolstart")),
        ("a power name in other letter case", gdbus_emit_argv("NSNotificationNameOpenPowersaving")),
        # The agent's limits on nesting are the bus unit tests'; these are as deep as a bus carries.
        ("gdbus with structs nested 60 deep through a variant",
         gdbus_emit_argv(POWER_OFF, "''", "{'k': <%s>}" % nested(32, "<%s>" % nested(28, "int32 1", "(%s,)"), "(%s,)"))),
        ("busctl with dictionaries nested 64 deep", busctl_emit_argv(address, "ssa{sv}", POWER_ON, *busctl_deep)),
        ("trellis post with about 900 KB of user info", [CLI, "post", POWER_OFF, "--user-info", "@" + big_file]),
        ("busctl with 3 MB of user info", busctl_emit_argv(address, "ssa{sv}", POWER_ON, *busctl_big)),
    ]
    expected, depths = [], []
    for index, (what, argv) in enumerate(sends):
        start = len(monitor.messages())
        ctx.run(argv)  # some fail on purpose (the bus daemon drops an invalid sender)
        # A client's messages reach the monitor before the bus announces it gone, but a big message
        # may still be read in after the client exits and another connects: the batch is what the
        # connections opened since the send posted, once a marker went out and all of them are gone.
        marker = "Trellis.Test.Marker%d" % index
        ctx.run_ok(gdbus_emit_argv(marker), "sending a marker")
        end = monitor.wait_for(lambda ms: all_gone(ms, start, marker), SOON)
        require(end, "the marker after %r did not reach the bus, or its clients stayed connected" % what)
        batch = [m for m in monitor.notifications(messages=monitor.messages()[start:end])
                 if m.sender != agent_name and m.name != marker]
        expected += [TOOL_ON if m.name == POWER_ON else TOOL_OFF for m in batch if m.name in (POWER_ON, POWER_OFF)]
        check(len(record.wait(len(expected))) == len(expected), "%s: the tool should have run %d time(s): %s" %
              (what, len(expected), record.calls()))
        depths.append(depth(batch[0].user_info) if batch and batch[0].user_info is not None else None)
        note("%-55s %s" % (what, "reached the bus (depth %s)" % depths[-1] if batch else "did not reach the bus"))
        if not agent.expect_running("after " + what):
            return
    check(record.calls() == expected, "the tool should run once per power command on the bus, in order:\n  "
          "expected %s\n  ran      %s" % (expected, record.calls()))
    # The sends exercised what they are meant to: user information deeper than accepted, and large.
    check(any(d is not None and d > 40 for d in depths) and all(depths[-2:]), "deep or large sends failed: %s" % depths)

    # No stall: the readings kept their rhythm, and go on on time (while the bus daemon passes on
    # megabytes it may hold other messages back a little, hence the wider tolerance meanwhile).
    sent_all = time.time()
    require(monitor.wait(3, INTERVAL + SOON, sender=agent_name, after=sent_all), "the readings stopped")
    cpu_times = [m.time for m in monitor.notifications([CPU], agent_name)]
    problem, deviations = grid_problem(cpu_times, 2 * INTERVAL_TOLERANCE)
    note("cycles over %.1f s, off their slots by %s s" % (time.time() - started, deviations))
    check(problem is None, "while receiving all this: " + (problem or ""))
    late = [d for t, d in zip(cpu_times, deviations) if t > sent_all]
    check(all(abs(d) <= INTERVAL_TOLERANCE for d in late), "the cycles after the sends should be on time: %s" % late)

    # Name-only pause and quit from dbus-send work.
    monitor.expect_pause(agent_name, lambda: ctx.run_ok(dbus_send_argv("string:" + PAUSE), "name-only pause"),
                         "after a name-only pause from dbus-send")
    ctx.run_ok(dbus_send_argv("string:" + START), "name-only quit")
    agent.expect_exit(0, SOON, "a name-only quit from dbus-send")
    check(monitor.process.stderr().strip() == "Monitoring bus message stream.", monitor.process.stderr())


if __name__ == "__main__":
    run_cases([readings_then_pause_power_and_quit, hostile_senders])
