"""Shared code of the integration tests: private buses, the agent and companion processes, a bus
monitor (busctl's JSON output), senders of commands, pass/fail bookkeeping. Cases run one after
another on the main thread, which alone starts processes; monitors' readers touch only their list.
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import traceback

OBJECT_PATH = "/org/trellis/DistributedCenter"
INTERFACE = "org.trellis.DistributedCenter1"
MEMBER = "Notification"

CPU = "NSNotificationNameCpuTemperature"
SSD = "NSNotificationNameSSDTemperature"
FANS = "NSNotificationNameFansSpeed"
READINGS = (CPU, SSD, FANS)
PAUSE = "NSNotificationNameToolPause"
START = "NSNotificationNameToolStart"
POWER_ON = "NSNotificationNameOpenPowerSaving"
POWER_OFF = "NSNotificationNameClosePowerSaving"
TOOL_ON, TOOL_OFF = "-a lowpowermode 1", "-a lowpowermode 0"

INTERVAL = 2.0
INTERVAL_TOLERANCE = 0.25  # how far an interval between two cycles may stray from INTERVAL
QUIET = INTERVAL + 0.6  # how long to watch for a reading that should not come after a pause
# Generous limit for anything that should happen "at once"; sanitizer builds are several times slower.
SOON = 10.0
# The sanitizer build (scripts/test --sanitize) starts slowly and keeps freed memory in quarantine.
SANITIZED = "ASAN_OPTIONS" in os.environ

if not os.environ.get("TRELLIS_AGENT") or not os.environ.get("TRELLIS_CLI"):
    sys.exit("error: TRELLIS_AGENT and TRELLIS_CLI must be set (run the tests through ctest)")
AGENT, CLI = os.environ["TRELLIS_AGENT"], os.environ["TRELLIS_CLI"]
TESTS = os.environ.get("TRELLIS_TESTS_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
FIXTURES = os.path.join(TESTS, "fixtures")
DEMO = os.path.abspath(os.path.join(TESTS, "..", "share", "demo-smc.json"))

signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit("terminated by signal %d" % signum))



class CaseAborted(Exception):
    """Raised by `require` when a case cannot go on."""


_case, _failures = None, []


def _record(message):
    _failures.append("FAIL [%s]: %s" % (_case or "setup", message))
    print(_failures[-1], flush=True)


def check(condition, message):
    """Records a failed check with `message` when `condition` is false; returns `condition`."""
    if not condition:
        _record(message)
    return bool(condition)


def require(condition, message):
    """Like `check`, but ends the current case when the condition is false."""
    if not check(condition, message):
        raise CaseAborted(message)


def note(message):
    print("  " + message, flush=True)


def skip_script(reason):
    print("skipped: " + reason, flush=True)
    sys.exit(0)


def show(value, limit=400):
    text = repr(value)
    return text if len(text) <= limit else text[:limit] + "...(%d characters)" % len(text)


def run_cases(cases):
    """Runs each case (a function taking a Context) in a fresh Context; exits 0 if every check passed."""
    global _case
    started = time.monotonic()
    for case in cases:
        _case, before, case_started = case.__name__, len(_failures), time.monotonic()
        print("RUN  %s" % _case, flush=True)
        context = Context(_case)
        try:
            case(context)
        except CaseAborted:
            pass
        except Exception:  # a bug in the test or an unexpected state: report it as a failure
            _record("unexpected error:\n" + traceback.format_exc())
        finally:
            context.close(failed=len(_failures) > before)
        print("%-4s %s (%.1f s)" % ("OK" if len(_failures) == before else "FAILED", _case,
                                    time.monotonic() - case_started), flush=True)
    _case = None
    print("\n%s in %.1f s" % ("%d check(s) failed" % len(_failures) if _failures else "all %d case(s) passed" %
                              len(cases), time.monotonic() - started))
    for failure in _failures:
        print("  " + failure.splitlines()[0])
    sys.exit(1 if _failures else 0)


def wait_until(predicate, timeout, step=0.02):
    """Polls `predicate` until it returns something true; returns that, or None after `timeout`."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value or None
        time.sleep(step)


