"""The agent as any bus client sees it: one cycle at launch, then one every 2.0 s, each CPU, SSD,
fans in that order with exactly typed user information; the four commands obeyed from lenient and
hostile senders (wrongly typed arguments, user information nested as deep as the bus carries and
megabytes of it) without a crash or a stall, and names that differ only in letter case ignored.
Runs on one thread (see harness.py)."""

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
    check(all(m.sender == sender for m in monitor.readings()), "all readings should come from the agent's one "
          "connection: %s" % sorted({m.sender for m in monitor.readings()}))
    cycles, problem = split_cycles(readings[:3 * CYCLES])
    require(problem is None, problem)
    wrong = [m for m in readings if m.object != "" or m.user_info is None or leaves(m.user_info, lambda v: v[0]) != SHAPES[m.name]
             or m.destination is not None]
    check(not wrong, "each reading should be broadcast as (name, \"\", a{sv}) with user info typed %s; got %s" %
          (SHAPES, show(wrong[:2], 1000)))
    fan_sets = [m.user_info["fan"] for m in readings if m.name == FANS and not wrong]
    for fan_set in fan_sets:
        fans = fan_set["fans"]
        check(fan_set["count"][1] == 2 and [f["ID"][1] for f in fans] == ["Left side", "Right side"] and
              (fans[0]["minSpeed"][1], fans[0]["maxSpeed"][1]) == (1200, 5500),
              "the demo table's two fans, in index order, with fan 0's limits 1200..5500: %s" % show(fan_set))
    cpus = [m.user_info["cpu"][1] for m in readings if m.name == CPU and not wrong]
    speeds = [tuple(f["speed"][1] for f in s["fans"]) for s in fan_sets]
    check(all(20.0 <= c <= 110.0 for c in cpus) and (len(set(cpus)) > 1 or len(set(speeds)) > 1),
          "the demo's CPU readings should be plausible and the readings should move: cpu %s, speeds %s" %
          (cpus, speeds))
    for index, cycle in enumerate(cycles):
        check(cycle[2].time - cycle[0].time < 0.5, "cycle %d: the three readings should go out together, but "
              "they spread over %.3f s" % (index, cycle[2].time - cycle[0].time))

    # One cycle during launch, right after the agent registered for the commands; then every 2.0 s.
    matches = [m for m in monitor.messages() if m.member == "AddMatch" and m.sender == sender]
    names = sorted(m.body[0][1].split("arg0='", 1)[-1].rstrip("'") for m in matches)
    check(names == sorted([PAUSE, START, POWER_ON, POWER_OFF]), "the agent should register for exactly the four "
          "command names: %s" % [m.body for m in matches])
    lag = cycles[0][0].time - max([m.time for m in matches] or [0])
    note("first cycle %.3f s after the agent's last registration" % lag)
    check(-0.001 < lag < INTERVAL / 2, "the first cycle should go out at launch, right after the agent registers "
          "for its commands; it came %.3f s after" % lag)
    intervals = [round(b[0].time - a[0].time, 3) for a, b in zip(cycles, cycles[1:])]
    check(all(abs(i - INTERVAL) <= INTERVAL_TOLERANCE for i in intervals),
          "cycles should be %.1f s apart (within %.2f s), got %s" % (INTERVAL, INTERVAL_TOLERANCE, intervals))

    # A pause stops the readings for good (a second one changes nothing); the power tool still
    # runs while paused, in order; the start command ends the agent with status 0.
    monitor.expect_pause(sender, lambda: [ctx.run_ok(gdbus_emit_argv(name), "sending " + name)
                                          for name in (PAUSE, PAUSE, POWER_ON, POWER_OFF)], "after two pauses")
    check(record.calls() == [TOOL_ON, TOOL_OFF], "the power tool should have run with %s while paused, ran with %s" %
          ([TOOL_ON, TOOL_OFF], record.calls()))
    agent.expect_running("after the pauses")
    ctx.run_ok(gdbus_emit_argv(START), "sending the start command")
    agent.expect_exit(0, SOON, "the start command while paused")
    check(split_cycles(monitor.readings())[1] is None, "the readings up to the pause: %s" %
          split_cycles(monitor.readings())[1])
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


