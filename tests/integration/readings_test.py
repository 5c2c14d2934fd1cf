"""The agent's readings as any bus listener sees them: one cycle at launch, then one every 2.0 s,
each cycle CPU, SSD, fans in that order with exactly typed user information; SIGTERM ends the
agent cleanly. Runs on one thread (see harness.py)."""

import os
import signal
import time

from harness import (ADD_MATCH_RULE, INTERVAL, INTERVAL_TOLERANCE, NOTIFICATION_RULE, PAUSE, POWER_OFF, POWER_ON,
                     READINGS, SOON, START, check, describe_status, note, reading_info_problem, require, run_cases,
                     show, split_cycles)

CYCLES = 3
COMMANDS = {PAUSE, START, POWER_ON, POWER_OFF}


def added_arg0_names(messages, sender):
    """The arg0 values of the match rules `sender` added."""
    names = []
    for m in messages:
        if m.member == "AddMatch" and m.sender == sender and m.args and m.args[0][0] == "string":
            rule = m.args[0][1]
            marker = "arg0='"
            if marker in rule:
                names.append(rule.split(marker, 1)[1].split("'", 1)[0])
    return names


def cycles_at_launch_and_every_interval(ctx):
    address = ctx.start_bus()
    monitor = ctx.monitor(address, rules=(NOTIFICATION_RULE, ADD_MATCH_RULE))
    agent = ctx.agent(address=address)

    readings = monitor.wait_readings(3 * CYCLES, SOON + CYCLES * INTERVAL)
    require(readings, "expected %d cycles of readings within %.0f s; saw %d readings: %s; agent: %s" %
            (CYCLES, SOON + CYCLES * INTERVAL, len(monitor.readings()), show(monitor.readings()),
             describe_status(agent.popen.poll())))
    sender = readings[0].sender
    everything = monitor.messages()
    ours = [m for m in everything if m.sender == sender]
    readings = [m for m in ours if m.is_notification() and m.name in READINGS][:3 * CYCLES]

    check(all(m.sender == sender for m in monitor.readings()),
          "all readings should come from the agent's one connection %s: %s" %
          (sender, sorted({m.sender for m in monitor.readings()})))
    check(not monitor.parse_errors(), "dbus-monitor output could not be read: %s" % monitor.parse_errors())

    cycles, problem = split_cycles(readings)
    check(problem is None, problem or "")
    problems = [p for p in (reading_info_problem(m) for m in readings) if p]
    check(not problems, "%d reading(s) with wrong content, first: %s" % (len(problems), problems[:3]))
    for m in readings:
        if not check(m.header.get("destination", "").startswith("(null"),
                     "%s should be broadcast (no destination), got destination=%s" %
                     (m.name, m.header.get("destination"))):
            break

    # The three readings of a cycle go out together.
    for index, cycle in enumerate(cycles):
        spread = cycle[2].time - cycle[0].time
        check(spread < 0.5, "cycle %d: the three readings should go out together, but they spread over %.3f s" %
              (index, spread))

    # One cycle during launch: right after the agent registered for its commands, not a tick later.
    commands = added_arg0_names(everything, sender)
    check(sorted(commands) == sorted(COMMANDS),
          "the agent should register for exactly the four command names, registered arg0 %s" % commands)
    match_times = [m.time for m in everything if m.member == "AddMatch" and m.sender == sender]
    if match_times and cycles:
        lag = cycles[0][0].time - max(match_times)
        note("first cycle %.3f s after the agent's last registration" % lag)
        check(-0.001 < lag < INTERVAL / 2,
              "the first cycle should go out at launch, right after the agent registers for its commands; "
              "it came %.3f s after" % lag)

    # Then one cycle every 2.0 s.
    cpu_times = [cycle[0].time for cycle in cycles]
    intervals = [round(b - a, 3) for a, b in zip(cpu_times, cpu_times[1:])]
    note("intervals between cycles: %s s" % intervals)
    check(len(intervals) == CYCLES - 1, "expected %d intervals, got %s" % (CYCLES - 1, intervals))
    check(all(abs(i - INTERVAL) <= INTERVAL_TOLERANCE for i in intervals),
          "cycles should be %.1f s apart (within %.2f s), got %s" % (INTERVAL, INTERVAL_TOLERANCE, intervals))

    # The agent posts nothing but readings.
    others = [m for m in ours if m.is_notification() and m.name not in READINGS]
    check(not others, "the agent posted notifications other than readings: %s" % show(others))

    # SIGTERM ends the agent with status 0 and nothing is posted after it has ended.
    os.kill(agent.pid, signal.SIGTERM)
    agent.expect_exit(0, SOON, "after SIGTERM")
    count = len(monitor.readings())
    time.sleep(0.3)
    check(len(monitor.readings()) == count, "readings were posted after the agent ended")
    _, problem = split_cycles(monitor.readings())
    check(problem is None and len(monitor.readings()) % 3 == 0,
          "the readings up to SIGTERM should be whole cycles: %s" %
          [m.name.replace("NSNotificationName", "") for m in monitor.readings()])


if __name__ == "__main__":
    run_cases([cycles_at_launch_and_every_interval])
