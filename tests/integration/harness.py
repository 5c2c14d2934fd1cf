"""Shared code of the agent's integration tests: private buses, the agent and companion processes,
a reader of dbus-monitor's text output, senders of commands, and the pass/fail bookkeeping.

Each test script runs its cases one after another on its main thread. Processes are started only
from the main thread (they are told to die with it); the only other threads are the readers that
drain the monitors' output, and they touch nothing but their own monitor's message list.
"""

import ctypes
import os
import re
import select
import shutil
import signal
import socket
import struct
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

INTERVAL = 2.0
# How far an interval between two cycles may stray from INTERVAL.
INTERVAL_TOLERANCE = 0.25
# How long to watch for a reading that should not come (after a pause sent early in an interval):
# the next tick is due within INTERVAL; the rest is margin.
QUIET = INTERVAL + 0.6
# Generous limit for anything that should happen "at once" (a process starting, a command being
# carried out); sanitizer builds are several times slower than plain ones.
SOON = 10.0

NOTIFICATION_RULE = "type='signal',interface='%s',member='%s'" % (INTERFACE, MEMBER)
ADD_MATCH_RULE = "type='method_call',interface='org.freedesktop.DBus',member='AddMatch'"


# ---------------------------------------------------------------------------------------------
# Environment


def _required_path(variable):
    value = os.environ.get(variable)
    if not value:
        print("error: the environment variable %s is not set (run the tests through ctest)" % variable)
        sys.exit(2)
    return value


AGENT = _required_path("TRELLIS_AGENT")
CLI = _required_path("TRELLIS_CLI")

_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1
_MAIN_THREAD = threading.main_thread()


def _die_with_parent():
    # Runs in the child between fork and exec: if the test is killed, its children go too.
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def _on_sigterm(signum, frame):
    raise SystemExit("terminated by signal %d" % signum)


signal.signal(signal.SIGTERM, _on_sigterm)


# ---------------------------------------------------------------------------------------------
# Pass/fail bookkeeping


class CaseAborted(Exception):
    """Raised by `require` when a case cannot go on."""


class _Results:
    def __init__(self):
        self.case = None
        self.failures = []

    def record(self, message):
        text = "FAIL [%s]: %s" % (self.case or "setup", message)
        print(text, flush=True)
        self.failures.append(text)


RESULTS = _Results()


def check(condition, message):
    """Records a failed check with `message` when `condition` is false; returns `condition`."""
    if not condition:
        RESULTS.record(message)
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


def run_cases(cases):
    """Runs each case (a function taking a Context) in a fresh Context; exits with 0 when every
    check passed, else 1."""
    started = time.monotonic()
    for case in cases:
        RESULTS.case = case.__name__
        before = len(RESULTS.failures)
        case_started = time.monotonic()
        print("RUN  %s" % case.__name__, flush=True)
        context = Context(case.__name__)
        try:
            case(context)
        except CaseAborted:
            pass
        except Exception:  # a bug in the test or an unexpected state: report it as a failure
            RESULTS.record("unexpected error:\n" + traceback.format_exc())
        finally:
            context.close(failed=len(RESULTS.failures) > before)
        status = "ok" if len(RESULTS.failures) == before else "FAILED"
        print("%-4s %s (%.1f s)" % (status.upper() if status == "ok" else status, case.__name__,
                                    time.monotonic() - case_started), flush=True)
    RESULTS.case = None
    elapsed = time.monotonic() - started
    if RESULTS.failures:
        print("\n%d check(s) failed in %.1f s:" % (len(RESULTS.failures), elapsed))
        for failure in RESULTS.failures:
            print("  " + failure.splitlines()[0])
        sys.exit(1)
    print("\nall %d case(s) passed in %.1f s" % (len(cases), elapsed))
    sys.exit(0)


# ---------------------------------------------------------------------------------------------
# Processes


