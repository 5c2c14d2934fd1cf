"""`trellis doctor` tells what the agent can see: the SMC transport with its sensors, the bus with
a running agent's readings, and a list of what is missing, with a non-zero status when something
is. Runs on one thread (see harness.py)."""

import os

from harness import SOON, check, require, run_cases

TESTS = os.environ.get("TRELLIS_TESTS_DIR", os.path.dirname(__file__) + "/..")
DEMO = os.path.abspath(os.path.join(TESTS, "..", "share", "demo-smc.json"))
FIXTURES = os.path.join(TESTS, "fixtures", "hwmon")


def sections(text):
    """{title: [lines]} of the report; continuation lines go to the title above them."""
    result, title = {}, None
    for line in text.splitlines():
        if line[:10].strip():
            title = line[:10].strip()
        result.setdefault(title, []).append(line[11:].strip())
    return result


def everything_present(ctx):
    address = ctx.start_bus()
    monitor = ctx.monitor(address)
    tool, _ = ctx.power_tool()
    ctx.agent("--smc", "sim:" + DEMO, address=address, power_tool=tool)
    require(monitor.wait_cycle(SOON), "the agent posted no readings")
    # The power tool is looked up on the machine, not given: only its line may be missing.
    status, out, err = ctx.companion("doctor", "--smc", "sim:" + DEMO, "--wait", "2.5", address=address)
    report = sections(out)
    check(report.get("SMC") == ["sim: the simulated SMC of " + DEMO], "SMC line: %r" % report.get("SMC"))
    check(report.get("Fans") == ["2 fans"], "Fans line: %r" % report.get("Fans"))
    check(report.get("CPU", [""])[0].startswith("temperature "), "CPU line: %r" % report.get("CPU"))
    bus = report.get("Bus", [])
    check(len(bus) == 2 and bus[1].startswith("agent: ") and "no readings" not in bus[1],
          "the running agent's readings should be seen: %r" % bus)
    missing = [m for m in report.get("Missing", []) if m != "nothing" and "power tool" not in m]
    check(missing == [], "nothing but perhaps the power tool should be missing: %r\n%s" % (missing, err))


def nothing_there(ctx):
    address = ctx.start_bus()
    root = os.path.join(FIXTURES, "no-sensors")
    status, out, _ = ctx.companion("doctor", "--root", root, "--wait", "0.5", address=address)
    report = sections(out)
    check(status == 1, "a machine missing things should give status 1, got %r" % status)
    check(report.get("SMC", [""])[0].startswith("none: "), "SMC line: %r" % report.get("SMC"))
    missing = " | ".join(report.get("Missing", []))
    for what in ("an SMC", "a running agent"):
        check(what in missing, "%r should be listed as missing: %s" % (what, missing))


def hwmon_sensors_listed(ctx):
    root = os.path.join(FIXTURES, "amd-tctl")
    status, out, _ = ctx.companion("doctor", "--root", root, "--wait", "0")
    smc = sections(out).get("SMC", [])
    check(smc and smc[0].startswith("hwmon: "), "SMC line: %r" % smc)
    tc0p = [line for line in smc if line.startswith("TC0P ")]
    check(len(tc0p) == 1 and tc0p[0].endswith("/sys/class/hwmon/hwmon1/temp1_input") and "k10temp Tctl" in tc0p[0],
          "the CPU sensor should be listed with its file: %r" % smc)


if __name__ == "__main__":
    run_cases([everything_present, nothing_there, hwmon_sensors_listed])