def first_line(process):
    """Waits for the first line that `process` prints (an address, ports); returns it or None."""
    return wait_until(lambda: process.stdout().partition("\n")[0] if "\n" in process.stdout() else None, SOON)


def sections(text):
    """{title: [lines]} of a doctor report; continuation lines go to the title above them."""
    result, title = {}, None
    for line in text.splitlines():
        title = line[:10].strip() or title
        result.setdefault(title, []).append(line[11:].strip())
    return result


def describe_status(status):
    if status is None:
        return "still running"
    return "killed by signal %d" % -status if status < 0 else "exit status %d" % status


class Process:
    """A child process whose stderr (and stdout, unless piped) go to files in the case's folder."""

    def __init__(self, context, label, argv, env=None, pipe=False):
        assert threading.current_thread() is threading.main_thread(), "start processes from the main thread"
        self.label, self.argv = label, list(argv)
        base = os.path.join(context.directory, "%s.%d" % (label, len(context.processes)))
        self.stdout_path, self.stderr_path = base + ".out", base + ".err"
        self._files = [open(self.stdout_path, "wb"), open(self.stderr_path, "wb")]
        # If the test is killed, its children go too.
        self.popen = subprocess.Popen(["setpriv", "--pdeathsig", "KILL", "--"] + self.argv,
                                      env=env if env is not None else context.env(), stdin=subprocess.DEVNULL,
                                      stdout=subprocess.PIPE if pipe else self._files[0], stderr=self._files[1])
        self.pid = self.popen.pid
        context.processes.append(self)

    def running(self):
        return self.popen.poll() is None

    def wait(self, timeout):
        """The exit status (negative: killed by that signal), or None if still running."""
        try:
            return self.popen.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def stdout(self, path=None):
        with open(path or self.stdout_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stderr(self):
        return self.stdout(self.stderr_path)

    def stderr_tail(self):
        err = self.stderr().strip()
        return ("; its stderr:\n" + err[-3000:]) if err else ""

    def stop(self):
        """Ends the process with SIGTERM (SIGKILL if it lingers); returns whether it was running."""
        was_running = self.running()
        if was_running:
            self.popen.terminate()
            if self.wait(3.0) is None:
                self.popen.kill()
                self.popen.wait()
        for f in self._files:
            f.close()
        return was_running


class Agent(Process):
    def expect_exit(self, status, timeout, what):
        actual = self.wait(timeout)
        return check(actual == status, "%s: the agent should end with exit status %d within %.0f s, but: %s%s" %
                     (what, status, timeout, describe_status(actual), self.stderr_tail()))

    def expect_running(self, what):
        return check(self.running(), "%s: the agent ended unexpectedly (%s)%s" %
                     (what, describe_status(self.popen.poll()), self.stderr_tail()))

    def cpu_seconds(self):
        """utime + stime of the process so far, in seconds."""
        fields = open("/proc/%d/stat" % self.pid).read().rpartition(")")[2].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Context:
    """One case's temporary folder and the processes it started; `close` stops them all. Clients reach
    the session bus started last unless given another address."""

    def __init__(self, name):
        self.directory = tempfile.mkdtemp(prefix="trellis-it-%s-" % name)
        self.processes = []
        self.session_address = "unix:path=/nonexistent/trellis-test-bus"  # never a bus outside the test

    def env(self, **extra):
        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=self.session_address)
        env.pop("DBUS_SYSTEM_BUS_ADDRESS", None)
        env.update(extra)
        return env

    def bus_env(self, address, bus="session"):
        return self.env(**{"DBUS_%s_BUS_ADDRESS" % bus.upper(): address}) if address else self.env()

    def path(self, name):
        return os.path.join(self.directory, name)

    def close(self, failed):
        agents = [p for p in self.processes if isinstance(p, Agent)]
        for agent in agents if failed else []:
            note("agent %s: %s%s" % (" ".join(agent.argv[1:]), describe_status(agent.popen.poll()), agent.stderr_tail()))
            if os.path.isdir("/run/systemd/seats") and os.listdir("/run/systemd/seats"):
                note("logind on this machine knows seats: the agent asks it, not its --root, for the console user")
        for process in reversed(self.processes):
            if process.stop() and process in agents and not failed:
                # An agent left running ends cleanly on SIGTERM (a sanitizer finding leaks changes the status).
                check(process.popen.returncode == 0, "the agent should end with status 0 on SIGTERM: %s%s" %
                      (describe_status(process.popen.returncode), process.stderr_tail()))
        for process in self.processes:  # sanitizer reports from our programs are failures
            err = process.stderr()
            if process.label in ("agent", "trellis") and ("Sanitizer" in err or "runtime error:" in err):
                _record("%s (%s) reported a sanitizer error:\n%s" %
                        (process.label, " ".join(process.argv[1:])[:200], err[-4000:]))
        shutil.rmtree(self.directory, ignore_errors=True)

    def start_bus(self, kind="session", config=None):
        """Starts a private dbus-daemon (with the text config(folder) as its configuration, if given)
        listening in a folder of its own; returns its address."""
        folder = self.path("bus-%d" % len(self.processes))
        os.mkdir(folder)
        with open(os.path.join(folder, "bus.conf"), "w") as f:
            f.write(config(folder) if config else """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>%s</type><listen>unix:path=%s/socket</listen><auth>EXTERNAL</auth>
  <policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*"/>
    <allow send_type="signal"/><allow receive_sender="*"/></policy>
</busconfig>
""" % (kind, folder))
        daemon = Process(self, "dbus-daemon", ["dbus-daemon", "--config-file=%s/bus.conf" % folder,
                                               "--print-address=1", "--nofork", "--nopidfile"])
        address = first_line(daemon)
        require(address, "dbus-daemon did not start (%s): %s" % (describe_status(daemon.popen.poll()), daemon.stderr()))
        if kind == "session":
            self.session_address = address
        return address

    def monitor(self, address=None):
        return Monitor(self, address or self.session_address)

    def agent(self, *options, address=None, bus="session", power_tool=None):
        """Starts the agent. Unless the options name a --root, its root is an empty folder, so that this
        machine's logins and sensors play no part (with no utmp there, its own user is at the console)."""
        argv = [AGENT, "--bus", bus] + (["--power-tool", power_tool] if power_tool else [])
        if "--root" not in options:
            argv += ["--root", tempfile.mkdtemp(prefix="root-", dir=self.directory)]
        return Agent(self, "agent", argv + list(options), env=self.bus_env(address, bus))

    def power_tool(self, body="", label="power-tool"):
        """Writes a stand-in for the power tool; returns (tool path, PowerRecord). Each run appends its
        arguments as one line of the record, then runs `body` (shell)."""
        tool = self.path(label)
        with open(tool, "w") as f:
            f.write('#!/bin/sh\necho "$*" >> "%s.calls"\n%s\n' % (tool, body))
        os.chmod(tool, 0o755)
        return tool, PowerRecord(tool + ".calls")

    def start(self, argv, address=None, bus="session", env=None, label=None):
        return Process(self, label or os.path.basename(argv[0]), argv,
                       env=env if env is not None else self.bus_env(address, bus))

    def start_companion(self, *args, address=None, bus="session"):
        return self.start([CLI] + list(args), address, bus, label="trellis")

    def run(self, argv, address=None, bus="session", env=None, label=None, timeout=SOON):
        """Runs a short-lived client; returns (status, stdout, stderr). Not ending in time fails."""
        process = self.start(argv, address, bus, env, label)
        status = process.wait(timeout)
        if not check(status is not None, "%s did not end within %.0f s" % (" ".join(argv)[:200], timeout)):
            process.stop()
        return status, process.stdout(), process.stderr()

    def run_ok(self, argv, what, **options):
        status, out, err = self.run(argv, **options)
        check(status == 0, "%s: %s failed (%s): %s" % (what, " ".join(argv)[:200], describe_status(status), err.strip()))
        return out

    def companion(self, *args, **options):
        return self.run([CLI] + list(args), label="trellis", **options)


