"""The companion `trellis` against a real agent: watch prints the readings (as JSON lines or as
readable lines), and pause, quit, power-saving and post put the right signals on the bus.
Runs on one thread (see harness.py)."""

import json
import time

from harness import (ADD_MATCH_RULE, CPU, INTERVAL, NOTIFICATION_RULE, PAUSE, POWER_OFF, POWER_ON, QUIET, READINGS,
                     SOON, SSD, START, check, describe_status, note, require, run_cases, show, tool_calls, wait_until)


def is_number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def json_line_problem(index, line):
    """What is wrong with the index-th line of `trellis watch --json`, or None."""
    try:
        item = json.loads(line)
    except ValueError as error:
        return "line %d is not JSON (%s): %r" % (index, error, line)
    expected_name = READINGS[index % 3]
    if not isinstance(item, dict) or sorted(item) != ["name", "userInfo"]:
        return "line %d should be {\"name\": ..., \"userInfo\": ...}, got %r" % (index, line)
    if item["name"] != expected_name:
        return "line %d should be %s, got %r" % (index, expected_name, item["name"])
    info = item["userInfo"]
    if expected_name in (CPU, SSD):
        key = "cpu" if expected_name == CPU else "disk"
        if not isinstance(info, dict) or list(info) != [key] or not is_number(info[key]):
            return "line %d: userInfo should be {%r: number}, got %r" % (index, key, info)
    elif info != {"fan": {"count": 0}} or not isinstance(info["fan"]["count"], int):
        return "line %d: userInfo should be {\"fan\": {\"count\": 0}}, got %r" % (index, info)
    return None


def command_signal_problem(monitor, name, sender_not):
    """Checks the wire form of a command the companion sent: (name, "", {})."""
    monitor.wait_command(name, SOON)
    sent = [m for m in monitor.notifications([name]) if m.sender != sender_not]
    if len(sent) != 1:
        return "expected one %s on the bus, saw %s" % (name, show(sent))
    m = sent[0]
    if not m.signature_ok() or m.object != "" or m.user_info != {}:
        return "%s should go out as (name, \"\", {}), got %s" % (name, show(m.args))
    return None


def watch_and_command_an_agent(ctx):
    address = ctx.start_bus()
    monitor = ctx.monitor(address, rules=(NOTIFICATION_RULE, ADD_MATCH_RULE))
    tool, record = ctx.power_tool()

    json_watch = ctx.start_companion("watch", "--json", "--count", "6", address=address)
    text_watch = ctx.start_companion("watch", "--count", "3", address=address)
    # Both watchers must listen before the agent's launch cycle goes out.
    require(monitor.wait_reading_matches(6, SOON), "the two watchers did not register for the readings: %s" %
            show([m for m in monitor.messages() if m.member == "AddMatch"]))

    agent = ctx.agent(address=address, power_tool=tool)
    status = json_watch.wait(INTERVAL + SOON)
    check(status == 0, "watch --json --count 6 should end with status 0 after 6 readings: %s; stderr: %s" %
          (describe_status(status), json_watch.stderr()))
    lines = json_watch.stdout().splitlines()
    check(len(lines) == 6, "watch --json --count 6 should print 6 lines, printed %d: %r" % (len(lines), lines))
    problems = [p for p in (json_line_problem(i, line) for i, line in enumerate(lines[:6])) if p]
    check(not problems, "; ".join(problems))

    status = text_watch.wait(SOON)
    check(status == 0, "watch --count 3: %s; stderr: %s" % (describe_status(status), text_watch.stderr()))
    text = text_watch.stdout().splitlines()
    cycle_lines = [line for line in text if "CPU" in line]
    check(len(cycle_lines) == 1 and "disk" in cycle_lines[0] and "0 fans" in cycle_lines[0],
          "watch without --json should print one line for the cycle with CPU, disk and \"0 fans\": %r" % text)

    agent_name = monitor.readings()[0].sender
    # Power saving on and off, then pause: the tool runs in order, readings stop.
    for args, what in ((("power-saving", "on"), "power-saving on"), (("power-saving", "off"), "power-saving off")):
        status, out, err = ctx.companion(*args, address=address)
        check(status == 0, "trellis %s: %s: %s" % (what, describe_status(status), err))
    calls = wait_until(lambda: tool_calls(record) if len(tool_calls(record)) >= 2 else None, SOON)
    check(calls == ["-a lowpowermode 1", "-a lowpowermode 0"],
          "trellis power-saving on, then off should run the tool with -a lowpowermode 1, then 0; ran %s" %
          tool_calls(record))

    monitor.wait_early_in_interval(agent_name, "before trellis pause")
    status, out, err = ctx.companion("pause", address=address)
    check(status == 0, "trellis pause: %s: %s" % (describe_status(status), err))
    paused_at = time.time()
    time.sleep(QUIET)
    late = [m for m in monitor.readings(agent_name) if m.time > paused_at]
    check(not late, "readings went on after trellis pause: %s" % show(late))
    agent.expect_running("after trellis pause")

    status, out, err = ctx.companion("quit", address=address)
    check(status == 0, "trellis quit: %s: %s" % (describe_status(status), err))
    agent.expect_exit(0, SOON, "trellis quit")

    for name in (POWER_ON, POWER_OFF, PAUSE, START):
        problem = command_signal_problem(monitor, name, agent_name)
        check(problem is None, problem or "")