def hostile_senders(ctx):
    address = ctx.start_bus()
    monitor = ctx.monitor()
    tool, record = ctx.power_tool()
    agent = ctx.agent(power_tool=tool)
    first = monitor.wait_cycle(SOON)
    require(first, "no readings within %.0f s of starting the agent" % SOON)
    agent_name, started = first.sender, time.time()

    big_file = ctx.path("big.json")
    with open(big_file, "w") as f:
        # About 900 KB on the wire, under the companion's 1 MiB limit.
        json.dump({"key%04d" % i: "v" * 1000 for i in range(880)}, f)
    busctl_deep = ["", 1] + ["k", "v", "a{sv}", 1] * 63 + ["k", "i", 1]
    # 3 MB of user information on one command line.
    busctl_big = ["", 30] + sum((["k%d" % i, "s", "x" * 100000] for i in range(30)), [])
    stack = resource.getrlimit(resource.RLIMIT_STACK)
    if stack[0] != resource.RLIM_INFINITY and stack[0] < 64 << 20:
        resource.setrlimit(resource.RLIMIT_STACK, (64 << 20, stack[1]))

    # Every power command that reaches the bus must be carried out whatever follows its name (the
    # agent ignores a command's object and user information), so the tool's record shows which
    # ones ran; the other sends must change nothing.
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
        ("gdbus with dictionaries nested 21 deep",
         gdbus_emit_argv(POWER_OFF, "''", nested(20, "{'k': <int32 1>}", "{'k': <%s>}"))),
        ("gdbus with structs nested 32 deep", gdbus_emit_argv(POWER_ON, "''", "{'k': <%s>}" %
                                                              nested(32, "int32 1", "(%s,)"))),
        ("gdbus with structs nested 60 deep through a variant",
         gdbus_emit_argv(POWER_OFF, "''", "{'k': <%s>}" % nested(32, "<%s>" % nested(28, "int32 1", "(%s,)"), "(%s,)"))),
        ("busctl with dictionaries nested 64 deep", busctl_emit_argv(address, "ssa{sv}", POWER_ON, *busctl_deep)),
        ("trellis post with about 900 KB of user info", [CLI, "post", POWER_OFF, "--user-info", "@" + big_file]),
        ("busctl with 3 MB of user info", busctl_emit_argv(address, "ssa{sv}", POWER_ON, *busctl_big)),
    ]
    expected, depths, seen_so_far = [], [], 0
    for index, (what, argv) in enumerate(sends):
        # Some clients fail here on purpose (a bus daemon drops a sender whose message it finds
        # invalid); what counts is what reached the bus and what the agent did.
        ctx.run(argv)
        # A marker after each send: the bus passes messages on in order, so what this send put on
        # the bus is what the monitor saw between the previous marker and this one.
        marker = "Trellis.Test.Marker%d" % index
        ctx.run_ok(gdbus_emit_argv(marker), "sending a marker")
        require(monitor.wait(1, SOON, [marker]), "the marker after %r did not reach the bus" % what)
        others = [m for m in monitor.notifications() if m.sender != agent_name]
        position = next(i for i, m in enumerate(others) if m.name == marker)
        batch, seen_so_far = others[seen_so_far:position], position + 1
        expected += [TOOL_ON if m.name == POWER_ON else TOOL_OFF for m in batch if m.name in (POWER_ON, POWER_OFF)]
        check(len(record.wait(len(expected))) == len(expected), "%s: the power tool should have run %d time(s) so "
              "far, ran %s" % (what, len(expected), record.calls()))
        info_depth = depth(batch[0].user_info) if batch and batch[0].user_info is not None else None
        depths.append(info_depth)
        note("%-55s %s" % (what, "reached the bus (user info depth %s)" % info_depth if batch
                           else "dropped by the bus or refused by the sender"))
        if not agent.expect_running("after " + what):
            return
    check(record.calls() == expected, "the power tool should run once per power command that reached the bus, in "
          "order:\n  expected %s\n  ran      %s" % (expected, record.calls()))
    # The sends must have exercised what they are meant to: user information deeper than the
    # agent accepts, and the large ones.
    check(any(d is not None and d > 40 for d in depths), "no user info deeper than 40 levels reached the bus: %s" %
          depths)
    check(all(depths[-2:]), "the large user information did not reach the bus")

    # No stall: the readings kept their rhythm all along, and go on on time. While a bus daemon
    # passes on megabytes it may hold other messages back a little, hence the wider tolerance
    # during the sends.
    sent_all = time.time()
    require(monitor.wait(3, INTERVAL + SOON, sender=agent_name, after=sent_all),
            "the agent stopped posting readings after the hostile senders")
    cpu_times = [m.time for m in monitor.notifications([CPU], agent_name)]
    problem, deviations = grid_problem(cpu_times, 2 * INTERVAL_TOLERANCE)
    note("cycles over %.1f s, off their slots by %s s" % (time.time() - started, deviations))
    check(problem is None, "while receiving all this: " + (problem or ""))
    late = [d for t, d in zip(cpu_times, deviations) if t > sent_all]
    check(all(abs(d) <= INTERVAL_TOLERANCE for d in late), "the cycles after the hostile senders should be on "
          "time (within %.2f s), off by %s" % (INTERVAL_TOLERANCE, late))

    # Name-only pause and quit from dbus-send work.
    monitor.expect_pause(agent_name, lambda: ctx.run_ok(dbus_send_argv("string:" + PAUSE), "name-only pause"),
                         "after a name-only pause from dbus-send")
    ctx.run_ok(dbus_send_argv("string:" + START), "name-only quit")
    agent.expect_exit(0, SOON, "a name-only quit from dbus-send")
    check(monitor.process.stderr().strip() == "Monitoring bus message stream.",
          "busctl monitor reported a problem: %s" % monitor.process.stderr())


if __name__ == "__main__":
    run_cases([readings_then_pause_power_and_quit, hostile_senders])