class PowerRecord:
    """The lines a power-tool stand-in recorded."""

    def __init__(self, path):
        self.path = path

    def calls(self):
        return open(self.path).read().splitlines() if os.path.exists(self.path) else []

    def wait(self, count, timeout=SOON):
        """Waits until at least `count` calls were recorded; returns all calls so far."""
        wait_until(lambda: len(self.calls()) >= count, timeout, step=0.05)
        return self.calls()


def split_signature(signature):
    """The complete types of a D-Bus signature: "sa{sv}(ii)" -> ["s", "a{sv}", "(ii)"]."""
    types, depth, start = [], 0, 0
    for index, code in enumerate(signature):
        depth += (code in "({") - (code in ")}")
        if depth == 0 and code != "a":
            types.append(signature[start:index + 1])
            start = index + 1
    return types


def decode(signature, data):
    """A value of busctl's JSON in a form that is easy to compare: variants unwrapped, arrays as
    lists, dictionaries as dicts, basic values as (type code, value): ("i", 0) != ("d", 0.0)."""
    if signature == "v":
        return decode(data["type"], data["data"])
    if signature.startswith("a{"):
        value_type = split_signature(signature[2:-1])[1]
        return {key: decode(value_type, value) for key, value in data.items()}
    if signature.startswith("a"):
        return [decode(signature[1:], element) for element in data]
    if signature.startswith("("):
        return [decode(t, element) for t, element in zip(split_signature(signature[1:-1]), data)]
    return (signature, data)


