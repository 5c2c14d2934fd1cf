"""Real readings on the bus: with the demo SMC table, a listener sees the CPU temperature as a
double, and the fan set with its two fans, every integer carried as a 32-bit integer; the values
move from cycle to cycle. Runs on one thread (see harness.py)."""

import os

from harness import CPU, FANS, INTERVAL, SOON, check, require, run_cases, show

DEMO = os.path.join(os.environ.get("TRELLIS_TESTS_DIR", os.path.dirname(__file__) + "/.."), "..", "share",
                    "demo-smc.json")
CYCLES = 3


def fan_set_of(message):
    return message.user_info.get("fan")


def demo_table_readings(ctx):
    address = ctx.start_bus()
    monitor = ctx.monitor(address)
    ctx.agent("--smc", "sim:" + os.path.abspath(DEMO), address=address)
    readings = monitor.wait_readings(3 * CYCLES, SOON + CYCLES * INTERVAL)
    require(readings, "expected %d cycles of readings, saw %s" % (CYCLES, show(monitor.readings())))

    cpus = [m.user_info.get("cpu") for m in readings if m.name == CPU]
    check(all(c and c[0] == "double" and 20.0 <= c[1] <= 110.0 for c in cpus),
          "CPU readings should be plausible doubles from the demo table, got %s" % cpus)

    fan_sets = [fan_set_of(m) for m in readings if m.name == FANS]
    for fan_set in fan_sets:
        require(isinstance(fan_set, dict) and sorted(fan_set) == ["count", "fans"],
                "the fan set should have exactly count and fans, got %s" % show(fan_set))
        check(fan_set["count"] == ("int32", 2), "count should be int32 2, got %s" % (fan_set["count"],))
        fans = fan_set["fans"]
        require(isinstance(fans, list) and len(fans) == 2, "two fans expected, got %s" % show(fans))
        for index, fan in enumerate(fans):
            check(sorted(fan) == ["ID", "maxSpeed", "minSpeed", "speed"],
                  "fan %d should have ID, speed, maxSpeed, minSpeed, got %s" % (index, sorted(fan)))
            check(fan.get("ID", ("", ""))[0] == "string", "fan %d: ID should be a string: %s" % (index, fan))
            for key in ("speed", "maxSpeed", "minSpeed"):
                check(fan.get(key, ("", 0))[0] == "int32", "fan %d: %s should be int32: %s" % (index, key, fan))
        check([f["ID"][1] for f in fans] == ["Left side", "Right side"],
              "fans should come in index order: %s" % [f.get("ID") for f in fans])
        check(fans[0]["minSpeed"][1] == 1200 and fans[0]["maxSpeed"][1] == 5500,
              "fan 0's limits should be the table's 1200..5500: %s" % fans[0])

    speeds = [tuple(f["speed"][1] for f in s["fans"]) for s in fan_sets]
    check(len(set(speeds)) > 1 or len(set(c[1] for c in cpus)) > 1,
          "the demo's readings should move from cycle to cycle: cpu %s, speeds %s" % (cpus, speeds))


if __name__ == "__main__":
    run_cases([demo_table_readings])
