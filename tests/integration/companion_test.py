"""The companion `trellis` against a real agent: watch prints the agent's readings, and only the
agent's (as JSON lines or as readable lines), doctor sees them, the agent acknowledges pause, quit
and power-saving (with --broadcast they put the right signals on the bus instead), and post sends
any name with typed user information or refuses what the bus would not carry."""

import json
import time

from harness import (DEMO, INTERVAL, POWER_OFF, POWER_ON, READINGS, SOON, TOOL_OFF, TOOL_ON, check, describe_status,
                     gdbus_emit_argv, leaves, require, run_cases, sections, show)


def watch_and_command_an_agent(ctx):
    ctx.start_bus()
    monitor = ctx.monitor()
    tool, record = ctx.power_tool()

    json_watch = ctx.start_companion("watch", "--json", "--count", "6")
    text_watch = ctx.start_companion("watch", "--count", "3")
    # Both watchers must listen before the agent's launch cycle goes out.
    require(monitor.wait_reading_matches(6, SOON), "the two watchers did not register for the readings")
    # Readings from anyone but the agent are not shown: these would be the first lines.
    for name in READINGS:
        ctx.run_ok(gdbus_emit_argv(name), "a forged " + name)
    agent = ctx.agent(power_tool=tool)
    # The power tool is looked up on the machine, not given: only its line may be missing.
    doctor = ctx.start_companion("doctor", "--smc", "sim:" + DEMO, "--wait", "2.5")

    # The agent's first two cycles (after the forged readings) as JSON lines, exactly; an agent
    # without an SMC has no fans.
    status = json_watch.wait(INTERVAL + SOON)
    seen = [json.loads(line) for line in json_watch.stdout().splitlines()]
    wanted = [{"name": m.name, "userInfo": leaves(m.user_info, lambda v: v[1])} for m in monitor.wait(9, SOON)[3:9]]
    check(status == 0 and seen == wanted and wanted[2]["userInfo"] == {"fan": {"count": 0}} and
          all(type(line["userInfo"]["fan"]["count"]) is int for line in seen[2::3]),
          "watch --json --count 6 should print the first 6 readings and end with status 0: %s, %r; stderr: %s" %
          (describe_status(status), seen, json_watch.stderr()))
    status = text_watch.wait(SOON)
    text = text_watch.stdout().splitlines()
    cycle_lines = [line for line in text if "CPU" in line]
    check(status == 0 and len(cycle_lines) == 1 and "disk" in cycle_lines[0] and "0 fans" in cycle_lines[0],
          "watch --count 3 should print one line for the cycle with CPU, disk and \"0 fans\": %s %r" %
          (describe_status(status), text))

    check(doctor.wait(SOON) is not None, "doctor did not end")
    report = sections(doctor.stdout())
    check(report.get("SMC") == ["sim: the simulated SMC of " + DEMO] and report.get("Fans") == ["2 fans"] and
          report.get("CPU", [""])[0].startswith("temperature "), "doctor's SMC lines: %r" % report)
    bus = report.get("Bus", [])
    check(len(bus) == 2 and bus[1].startswith("agent: ") and "no readings" not in bus[1],
          "doctor should see the running agent's readings: %r" % bus)
    missing = [m for m in report.get("Missing", []) if m != "nothing" and "power tool" not in m]
    check(missing == [], "nothing but perhaps the power tool should be missing: %r\n%s" % (missing, doctor.stderr()))

    # The commands are method calls the agent answers; with --broadcast they go out as signals.
    for args in (("power-saving", "on"), ("power-saving", "off"), ("power-saving", "on", "--broadcast"),
                 ("power-saving", "off", "--broadcast"), ("pause",), ("quit",)):
        status, _, err = ctx.companion(*args)
        check(status == 0, "trellis %s: %s: %s" % (" ".join(args), describe_status(status), err))
    check(record.wait(4) == [TOOL_ON, TOOL_OFF] * 2, "trellis power-saving on, off, on, off should run the tool "
          "with -a lowpowermode 1, 0, 1, 0; ran %s" % record.calls())
    agent.expect_exit(0, SOON, "trellis pause, then quit")
    sent = [m for m in monitor.notifications() if m.name not in READINGS]
    check([(m.name, m.object, m.user_info) for m in sent] == [(n, "", {}) for n in (POWER_ON, POWER_OFF)],
          "only the --broadcast commands should go out, once each as (name, \"\", {}): %s" % show(sent, 1000))
    status, _, err = ctx.companion("power-saving", "on")
    check((status, err) == (1, "trellis: cannot switch power saving on: no agent runs on this bus\n"),
          "trellis power-saving on with no agent: %s, %r" % (describe_status(status), err))


def post_puts_typed_user_info_on_the_bus(ctx):
    ctx.start_bus()
    monitor = ctx.monitor()
    info = {"i": 1, "neg": -7, "big": 5000000000, "d": 2.5, "t": True, "s": "text", "list": [1, "x", [2.5]],
            "dict": {"inner": {"deep": "yes"}}, "none": None}
    with open(ctx.path("too-big.json"), "w") as f:
        json.dump({"key%04d" % i: "v" * 1000 for i in range(1100)}, f)  # about 1.1 MB on the wire
    # Names are posted as given, any name; no user info is an empty dictionary. JSON numbers
    # become int32, int64 or double, null is left out.
    for args, expected in (
            (("Some.Name", "--user-info", json.dumps(info)),
             {"i": ("i", 1), "neg": ("i", -7), "big": ("x", 5000000000), "d": ("d", 2.5), "t": ("b", True),
              "s": ("s", "text"), "list": [("i", 1), ("s", "x"), [("d", 2.5)]],
              "dict": {"inner": {"deep": ("s", "yes")}}}),
            (("name with spaces & 'quotes'",), {})):
        status, out, err = ctx.companion("post", *args)
        posted = monitor.wait(1, SOON, [args[0]])
        check(status == 0 and posted and (posted[0].object, posted[0].user_info) == ("", expected),
              "trellis post %s should send (name, \"\", %s): %s, %s %s" % (show(args), expected, describe_status(status),
                                                                        err, show(posted, 1000)))

    # Refusals (others are the companion's unit tests'): a failure status with a message, nothing posted.
    for args, what in (
            (("post", "Bad.Big", "--user-info", "@" + ctx.path("too-big.json")), "user info over the 1 MiB limit"),
            (("post", "Bad.Two", "--user-info", "{not json"), "user info that is not JSON"),
            (("power-saving", "maybe"), "a power-saving state other than on/off")):
        status, out, err = ctx.companion(*args)
        check(status not in (0, None) and err.strip(), "trellis %s (%s) should fail with a message; got %s, stderr %r" %
              (" ".join(args)[:100], what, describe_status(status), err))
    time.sleep(0.2)
    bad = [m for m in monitor.notifications() if m.name and m.name.startswith("Bad.") or m.name == POWER_OFF]
    check(not bad, "refused posts reached the bus: %s" % show(bad))


if __name__ == "__main__":
    run_cases([watch_and_command_an_agent, post_puts_typed_user_info_on_the_bus])