class Process:
    """A child process whose output goes to files in the case's folder."""

    def __init__(self, context, label, argv, env=None, stdin=None, **popen_options):
        assert threading.current_thread() is _MAIN_THREAD, "start processes from the main thread"
        self.label = label
        self.argv = list(argv)
        self.stdout_path = os.path.join(context.directory, "%s.%d.out" % (label, len(context.processes)))
        self.stderr_path = os.path.join(context.directory, "%s.%d.err" % (label, len(context.processes)))
        self._stdout = open(self.stdout_path, "wb")
        self._stderr = open(self.stderr_path, "wb")
        self.popen = subprocess.Popen(self.argv, env=env if env is not None else context.env(),
                                      stdin=stdin if stdin is not None else subprocess.DEVNULL,
                                      stdout=self._stdout, stderr=self._stderr,
                                      preexec_fn=_die_with_parent, **popen_options)
        context.processes.append(self)

    @property
    def pid(self):
        return self.popen.pid

    def running(self):
        return self.popen.poll() is None

    def wait(self, timeout):
        """The exit status (negative: killed by that signal), or None if still running."""
        try:
            return self.popen.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def stdout(self):
        with open(self.stdout_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stderr(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stop(self):
        """Ends the process with SIGTERM (SIGKILL if it lingers); returns whether it was still
        running."""
        was_running = self.popen.poll() is None
        if was_running:
            self.popen.terminate()
            if self.wait(3.0) is None:
                self.popen.kill()
                self.popen.wait()
        self._stdout.close()
        self._stderr.close()
        return was_running


def describe_status(status):
    if status is None:
        return "still running"
    if status < 0:
        try:
            return "killed by %s" % signal.Signals(-status).name
        except ValueError:
            return "killed by signal %d" % -status
    return "exit status %d" % status


class Context:
    """One case's temporary folder and the processes it started; `close` stops them all."""

    def __init__(self, name):
        self.name = name
        self.directory = tempfile.mkdtemp(prefix="trellis-it-%s-" % name)
        self.processes = []
        self.agents = []
        self.session_address = None
        self.system_address = None

    def env(self, **extra):
        env = dict(os.environ)
        # Never reach a bus outside the test by accident.
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        env.pop("DBUS_SYSTEM_BUS_ADDRESS", None)
        env["DBUS_SESSION_BUS_ADDRESS"] = self.session_address or "unix:path=/nonexistent/trellis-test-bus"
        if self.system_address:
            env["DBUS_SYSTEM_BUS_ADDRESS"] = self.system_address
        env.update(extra)
        return env

    def path(self, name):
        return os.path.join(self.directory, name)

    def close(self, failed):
        if failed:
            for agent in self.agents:
                agent.report()
        for process in reversed(self.processes):
            try:
                if process.stop() and process in self.agents and not failed:
                    # An agent left running ends on SIGTERM with status 0, cleanly (a sanitizer
                    # that finds leaks at exit changes the status).
                    check(process.popen.returncode == 0, "the agent should end with status 0 on SIGTERM: %s%s" %
                          (describe_status(process.popen.returncode), process._stderr_tail()))
            except Exception:
                traceback.print_exc()
        for process in self.processes:
            # Sanitizer reports from our programs are failures even when every check passed.
            err = process.stderr()
            if process.label in ("agent", "trellis") and ("Sanitizer" in err or "runtime error:" in err):
                RESULTS.record("%s (%s) reported a sanitizer error:\n%s" %
                               (process.label, " ".join(process.argv[1:])[:200], err[-4000:]))
        shutil.rmtree(self.directory, ignore_errors=True)

    # -- buses ---------------------------------------------------------------------------------

    def start_bus(self, kind="session", all_users=False):
        """Starts a private dbus-daemon and returns its address. With kind "system" the address
        is also given to children as DBUS_SYSTEM_BUS_ADDRESS; with all_users any local user may
        connect."""
        folder = self.path("bus-%s-%d" % (kind, len(self.processes)))
        os.mkdir(folder)
        if all_users:
            os.chmod(self.directory, 0o755)
            os.chmod(folder, 0o755)
        config = os.path.join(folder, "bus.conf")
        with open(config, "w") as f:
            f.write(f"""<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>{kind}</type>
  <listen>unix:path={folder}/socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow send_type="signal"/>
    <allow receive_sender="*"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
""")
        daemon = Process(self, "dbus-daemon",
                         ["dbus-daemon", "--config-file=" + config, "--print-address=1", "--nofork", "--nopidfile"],
                         env=self.env())
        address = wait_until(lambda: daemon.stdout().partition("\n")[0].strip() if "\n" in daemon.stdout() else None,
                             SOON)
        require(address, "dbus-daemon did not print its address (%s): %s" %
                (describe_status(daemon.popen.poll()), daemon.stderr()))
        if kind == "system":
            self.system_address = address
        else:
            self.session_address = address
        return address

    # -- participants --------------------------------------------------------------------------

    def monitor(self, address, rules=(NOTIFICATION_RULE,)):
        monitor = Monitor(self, address, rules)
        monitor.wait_ready()
        return monitor

    def agent(self, *options, address=None, bus="session", power_tool=None, env=None):
        """Starts the agent. Unless the options name a --root, it reads an empty folder as its
        root, so that neither this machine's logins nor its sensors play a part: with no utmp
        and no logind seat there, the agent's own user is the console user."""
        argv = [AGENT, "--bus", bus]
        if power_tool:
            argv += ["--power-tool", power_tool]
        if "--root" not in options:
            root = self.path("root-%d" % len(self.agents))
            os.mkdir(root)
            argv += ["--root", root]
        argv += list(options)
        agent = Agent(self, argv, env if env is not None else self._bus_env(address, bus))
        self.agents.append(agent)
        return agent

    def _bus_env(self, address, bus):
        if address is None:
            return self.env()
        if bus == "system":
            return self.env(DBUS_SYSTEM_BUS_ADDRESS=address)
        return self.env(DBUS_SESSION_BUS_ADDRESS=address)

    def power_tool(self, label="power-tool"):
        """Writes a stand-in for the power-management tool; returns (tool path, record path).
        Each run appends its arguments, space-separated, as one line of the record."""
        tool = self.path(label)
        record = tool + ".calls"
        with open(tool, "w") as f:
            f.write('#!/bin/sh\necho "$*" >> "%s"\n' % record)
        os.chmod(tool, 0o755)
        return tool, record

    def run(self, argv, address=None, bus="session", timeout=SOON, env=None, label=None):
        """Runs a short-lived client; returns (status, stdout, stderr). A client that does not
        end in time is a failed check (and is killed)."""
        process = Process(self, label or os.path.basename(argv[0]), argv,
                          env=env if env is not None else self._bus_env(address, bus))
        status = process.wait(timeout)
        if status is None:
            check(False, "%s did not end within %.0f s" % (" ".join(argv)[:200], timeout))
            process.stop()
            status = process.popen.returncode
        return status, process.stdout(), process.stderr()

    def run_ok(self, argv, what, **options):
        status, out, err = self.run(argv, **options)
        check(status == 0, "%s: %s failed (%s): %s" % (what, " ".join(argv)[:200], describe_status(status),
                                                         err.strip()))
        return out

    def companion(self, *args, address=None, bus="session", timeout=SOON):
        return self.run([CLI] + list(args), address=address, bus=bus, timeout=timeout, label="trellis")

    def start(self, argv, address=None, bus="session", label=None):
        """Starts a client in the background."""
        return Process(self, label or os.path.basename(argv[0]), argv, env=self._bus_env(address, bus))

    def start_companion(self, *args, address=None, bus="session"):
        return self.start([CLI] + list(args), address=address, bus=bus, label="trellis")


def tool_calls(record):
    """The lines a power-tool stand-in recorded so far."""
    if not os.path.exists(record):
        return []
    with open(record) as f:
        return f.read().splitlines()


def wait_until(predicate, timeout, step=0.02):
    """Polls `predicate` until it returns something true; returns that, or None after `timeout`."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            return None
        time.sleep(step)


class Agent(Process):
    def __init__(self, context, argv, env):
        super().__init__(context, "agent", argv, env=env)

    def report(self):
        note("agent %s: %s" % (" ".join(self.argv[1:]), describe_status(self.popen.poll())))
        if os.path.isdir("/run/systemd/seats") and os.listdir("/run/systemd/seats"):
            note("logind on this machine knows seats: the agent asks it, not its --root, for the console user")
        err = self.stderr().strip()
        if err:
            note("agent stderr:\n" + err[-4000:])

    def expect_exit(self, status, timeout, what):
        actual = self.wait(timeout)
        return check(actual == status, "%s: the agent should end with exit status %d within %.0f s, but: %s%s" %
                     (what, status, timeout, describe_status(actual), self._stderr_tail()))

    def expect_running(self, what):
        return check(self.running(), "%s: the agent ended unexpectedly (%s)%s" %
                     (what, describe_status(self.popen.poll()), self._stderr_tail()))

    def _stderr_tail(self):
        err = self.stderr().strip()
        return ("; its stderr:\n" + err[-3000:]) if err else ""

    def cpu_seconds(self):
        """utime + stime of the process so far, in seconds."""
        with open("/proc/%d/stat" % self.pid) as f:
            fields = f.read().rpartition(")")[2].split()
        # Fields after the command name start with the state (field 3); utime and stime are 14, 15.
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


# ---------------------------------------------------------------------------------------------
# dbus-monitor's text output


class Message:
    """One message as dbus-monitor printed it."""

    def __init__(self, kind, header):
        self.kind = kind  # "signal", "method call", "method return", "error"
        self.header = header  # the raw header line's fields
        self.time = float(header.get("time", "0"))
        self.sender = header.get("sender", "")
        self.path = header.get("path")
        self.interface = header.get("interface")
        self.member = header.get("member")
        self.args = []  # parsed body values (see parse_body)

    # A Notification's parts: the name, the object, and the user information as plain values
    # (see plain); None where the argument is absent or not of the expected type.
    @property
    def name(self):
        return _arg_of(self.args, 0, "string")

    @property
    def object(self):
        return _arg_of(self.args, 1, "string")

    @property
    def user_info(self):
        if len(self.args) < 3:
            return None
        return user_info_of(self.args[2])

    def signature_ok(self):
        """Whether the body looks like (s, s, a{sv})."""
        return (len(self.args) == 3 and self.args[0][0] == "string" and self.args[1][0] == "string"
                and self.user_info is not None)

    def is_notification(self):
        return (self.kind == "signal" and self.path == OBJECT_PATH and self.interface == INTERFACE
                and self.member == MEMBER)

    def __repr__(self):
        if self.is_notification():
            return "Notification(%r, %r, %s) at %.6f from %s" % (self.name, self.object, show(self.user_info),
                                                                 self.time, self.sender)
        return "%s %s.%s at %.6f from %s: %s" % (self.kind, self.interface, self.member, self.time, self.sender,
                                                 show(self.args))


def _arg_of(args, index, kind):
    if len(args) <= index or args[index][0] != kind:
        return None
    return args[index][1]


_HEADER = re.compile(r"^(signal|method call|method return|error) (time=.*)$")


def parse_header(line):
    """(kind, fields) for a message header line, or None for another line."""
    match = _HEADER.match(line)
    if not match:
        return None
    fields = {}
    for part in re.split(r"[ ;]+", match.group(2)):
        key, sep, value = part.partition("=")
        if sep:
            fields[key] = value
    return match.group(1), fields


_BASIC = {
    "string": str, "object path": str, "signature": str,
    "int16": int, "uint16": int, "int32": int, "uint32": int, "int64": int, "uint64": int, "byte": int,
    "double": float,
}


class ParseError(Exception):
    pass


def _items(lines):
    """Splits body lines into items: "variant" prefixes become items of their own, a string that
    runs over several lines (it holds a newline) becomes one item."""
    items = []
    index = 0
    while index < len(lines):
        text = lines[index].strip()
        index += 1
        while text.startswith("variant"):
            items.append("variant")
            text = text[len("variant"):].strip()
        if not text:
            continue
        for prefix in ("string \"", "object path \"", "signature \""):
            if text.startswith(prefix):
                # dbus-monitor prints strings raw: a string ends on the first line that ends in a quote.
                raw = lines[index - 1].split(prefix, 1)[1]
                while not raw.endswith("\"") and index < len(lines):
                    raw += "\n" + lines[index]
                    index += 1
                if not raw.endswith("\""):
                    raise ParseError("unterminated string: %r" % raw[:100])
                text = prefix + raw
                break
        items.append(text)
    return items


def parse_body(lines):
    """Parses the body lines of one message into a list of values, each a tagged tuple:
    (basic type name, Python value) for basic types ("string", "int32", "double", "boolean",
    ...), ("variant", value), ("array", [values]), ("dict entry", key, value),
    ("struct", [values]), ("bytes", bytes)."""
    items = _items(lines)
    values = []
    position = 0

    def value_at(position):
        if position >= len(items):
            raise ParseError("the body ends inside a value")
        item = items[position]
        if item == "variant":
            inner, position = value_at(position + 1)
            return ("variant", inner), position
        if item == "array [":
            elements = []
            position += 1
            while position < len(items) and items[position] != "]":
                element, position = value_at(position)
                elements.append(element)
            if position >= len(items):
                raise ParseError("unclosed array")
            return ("array", elements), position + 1
        if item == "dict entry(":
            key, position = value_at(position + 1)
            value, position = value_at(position)
            if position >= len(items) or items[position] != ")":
                raise ParseError("unclosed dict entry")
            return ("dict entry", key, value), position + 1
        if item == "struct {":
            elements = []
            position += 1
            while position < len(items) and items[position] != "}":
                element, position = value_at(position)
                elements.append(element)
            if position >= len(items):
                raise ParseError("unclosed struct")
            return ("struct", elements), position + 1
        if item == "array of bytes [":
            data = bytearray()
            position += 1
            while position < len(items) and items[position] != "]":
                data.extend(bytes.fromhex(items[position]))
                position += 1
            if position >= len(items):
                raise ParseError("unclosed byte array")
            return ("bytes", bytes(data)), position + 1
        if item.startswith("array of bytes \""):
            # array of bytes "text" + \0: a printable byte string with a final zero byte.
            match = re.match(r'^array of bytes "(.*)"( \+ \\0)?$', item, re.S)
            if not match:
                raise ParseError("unreadable byte string: %r" % item[:100])
            return ("bytes", match.group(1).encode() + (b"\0" if match.group(2) else b"")), position + 1
        if item.startswith("boolean "):
            return ("boolean", item.split(" ", 1)[1] == "true"), position + 1
        if item.startswith("file descriptor"):
            return ("file descriptor", None), position + 1
        for name, convert in _BASIC.items():
            if item.startswith(name + " "):
                text = item[len(name) + 1:]
                if convert is str:
                    if not (text.startswith("\"") and text.endswith("\"") and len(text) >= 2):
                        raise ParseError("unquoted %s: %r" % (name, item[:100]))
                    return (name, text[1:-1]), position + 1
                try:
                    return (name, convert(text)), position + 1
                except ValueError:
                    raise ParseError("unreadable %s: %r" % (name, item[:100]))
        raise ParseError("unknown item: %r" % item[:100])

    while position < len(items):
        value, position = value_at(position)
        values.append(value)
    return values


def plain(value):
    """A parsed value in a form that is easy to compare: variants unwrapped, arrays of dict
    entries as dicts keyed by the keys' plain values, other arrays and structs as lists, basic
    values as (type name, value) tuples, except dictionary keys that are strings, which become
    bare strings. ("int32", 0) != ("double", 0.0): types count."""
    kind = value[0]
    if kind == "variant":
        return plain(value[1])
    if kind == "array":
        elements = value[1]
        if elements and all(e[0] == "dict entry" for e in elements):
            result = {}
            for _, key, item in elements:
                result[key[1] if key[0] == "string" else plain(key)] = plain(item)
            return result
        return [plain(e) for e in elements]
    if kind == "struct":
        return [plain(e) for e in value[1]]
    if kind == "dict entry":
        return [plain(value[1]), plain(value[2])]
    return value


def user_info_of(value):
    """The plain dict of an a{sv} value (an empty array counts), or None when it is not one."""
    if value[0] != "array":
        return None
    for element in value[1]:
        if element[0] != "dict entry" or element[1][0] != "string" or element[2][0] != "variant":
            return None
    return plain(value) if value[1] else {}


def show(value, limit=400):
    text = repr(value)
    return text if len(text) <= limit else text[:limit] + "...(%d characters)" % len(text)


class Monitor:
    """dbus-monitor on one bus, read by a thread into a list of Messages."""

    def __init__(self, context, address, rules):
        self.address = address
        self.process = Process(context, "dbus-monitor", ["dbus-monitor", "--address", address] + list(rules))
        self._lock = threading.Condition()
        self._messages = []
        self._errors = []
        # Read the output as it comes; dbus-monitor writes each message whole and flushes it.
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        # dbus-monitor writes to a file, read here as it grows. It marks no message's end, but it
        # writes and flushes each message whole: a message is complete when the next header
        # comes, or when nothing more has come for a moment and its brackets are closed.
        pending = b""
        header, lines = None, []
        idle_since = None
        with open(self.process.stdout_path, "rb") as f:
            while True:
                ended = not self.process.running()
                chunk = f.read()
                if chunk:
                    pending += chunk
                    idle_since = None
                    *complete, pending = pending.split(b"\n")
                    for raw in complete:
                        line = raw.decode("utf-8", "replace")
                        parsed = parse_header(line)
                        if parsed:
                            if header:
                                self._finish(header, lines)
                            header, lines = parsed, []
                        elif header:
                            lines.append(line)
                    continue
                if ended:
                    if header:
                        if pending:
                            lines.append(pending.decode("utf-8", "replace"))
                        self._finish(header, lines)
                    return
                if header and not pending:
                    if idle_since is None:
                        idle_since = time.monotonic()
                    elif time.monotonic() - idle_since > 0.05 and _balanced(lines):
                        self._finish(header, lines)
                        header, lines = None, []
                time.sleep(0.01)

    def _finish(self, header, lines):
        message = Message(*header)
        try:
            message.args = parse_body(lines)
        except ParseError as error:
            with self._lock:
                self._errors.append("cannot read a message printed by dbus-monitor (%s): %s" %
                                    (error, show("\n".join(lines), 600)))
        with self._lock:
            self._messages.append(message)
            self._lock.notify_all()

    def messages(self):
        with self._lock:
            return list(self._messages)

    def parse_errors(self):
        with self._lock:
            return list(self._errors)

    def notifications(self, names=None, sender=None):
        """Notifications seen so far, optionally only those with the given names or sender."""
        return [m for m in self.messages()
                if m.is_notification() and (names is None or m.name in names)
                and (sender is None or m.sender == sender)]

    def readings(self, sender=None):
        return self.notifications(READINGS, sender)

    def wait_for(self, predicate, timeout):
        """Waits until predicate(messages) returns something true; returns it, or None."""
        deadline = time.monotonic() + timeout
        with self._lock:
            while True:
                result = predicate(list(self._messages))
                if result:
                    return result
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self._lock.wait(min(left, 0.1))

    def wait_ready(self):
        # A monitor learns its own unique name and then loses it when it becomes a monitor.
        became = self.wait_for(lambda ms: any(m.member == "NameLost" for m in ms), SOON)
        require(became, "dbus-monitor did not start monitoring (%s): %s" %
                (describe_status(self.process.popen.poll()), self.process.stderr()))

    def wait_readings(self, count, timeout, sender=None, after=None):
        """Waits for `count` readings (later than time `after`, if given); returns them all, or
        None."""
        def enough(messages):
            found = [m for m in messages if m.is_notification() and m.name in READINGS
                     and (sender is None or m.sender == sender) and (after is None or m.time > after)]
            return found if len(found) >= count else None
        return self.wait_for(enough, timeout)

    def wait_cycle(self, timeout, sender=None, after=None):
        """Waits for one complete cycle (a fans reading closes it) later than `after`; returns
        the fans reading or None."""
        def closed(messages):
            for m in messages:
                if (m.is_notification() and m.name == FANS and (sender is None or m.sender == sender)
                        and (after is None or m.time > after)):
                    return m
            return None
        return self.wait_for(closed, timeout)

    def wait_early_in_interval(self, sender, what):
        """Returns early in an interval between two cycles of `sender` (waiting for the next cycle
        if the last one is more than a second ago), so that a command sent now reaches the agent
        well before its next tick; ends the case if the cycles have stopped."""
        last = [m.time for m in self.notifications([FANS], sender)]
        if last and time.time() - last[-1] < 1.0:
            return
        require(self.wait_cycle(INTERVAL + SOON, sender=sender, after=time.time()),
                "%s: the agent stopped posting readings" % what)

    def wait_reading_matches(self, count, timeout):
        """Waits until clients have asked the bus for `count` match rules on reading names (a
        watcher asks for three); needs a monitor that sees AddMatch. Returns them or None."""
        def matches(messages):
            found = [m for m in messages if m.member == "AddMatch" and m.args and m.args[0][0] == "string"
                     and any("arg0='%s'" % name in m.args[0][1] for name in READINGS)]
            return found if len(found) >= count else None
        return self.wait_for(matches, timeout)

    def wait_command(self, name, timeout, after=None):
        """Waits until the bus has carried a notification called `name`; returns it or None."""
        def seen(messages):
            for m in messages:
                if m.is_notification() and m.name == name and (after is None or m.time > after):
                    return m
            return None
        return self.wait_for(seen, timeout)


def _balanced(lines):
    opened = 0
    for line in lines:
        text = line.strip()
        if text.endswith("[") or text.endswith("(") or text.endswith("{"):
            opened += 1
        elif text in ("]", ")", "}"):
            opened -= 1
    return opened == 0


# ---------------------------------------------------------------------------------------------
# Checks on readings


def reading_info_problem(message):
    """What is wrong with one reading's content, or None. The temperatures and fan speeds are
    not checked, only their types and the fan set's shape."""
    if message.object != "":
        return "%s: the object should be \"\", got %r" % (message.name, message.object)
    if not message.signature_ok():
        return "%s: the signal should carry (s, s, a{sv}), got %s" % (message.name, show(message.args))
    info = message.user_info
    if message.name == CPU or message.name == SSD:
        key = "cpu" if message.name == CPU else "disk"
        if list(info) != [key] or info[key][0] != "double":
            return "%s: user info should be {%r: double}, got %s" % (message.name, key, show(info))
        return None
    if message.name == FANS:
        if info != {"fan": {"count": ("int32", 0)}}:
            return "%s: user info should be {'fan': {'count': int32 0}}, got %s" % (message.name, show(info))
        return None
    return "not a reading: %r" % message


def split_cycles(readings):
    """Groups readings into cycles of (CPU, SSD, fans); returns (cycles, problem or None)."""
    cycles = []
    for index in range(0, len(readings), 3):
        group = readings[index:index + 3]
        names = [m.name for m in group]
        if names != list(READINGS)[:len(group)]:
            return cycles, "reading %d on should be a cycle in the order CPU, SSD, fans; got %s" % (
                index, [n.replace("NSNotificationName", "") for n in names])
        if len(group) == 3:
            cycles.append(group)
    return cycles, None


def grid_problem(times, tolerance):
    """Checks that `times` (of consecutive cycles) sit on one grid of INTERVAL: no slot skipped,
    none doubled, each within `tolerance` of its slot. Returns (problem or None, deviations)."""
    if len(times) < 2:
        return None, []
    slots = [round((t - times[0]) / INTERVAL) for t in times]
    raw = [t - times[0] - k * INTERVAL for t, k in zip(times, slots)]
    phase = sorted(raw)[len(raw) // 2]
    deviations = [round(d - phase, 3) for d in raw]
    if slots != list(range(len(slots))):
        return "cycles should come every %.1f s without a gap; their slots were %s" % (INTERVAL, slots), deviations
    worst = max(abs(d) for d in deviations)
    if worst > tolerance:
        return ("cycles should stay within %.2f s of their %.1f s slots; deviations %s" %
                (tolerance, INTERVAL, deviations)), deviations
    return None, deviations


# ---------------------------------------------------------------------------------------------
# Senders


def gdbus_emit_argv(name_text, object_text="''", info_text="@a{sv} {}", bus="session"):
    """A gdbus emit command line; the arguments are GVariant texts (None leaves them out)."""
    argv = ["gdbus", "emit", "--" + bus, "--object-path", OBJECT_PATH, "--signal", INTERFACE + "." + MEMBER,
            name_text]
    if object_text is not None:
        argv.append(object_text)
    if info_text is not None:
        argv.append(info_text)
    return argv


def gvariant_string(text):
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


def dbus_send_argv(*args, bus="session"):
    return ["dbus-send", "--" + bus, "--type=signal", OBJECT_PATH, INTERFACE + "." + MEMBER] + list(args)


def busctl_emit_argv(address, signature, *args):
    return (["busctl", "--address=" + address, "emit", OBJECT_PATH, INTERFACE, MEMBER, signature] +
            [str(a) for a in args])


# A minimal D-Bus client, for what no command-line tool does: send a signal and stay connected
# (the agent asks the bus who sent a command after it arrived; a tool that has already gone
# cannot be asked about). Run as a script: harness.py hold-and-send ADDRESS NAME SECONDS BLOB_BYTES.


def _pad(data, alignment):
    return data + b"\0" * (-len(data) % alignment)


def _marshal_string(data, text, signature=False):
    raw = text.encode()
    if signature:
        return data + struct.pack("<B", len(raw)) + raw + b"\0"
    data = _pad(data, 4)
    return data + struct.pack("<I", len(raw)) + raw + b"\0"


def _message(kind, serial, fields, signature, body):
    data = struct.pack("<cBBBII", b"l", kind, 0, 1, len(body), serial)
    array = b""
    for code, type_code, value in fields:
        array = _pad(array, 8)
        # Offsets inside the array are relative to the message start: the array starts at 16.
        element = struct.pack("<B", code) + struct.pack("<B", 1) + type_code.encode() + b"\0"
        if type_code == "g":
            element = _marshal_string(element, value, signature=True)
        else:
            element = _marshal_string(element, value)
        array += element
    data += struct.pack("<I", len(array)) + array
    return _pad(data, 8) + body


def _unix_socket_path(address):
    for part in address.split(";"):
        if part.startswith("unix:"):
            options = dict(p.split("=", 1) for p in part[5:].split(","))
            if "path" in options:
                return options["path"]
            if "abstract" in options:
                return "\0" + options["abstract"]
    raise ValueError("no unix address in %r" % address)


def _marshal_user_info(body, info):
    """Appends a{sv} for a dict of str -> str, int (int32) or dict values."""
    body = _pad(body, 4)
    length_at = len(body)
    body += b"\0\0\0\0"
    body = _pad(body, 8)
    elements_at = len(body)
    for key, value in info.items():
        body = _pad(body, 8)
        body = _marshal_string(body, key)
        if isinstance(value, dict):
            body = _marshal_string(body, "a{sv}", signature=True)
            body = _marshal_user_info(body, value)
        elif isinstance(value, int):
            body = _marshal_string(body, "i", signature=True)
            body = _pad(body, 4) + struct.pack("<i", value)
        else:
            body = _marshal_string(body, "s", signature=True)
            body = _marshal_string(body, value)
    return body[:length_at] + struct.pack("<I", len(body) - elements_at) + body[length_at + 4:]


def hold_and_send(address, name, seconds, info=None):
    """Connects, says Hello, broadcasts Notification(name, "", info) and stays connected for
    `seconds` (or until the bus closes the connection)."""
    connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    connection.connect(_unix_socket_path(address))
    connection.sendall(b"\0AUTH EXTERNAL " + str(os.geteuid()).encode().hex().encode() + b"\r\n")
    reply = b""
    while b"\r\n" not in reply:
        chunk = connection.recv(4096)
        if not chunk:
            raise OSError("the bus closed the connection during authentication")
        reply += chunk
    if not reply.startswith(b"OK "):
        raise OSError("authentication refused: %r" % reply)
    connection.sendall(b"BEGIN\r\n")
    hello = _message(1, 1, [(1, "o", "/org/freedesktop/DBus"), (2, "s", "org.freedesktop.DBus"),
                            (3, "s", "Hello"), (6, "s", "org.freedesktop.DBus")], "", b"")
    body = _marshal_string(b"", name)
    body = _marshal_string(body, "")
    body = _marshal_user_info(body, info or {})
    notification = _message(4, 2, [(1, "o", OBJECT_PATH), (2, "s", INTERFACE), (3, "s", MEMBER),
                                   (8, "g", "ssa{sv}")], "ssa{sv}", body)
    connection.sendall(hello + notification)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        ready, _, _ = select.select([connection], [], [], max(0.0, deadline - time.monotonic()))
        if ready and not connection.recv(65536):
            break
    connection.close()


def hold_and_send_argv(address, name, seconds, blob_bytes=0, python=None, script=None):
    """A command line that runs hold_and_send in a process of its own; with blob_bytes the user
    information is {"blob": a string of that many bytes}. `script` is a copy of this file to run
    instead of this one (for another user, who may not be able to read this one)."""
    return [python or sys.executable, script or os.path.abspath(__file__), "hold-and-send", address, name,
            str(seconds), str(blob_bytes)]


if __name__ == "__main__":
    if len(sys.argv) == 6 and sys.argv[1] == "hold-and-send":
        blob = int(sys.argv[5])
        hold_and_send(sys.argv[2], sys.argv[3], float(sys.argv[4]), {"blob": "x" * blob} if blob else None)
        sys.exit(0)
    print("usage: harness.py hold-and-send ADDRESS NAME SECONDS BLOB_BYTES")
    sys.exit(2)