def post_puts_typed_user_info_on_the_bus(ctx):
    address = ctx.start_bus()
    monitor = ctx.monitor(address)
    info = {"i": 1, "neg": -7, "big": 5000000000, "d": 2.5, "t": True, "s": "text", "list": [1, "x", [2.5]],
            "dict": {"inner": {"deep": "yes"}}, "none": None}
    status, out, err = ctx.companion("post", "Some.Name", "--user-info", json.dumps(info), address=address)
    check(status == 0, "trellis post: %s: %s" % (describe_status(status), err))
    posted = monitor.wait_command("Some.Name", SOON)
    require(posted, "trellis post Some.Name did not reach the bus")
    expected = {"i": ("int32", 1), "neg": ("int32", -7), "big": ("int64", 5000000000), "d": ("double", 2.5),
                "t": ("boolean", True), "s": ("string", "text"),
                "list": [("int32", 1), ("string", "x"), [("double", 2.5)]],
                "dict": {"inner": {"deep": ("string", "yes")}}}
    check(posted.signature_ok() and posted.object == "" and posted.user_info == expected,
          "trellis post should send (name, \"\", a{sv}) with JSON numbers typed int32/int64/double, null left "
          "out;\n  expected %s\n  got      %s" % (expected, show(posted.args, 1000)))

    # Names are posted as given, any name; no user info is an empty dictionary.
    status, out, err = ctx.companion("post", "name with spaces & 'quotes'", address=address)
    check(status == 0, "trellis post with an odd name: %s: %s" % (describe_status(status), err))
    odd = monitor.wait_command("name with spaces & 'quotes'", SOON)
    check(odd and odd.user_info == {}, "trellis post with an odd name and no user info: %s" % show(odd))

    # User information from a file.
    path = ctx.path("info.json")
    with open(path, "w") as f:
        json.dump({"from": "file"}, f)
    status, out, err = ctx.companion("post", "From.File", "--user-info", "@" + path, address=address)
    check(status == 0, "trellis post --user-info @FILE: %s: %s" % (describe_status(status), err))
    from_file = monitor.wait_command("From.File", SOON)
    check(from_file and from_file.user_info == {"from": ("string", "file")},
          "trellis post --user-info @FILE should send the file's object: %s" % show(from_file))

    # Refusals: a failure status with a message, nothing posted.
    too_big = ctx.path("too-big.json")
    with open(too_big, "w") as f:
        json.dump({"key%04d" % i: "v" * 1000 for i in range(1100)}, f)  # about 1.1 MB on the wire
    for args, what in (
            (("post", "Bad.Big", "--user-info", "@" + too_big), "user info over the 1 MiB limit"),
            (("post", "Bad.One", "--user-info", "[1, 2]"), "user info that is not an object"),
            (("post", "Bad.Two", "--user-info", "{not json"), "user info that is not JSON"),
            (("post", "Bad.Three", "--user-info", "@" + ctx.path("missing.json")), "a missing @FILE"),
            (("power-saving", "maybe"), "a power-saving state other than on/off")):
        status, out, err = ctx.companion(*args, address=address)
        check(status not in (0, None) and err.strip(),
              "trellis %s (%s) should fail with a message; got %s, stderr %r" %
              (" ".join(args), what, describe_status(status), err))
    time.sleep(0.2)
    bad = [m for m in monitor.notifications() if m.name and m.name.startswith("Bad.")]
    check(not bad, "refused posts reached the bus: %s" % show(bad))

    # Without a bus: status 1 and a message naming the bus.
    status, out, err = ctx.companion("pause", address="unix:path=" + ctx.path("no-such-bus"))
    check(status == 1 and "bus" in err, "trellis pause without a bus should end with status 1 and say so; got %s, %r" %
          (describe_status(status), err))
    note("without a bus: %s" % err.strip())


if __name__ == "__main__":
    run_cases([watch_and_command_an_agent, post_puts_typed_user_info_on_the_bus])
