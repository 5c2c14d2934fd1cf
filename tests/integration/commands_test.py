"""The four commands as gdbus sends them, each scenario in a fresh agent on a bus of its own.
The scenarios run side by side, step by step, so that their waits overlap. Runs on one thread
(see harness.py)."""

import time

from harness import (PAUSE, POWER_OFF, POWER_ON, QUIET, READINGS, SOON, START, check, gdbus_emit_argv,
                     gvariant_string, note, require, run_cases, show, split_cycles, tool_calls, wait_until)


class Scenario:
    def __init__(self, ctx, label, object_text, info_text):
        self.ctx = ctx
        self.label = label
        self.object_text = object_text
        self.info_text = info_text
        self.address = ctx.start_bus()
        self.monitor = ctx.monitor(self.address)
        self.tool, self.record = ctx.power_tool(label)
        self.agent = ctx.agent(address=self.address, power_tool=self.tool)
        self.sender = None

    def emit(self, name):
        argv = gdbus_emit_argv(gvariant_string(name), self.object_text, self.info_text)
        self.ctx.run_ok(argv, "%s: sending %s" % (self.label, name), address=self.address)
        return time.time()

    def wait_first_cycle(self):
        fans = self.monitor.wait_cycle(SOON)
        require(fans, "%s: no readings within %.0f s of starting the agent" % (self.label, SOON))
        self.sender = fans.sender
        return fans.time

    def readings_after(self, moment):
        return [m for m in self.monitor.readings(self.sender) if m.time > moment]

    def tool_calls(self):
        return tool_calls(self.record)


def commands_in_fresh_agents(ctx):
    paused = [
        Scenario(ctx, "pause", "''", "@a{sv} {}"),
        Scenario(ctx, "pause-with-user-info", "''", "{'k': <int32 1>, 'list': <[<'a'>, <2.5>]>}"),
        Scenario(ctx, "pause-with-object", "'obj'", "@a{sv} {}"),
        Scenario(ctx, "pause-with-object-and-user-info", "'obj'", "{'nested': <{'count': <int32 0>}>}"),
    ]
    # Sampling all along: hears names that differ from the commands only in letter case, then quits.
    control = Scenario(ctx, "case-differs", "''", "@a{sv} {}")
    everyone = paused + [control]

    for s in everyone:
        s.wait_first_cycle()

    # Pause each early in an interval, far from its next tick; the control scenario gets names
    # that are not commands.
    pause_times = {}
    for s in paused:
        s.monitor.wait_early_in_interval(s.sender, s.label)
        pause_times[s.label] = s.emit(PAUSE)
    miscased_at = time.time()
    for name in ("nsnotificationnametoolpause", "NSNotificationNameToolpause", "NSNOTIFICATIONNAMETOOLSTART",
                 "NSNotificationNameToolstart", "NSNotificationNameOpenPowersaving",
                 "nsnotificationnameclosepowersaving"):
        control.emit(name)
    time.sleep(QUIET)

    for s in paused:
        late = s.readings_after(pause_times[s.label])
        check(not late, "%s: readings went on after the pause: %s" % (s.label, show(late)))
        s.agent.expect_running(s.label + " after the pause")
    check(control.readings_after(miscased_at),
          "case-differs: readings should go on after names that differ from the commands in letter case")
    control.agent.expect_running("case-differs after the miscased names")
    check(control.tool_calls() == [],
          "case-differs: miscased power-saving names ran the power tool: %s" % control.tool_calls())

    # A second pause changes nothing; the power tool still runs while paused, in order.
    second_times = {}
    for s in paused:
        second_times[s.label] = s.emit(PAUSE)
        s.emit(POWER_ON)
        s.emit(POWER_OFF)
    # The control scenario quits while sampling.
    control_quit = control.emit(START)
    control.agent.expect_exit(0, SOON, "case-differs: the start command while sampling")
    after_quit = [m for m in control.monitor.readings() if m.time > control_quit + 0.5]
    check(not after_quit, "case-differs: readings after the agent ended: %s" % show(after_quit))
    names = [m.name for m in control.monitor.readings()]
    _, problem = split_cycles(control.monitor.readings())
    check(problem is None and len(names) % 3 == 0,
          "case-differs: the readings up to the quit should be whole cycles: %s" %
          [n.replace("NSNotificationName", "") for n in names])

    expected_calls = ["-a lowpowermode 1", "-a lowpowermode 0"]
    for s in paused:
        calls = wait_until(lambda: s.tool_calls() if len(s.tool_calls()) >= 2 else None, SOON)
        check(calls == expected_calls, "%s: the power tool should have run with %s while paused, ran with %s" %
              (s.label, expected_calls, s.tool_calls()))
    time.sleep(max(0.0, QUIET - (time.time() - min(second_times.values()))))
    for s in paused:
        late = s.readings_after(pause_times[s.label])
        check(not late, "%s: readings after a second pause and the power commands: %s" % (s.label, show(late)))
        _, problem = split_cycles(s.monitor.readings(s.sender))
        check(problem is None and len(s.monitor.readings(s.sender)) % 3 == 0,
              "%s: the readings before the pause should be whole cycles: %s" %
              (s.label, [m.name.replace("NSNotificationName", "") for m in s.monitor.readings(s.sender)]))

    # The start command ends a paused agent with status 0.
    for s in paused:
        s.emit(START)
    for s in paused:
        s.agent.expect_exit(0, SOON, "%s: the start command while paused" % s.label)
    note("tool calls: %s" % {s.label: s.tool_calls() for s in everyone})
    for s in everyone:
        check(all(m.name in READINGS or m.sender != s.sender for m in s.monitor.notifications()),
              "%s: the agent posted something other than readings" % s.label)


if __name__ == "__main__":
    run_cases([commands_in_fresh_agents])