def leaves(value, take):
    """A decoded value with each basic value v replaced by take(v): lambda v: v[1] gives the
    companion's JSON form, lambda v: v[0] the type codes."""
    if isinstance(value, dict):
        return {key: leaves(item, take) for key, item in value.items()}
    return [leaves(item, take) for item in value] if isinstance(value, list) else take(value)


class Message:
    """One message as busctl printed it. A notification's name, object and user_info are None where
    the argument is absent or not of the expected type."""

    def __init__(self, fields):
        self.kind, self.sender, self.destination = fields.get("type"), fields.get("sender", ""), fields.get("destination")
        self.path, self.interface, self.member = fields.get("path"), fields.get("interface"), fields.get("member")
        payload = fields.get("payload", {})
        self.signature = payload.get("type", "")
        self.body = [decode(t, d) for t, d in zip(split_signature(self.signature), payload.get("data", []))]
        self.time = fields.get("timestamp-realtime", time.time() * 1e6) / 1e6  # when busctl received it
        self.is_notification = (self.kind == "signal" and self.path == OBJECT_PATH and self.interface == INTERFACE
                                and self.member == MEMBER)
        parts = self.signature[:2] if self.is_notification else ""
        self.name = self.body[0][1] if parts[:1] == "s" else None
        self.object = self.body[1][1] if parts == "ss" else None
        self.user_info = self.body[2] if self.is_notification and self.signature == "ssa{sv}" else None

    def __repr__(self):
        return "%s %s.%s%s at %.6f from %s" % (self.kind, self.interface, self.member, show(self.body), self.time,
                                               self.sender)


def _at_least(count, found):
    return found if len(found) >= count else None


class Monitor:
    """`busctl monitor --json=short` on one bus; a thread reads what it prints into Messages."""

    def __init__(self, context, address):
        self.process = Process(context, "busctl", ["busctl", "--address=" + address, "monitor", "--json=short"],
                               pipe=True)
        self._lock = threading.Condition()
        self._messages = []
        threading.Thread(target=self._read, daemon=True).start()
        # busctl says so once the bus has made it a monitor: from then on it sees every message.
        require(wait_until(lambda: "Monitoring bus message stream" in self.process.stderr(), SOON),
                "busctl monitor did not start: %s" % self.process.stderr())

    def _read(self):
        for line in self.process.popen.stdout:
            message = Message(json.loads(line))
            with self._lock:
                self._messages.append(message)
                self._lock.notify_all()

    def messages(self):
        with self._lock:
            return list(self._messages)

    def notifications(self, names=None, sender=None, after=None, messages=None):
        """Notifications seen so far, optionally only those with `names`, from `sender`, later than `after`."""
        return [m for m in (self.messages() if messages is None else messages)
                if m.is_notification and (names is None or m.name in names)
                and (sender is None or m.sender == sender) and (after is None or m.time > after)]

    def readings(self, sender=None, after=None):
        return self.notifications(READINGS, sender, after)

    def wait_for(self, predicate, timeout):
        """Waits until predicate(messages) returns something true; returns it, or None."""
        deadline = time.monotonic() + timeout
        with self._lock:
            while True:
                result = predicate(list(self._messages))
                left = deadline - time.monotonic()
                if result or left <= 0:
                    return result or None
                self._lock.wait(min(left, 0.1))

    def wait(self, count, timeout, names=READINGS, sender=None, after=None):
        """Waits for `count` notifications (as `notifications` selects them); returns them all, or None."""
        return self.wait_for(lambda ms: _at_least(count, self.notifications(names, sender, after, ms)), timeout)

    def wait_cycle(self, timeout, sender=None, after=None):
        """Waits for a cycle's closing fans reading later than `after`; returns it or None."""
        return (self.wait(1, timeout, [FANS], sender, after) or [None])[0]

    def wait_reading_matches(self, count, timeout):
        """Waits until clients asked for `count` match rules on reading names (a watcher asks three)."""
        return self.wait_for(lambda ms: _at_least(count, [
            m for m in ms if m.member == "AddMatch" and m.body and m.body[0][0] == "s" and
            any("arg0='%s'" % name in m.body[0][1] for name in READINGS)]), timeout)

    def expect_pause(self, sender, send, what):
        """Calls `send` (which sends a pause) early in an interval of `sender`, well before its next
        tick; checks that no reading comes for QUIET seconds after."""
        last = self.notifications([FANS], sender)
        if not last or time.time() - last[-1].time > 1.0:
            require(self.wait_cycle(INTERVAL + SOON, sender, time.time()), "%s: the readings had stopped" % what)
        since = time.time()
        send()
        time.sleep(max(0.0, since + QUIET - time.time()))
        late = self.readings(sender, since)
        check(not late, "%s: the readings went on: %s" % (what, show(late)))


def split_cycles(readings):
    """Groups readings into cycles of (CPU, SSD, fans); returns (cycles, problem or None)."""
    cycles = [readings[i:i + 3] for i in range(0, len(readings), 3)]
    for index, cycle in enumerate(cycles):
        if [m.name for m in cycle] != list(READINGS):
            return cycles[:index], "readings should come in whole cycles of CPU, SSD, fans; cycle %d is %s" % (
                index, [m.name.replace("NSNotificationName", "") for m in cycle])
    return cycles, None


def grid_problem(times, tolerance):
    """Checks that `times` of consecutive cycles sit on one grid of INTERVAL, no slot skipped or doubled,
    each within `tolerance` of its slot. Returns (problem or None, deviations)."""
    if len(times) < 2:
        return None, []
    slots = [round((t - times[0]) / INTERVAL) for t in times]
    raw = [t - times[0] - k * INTERVAL for t, k in zip(times, slots)]
    phase = sorted(raw)[len(raw) // 2]
    deviations = [round(d - phase, 3) for d in raw]
    if slots != list(range(len(slots))):
        return "cycles should come every %.1f s without a gap; their slots were %s" % (INTERVAL, slots), deviations
    if max(abs(d) for d in deviations) > tolerance:
        return ("cycles should stay within %.2f s of their %.1f s slots; deviations %s" %
                (tolerance, INTERVAL, deviations)), deviations
    return None, deviations


def gdbus_emit_argv(name, object_text="''", info_text="@a{sv} {}"):
    """gdbus emit of the notification `name`; the other arguments are GVariant texts (None: left out)."""
    quoted = "'" + name.replace("\\", "\\\\").replace("'", "\\'") + "'"
    return (["gdbus", "emit", "--session", "--object-path", OBJECT_PATH, "--signal", INTERFACE + "." + MEMBER, quoted]
            + [a for a in (object_text, info_text) if a is not None])


def dbus_send_argv(*args):
    return ["dbus-send", "--session", "--type=signal", OBJECT_PATH, INTERFACE + "." + MEMBER] + list(args)


def busctl_emit_argv(address, signature, *args):
    return ["busctl", "--address=" + address, "emit", OBJECT_PATH, INTERFACE, MEMBER, signature] + [str(a) for a in args]
