"""What one sampling cycle of the agent costs, against other ways of doing the same work, all
running side by side in one run on this machine, repeated; prints one table of the minimum and the
median over the runs, with ratios to the agent.

Contenders (each bus user on a private dbus-daemon of its own, so each daemon's work is its
contender's):
  agent            trellis-agent --smc sim:share/demo-smc.json --root R, where R holds links to
                   /proc and /sys and no login records (so its own user counts as the console user)
  agent, paused    the same, paused over the bus (org.trellis.Agent1.Pause) after its first reading
  agent, metrics   the same with --metrics-listen PORT, scraped every 2 s like node_exporter
  C floor          bench/floor: only the reads one cycle needs and the three sends, in C over sd-bus
  wake-up alone    bench/floor --wake-only: sleeps to each 2-second tick and does nothing; what
                   the wake-up itself costs here, which every contender's figure includes
  plain Python     bench/plain_loop.py: the same files, the same three signals, through Gio
  psutil loop      bench/psutil_loop.py: psutil's gathering, no bus (the old yardstick)
  collectd         collectd-core: cpu, load, df (/), thermal at Interval 2; network plugin to a
                   local UDP socket as its output; ReadThreads 1, WriteThreads 1
  node_exporter    prometheus-node-exporter with only the cpu, loadavg, filesystem, hwmon and
                   thermal_zone collectors, scraped every 2 s by this script over one kept-alive
                   connection, like Prometheus does
The agent, the floor and the plain loop read the same paths (under R). The demo SMC table is
memory in each of them: no sensor file is read on any machine, which keeps runs comparable across
machines; collectd, node_exporter and psutil read this machine's real sensors (often none).

Figures, each over the measured window (after every contender has started and a few seconds of
warm-up):
  CPU per cycle    whole-process CPU time, user and kernel, from the first field of
                   /proc/PID/task/*/schedstat (ns) of the process and its descendants, plus the
                   CPU of children it reaped (cutime + cstime of /proc/PID/stat), over the cycles
                   in the window: the readings seen on the bus for bus contenders, the scrapes
                   for node_exporter, the window / 2 s otherwise (psutil, collectd, the paused
                   agent, the wake-up alone: per 2-second period)
  bus daemon       the same for the contender's own dbus-daemon, per cycle of that contender: the
                   routing of its messages to the one reader subscribed (this script's listener)
  VmRSS, PSS, Private_Dirty   /proc/PID/status and /proc/PID/smaps_rollup at the end of the window
  vol/invol cs     voluntary and involuntary context switches per minute, all threads
                   (/proc/PID/task/*/status). Wake-ups are counted as the voluntary switches:
                   each is the process going to sleep, which ends in a wake-up; a switch
                   forced on a running thread (involuntary) needs no wake-up
  start-up         from just before the spawn to the first reading: the first Notification seen on
                   the contender's bus; psutil: its "ready" line after the first gathering;
                   collectd: the first value its unixsock plugin lists; node_exporter: the first
                   answered scrape (polled every 2 ms). Beside it the CPU time the process
                   (and its descendants) had used when the first reading was seen
The scraping's and the listener's own CPU (in this script) is charged to nobody and not shown.
The operator new count per steady-state cycle comes from bench/cycle_bench (BM_AgentCycleOnBus).

Run through bench/measure, which installs and builds what is needed."""

import argparse
import http.client
import importlib.util
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
PATH = "/org/trellis/DistributedCenter"
INTERFACE = "org.trellis.DistributedCenter1"
FANS = "NSNotificationNameFansSpeed"
TICK = os.sysconf("SC_CLK_TCK")
INTERVAL = 2.0
WARM_UP = 5.0
START_LIMIT = 30.0


# -- /proc ------------------------------------------------------------------------------------

def parents():
    """pid -> parent pid of every process."""
    table = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                table[int(entry)] = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            pass
    return table


def tree(pid, table):
    """`pid` and its living descendants."""
    found = [pid]
    for candidate in found:
        found.extend(child for child, parent in table.items() if parent == candidate)
    return found


def process_figures(pid, table):
    """CPU ns, voluntary and involuntary switches of `pid` and its descendants, all threads, with
    the CPU of the children they reaped."""
    cpu = vol = invol = 0
    for member in tree(pid, table):
        base = "/proc/%d/" % member
        try:
            with open(base + "stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            cpu += (int(fields[13]) + int(fields[14])) * 1_000_000_000 // TICK
            for task in os.listdir(base + "task"):
                with open(base + "task/%s/schedstat" % task) as f:
                    cpu += int(f.read().split()[0])
                with open(base + "task/%s/status" % task) as f:
                    for line in f:
                        if line.startswith("voluntary_ctxt_switches:"):
                            vol += int(line.split()[1])
                        elif line.startswith("nonvoluntary_ctxt_switches:"):
                            invol += int(line.split()[1])
        except (OSError, IndexError, ValueError):
            if member == pid:
                raise
    return {"cpu_ns": cpu, "vol": vol, "invol": invol}


def memory_figures(pid):
    """VmRSS, Pss and Private_Dirty in KiB."""
    figures = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                figures["rss"] = int(line.split()[1])
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            key = line.split(":")[0]
            if key in ("Pss", "Private_Dirty"):
                figures[key.lower()] = int(line.split()[1])
    return figures


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# -- the bus side -----------------------------------------------------------------------------

def start_bus():
    daemon = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    address = daemon.stdout.readline().strip()
    if not address:
        raise RuntimeError("dbus-daemon gave no address")
    return daemon, address


class Listener:
    """One reader on every private bus, subscribed to the Notification signal (as a companion
    would be): it times each bus's first reading and counts the readings. Its GLib loop runs on a
    thread of its own."""

    def __init__(self, addresses):
        from gi.repository import GLib
        self.addresses = addresses
        self.lock = threading.Lock()
        self.counts = {label: 0 for label in addresses}
        self.first = {label: threading.Event() for label in addresses}
        self.first_time = {}
        self.connections = {}
        self.context = GLib.MainContext()
        self.loop = GLib.MainLoop(self.context)
        self.ready = threading.Event()
        self.error = None
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()
        self.ready.wait(30)
        if self.error or not self.ready.is_set():
            raise RuntimeError("the bus listener did not start: %s" % self.error)

    def run(self):
        from gi.repository import Gio
        self.context.push_thread_default()
        try:
            flags = Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION
            for label, address in self.addresses.items():
                connection = Gio.DBusConnection.new_for_address_sync(address, flags, None, None)
                connection.signal_subscribe(None, INTERFACE, "Notification", PATH, None, Gio.DBusSignalFlags.NONE,
                                            self.on_signal, label)
                self.connections[label] = connection
        except Exception as error:  # reported to the main thread
            self.error = error
            self.ready.set()
            return
        self.ready.set()
        self.loop.run()

    def on_signal(self, connection, sender, path, interface, member, parameters, label):
        now = time.monotonic()
        with self.lock:
            if label not in self.first_time:
                self.first_time[label] = now
                self.first[label].set()
            if parameters.get_child_value(0).get_string() == FANS:  # the last of a cycle's three
                self.counts[label] += 1

    def readings(self):
        with self.lock:
            return dict(self.counts)

    def pause_agent(self, label):
        from gi.repository import Gio
        self.connections[label].call_sync("org.trellis.Agent", "/org/trellis/Agent", "org.trellis.Agent1", "Pause",
                                          None, None, Gio.DBusCallFlags.NONE, 5000, None)

    def stop(self):
        self.loop.quit()
        self.thread.join(5)
        for connection in self.connections.values():
            connection.close_sync(None)


class Scraper:
    """GET /metrics every 2 s from each endpoint over one kept-alive connection, counting answers."""

    def __init__(self, ports):
        self.ports = ports
        self.counts = {label: 0 for label in ports}
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        connections = {}
        next_time = time.monotonic()
        while not self.stopping.is_set():
            for label, port in self.ports.items():
                try:
                    connection = connections.get(label) or http.client.HTTPConnection("127.0.0.1", port, timeout=5)
                    connections[label] = connection
                    connection.request("GET", "/metrics")
                    response = connection.getresponse()
                    response.read()
                    if response.status == 200:
                        with self.lock:
                            self.counts[label] += 1
                except (OSError, http.client.HTTPException):
                    connections.pop(label, None)
            next_time += INTERVAL
            self.stopping.wait(max(0.0, next_time - time.monotonic()))
        for connection in connections.values():
            connection.close()

    def scrapes(self):
        with self.lock:
            return dict(self.counts)

    def stop(self):
        self.stopping.set()
        self.thread.join(10)


def scrape_once(port):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=2)
    try:
        connection.request("GET", "/metrics")
        response = connection.getresponse()
        response.read()
        return response.status == 200
    finally:
        connection.close()


def collectd_has_values(path):
    with socket.socket(socket.AF_UNIX) as s:
        s.settimeout(2)
        s.connect(path)
        s.sendall(b"LISTVAL\n")
        line = s.makefile().readline()
    return int(line.split()[0]) > 0


def wait_for(check, limit=START_LIMIT, period=0.002):
    """Polls `check` until it holds; the time it first held, or an error after `limit` s."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            if check():
                return time.monotonic()
        except (OSError, ValueError, IndexError, http.client.HTTPException):
            pass
        time.sleep(period)
    raise RuntimeError("no first reading within %.0f s" % limit)


# -- the contenders ---------------------------------------------------------------------------

class Contender:
    def __init__(self, key, label, argv, bus=None):
        self.key = key
        self.label = label
        self.argv = argv
        self.bus = bus  # the label of its private bus, if it posts on one
        self.process = None
        self.startup = None
        self.startup_cpu = None
        self.log = None


COLLECTD_CONF = """Hostname "bench"
FQDNLookup false
BaseDir "{dir}"
PIDFile "{dir}/collectd.pid"
TypesDB "/usr/share/collectd/types.db"
Interval 2
ReadThreads 1
WriteThreads 1
LoadPlugin logfile
<Plugin logfile>
  LogLevel "warning"
  File STDERR
</Plugin>
LoadPlugin cpu
LoadPlugin load
LoadPlugin df
LoadPlugin thermal
LoadPlugin network
LoadPlugin unixsock
<Plugin df>
  MountPoint "/"
</Plugin>
<Plugin network>
  Server "127.0.0.1" "{udp_port}"
</Plugin>
<Plugin unixsock>
  SocketFile "{dir}/collectd.sock"
  SocketGroup "root"
</Plugin>
"""

NODE_EXPORTER = shutil.which("prometheus-node-exporter") or shutil.which("node_exporter")
COLLECTD = shutil.which("collectd") or ("/usr/sbin/collectd" if os.access("/usr/sbin/collectd", os.X_OK) else None)


class Run:
    """One side-by-side run: every contender started, the window measured, everything stopped."""

    def __init__(self, args):
        self.args = args
        self.tmp = tempfile.mkdtemp(prefix="trellis-measure-")
        self.root = os.path.join(self.tmp, "root")
        os.mkdir(self.root)
        for name in ("proc", "sys"):
            os.symlink("/" + name, os.path.join(self.root, name))
        self.buses = {}
        self.contenders = []
        self.listener = None
        self.scraper = None
        self.udp = None
        self.skipped = []

    def env(self, bus=None):
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(self.tmp, "config"),
                   XDG_DATA_HOME=os.path.join(self.tmp, "data"), XDG_STATE_HOME=os.path.join(self.tmp, "state"))
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        if bus:
            env["DBUS_SESSION_BUS_ADDRESS"] = self.buses[bus][1]
        return env

    def plan(self):
        build = self.args.build
        agent = [os.path.join(build, "trellis-agent"), "--root", self.root, "--smc", "sim:" + self.args.table]
        python = "/usr/bin/python3"
        self.metrics_port = free_port()
        plan = [
            Contender("floor", "C floor (bench/floor)", [os.path.join(build, "bench", "floor"), "--root", self.root],
                      bus="floor"),
            Contender("wake", "wake-up alone (bench/floor --wake-only)",
                      [os.path.join(build, "bench", "floor"), "--wake-only"]),
            Contender("agent", "agent", agent, bus="agent"),
            Contender("metrics", "agent, --metrics-listen (scraped)", agent + ["--metrics-listen",
                                                                             str(self.metrics_port)], bus="metrics"),
            Contender("paused", "agent, paused", agent, bus="paused"),
            Contender("plain", "plain Python loop (Gio)", [python, os.path.join(HERE, "plain_loop.py"), "--root",
                                                           self.root, "--table", self.args.table], bus="plain"),
            Contender("psutil", "psutil loop (no bus)", [python, os.path.join(HERE, "psutil_loop.py"), "--announce"]),
        ]
        if COLLECTD:
            self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)  # collectd's output; never read
            self.udp.bind(("127.0.0.1", 0))
            folder = os.path.join(self.tmp, "collectd")
            os.mkdir(folder)
            with open(os.path.join(folder, "collectd.conf"), "w") as f:
                f.write(COLLECTD_CONF.format(dir=folder, udp_port=self.udp.getsockname()[1]))
            plan.append(Contender("collectd", "collectd", [COLLECTD, "-f", "-C", os.path.join(folder, "collectd.conf")]))
        else:
            self.skipped.append("collectd: not installed (Debian package collectd-core)")
        if NODE_EXPORTER:
            self.exporter_port = free_port()
            plan.append(Contender("node_exporter", "node_exporter (scraped)", [
                NODE_EXPORTER, "--web.listen-address=127.0.0.1:%d" % self.exporter_port,
                "--web.disable-exporter-metrics", "--collector.disable-defaults", "--collector.cpu",
                "--collector.loadavg", "--collector.filesystem", "--collector.hwmon", "--collector.thermal_zone"]))
        else:
            self.skipped.append("node_exporter: not installed (Debian package prometheus-node-exporter)")
        return plan

    def start(self):
        plan = self.plan()
        for contender in plan:
            if contender.bus:
                self.buses[contender.bus] = start_bus()
        self.listener = Listener({label: address for label, (_, address) in self.buses.items()})
        # One at a time, so that start-ups do not compete with each other.
        for contender in plan:
            contender.log = open(os.path.join(self.tmp, contender.key + ".log"), "w+")
            announce = contender.key == "psutil"
            started = time.monotonic()
            contender.process = subprocess.Popen(contender.argv, env=self.env(contender.bus), stdin=subprocess.DEVNULL,
                                                 stdout=subprocess.PIPE if announce else contender.log,
                                                 stderr=contender.log, text=True)
            self.contenders.append(contender)
            if contender.key == "wake":  # no reading to wait for
                continue
            try:
                if contender.bus:
                    if not self.listener.first[contender.bus].wait(START_LIMIT):
                        raise RuntimeError("no reading on the bus")
                    first = self.listener.first_time[contender.bus]
                elif announce:
                    if contender.process.stdout.readline().strip() != "ready":
                        raise RuntimeError("no ready line")
                    first = time.monotonic()
                elif contender.key == "collectd":
                    sock = os.path.join(self.tmp, "collectd", "collectd.sock")
                    first = wait_for(lambda: collectd_has_values(sock))
                else:
                    first = wait_for(lambda: scrape_once(self.exporter_port))
            except RuntimeError as error:
                raise RuntimeError("%s: %s; its output:\n%s" % (contender.label, error, self.output(contender)))
            contender.startup = first - started
            # The CPU it used to get there (it sleeps until its next cycle now): on a busy machine
            # the wall time above is mostly waiting for a processor.
            contender.startup_cpu = process_figures(contender.process.pid, parents())["cpu_ns"] / 1e9
        self.listener.pause_agent("paused")
        ports = {"metrics": self.metrics_port}
        if NODE_EXPORTER:
            ports["node_exporter"] = self.exporter_port
        self.scraper = Scraper(ports)

    def output(self, contender):
        contender.log.flush()
        contender.log.seek(0)
        return contender.log.read()[-2000:]

    def check_alive(self):
        for contender in self.contenders:
            if contender.process.poll() is not None:
                raise RuntimeError("%s ended early (status %s); its output:\n%s" % (
                    contender.label, contender.process.returncode, self.output(contender)))

    def snapshot(self):
        table = parents()
        figures = {c.key: process_figures(c.process.pid, table) for c in self.contenders}
        for label, (daemon, _) in self.buses.items():
            figures["bus:" + label] = process_figures(daemon.pid, table)
        return figures, self.listener.readings(), self.scraper.scrapes(), time.monotonic()

    def measure(self, duration):
        time.sleep(WARM_UP)
        self.check_alive()
        before, readings0, scrapes0, t0 = self.snapshot()
        while time.monotonic() - t0 < duration:
            time.sleep(min(5.0, duration - (time.monotonic() - t0)))
            self.check_alive()
        after, readings1, scrapes1, t1 = self.snapshot()
        memory = {c.key: memory_figures(c.process.pid) for c in self.contenders}
        for label, (daemon, _) in self.buses.items():
            memory["bus:" + label] = memory_figures(daemon.pid)
        elapsed = t1 - t0

        def cycles(key):
            if key in ("paused", "psutil", "collectd", "wake"):
                return elapsed / INTERVAL
            if key == "node_exporter":
                return scrapes1[key] - scrapes0[key]
            return readings1[key] - readings0[key]

        rows = {}
        for key in after:
            owner = key.split(":", 1)[1] if key.startswith("bus:") else key
            n = cycles(owner)
            rows[key] = {
                "cpu_us": (after[key]["cpu_ns"] - before[key]["cpu_ns"]) / 1e3 / n if n else float("nan"),
                "vol_min": (after[key]["vol"] - before[key]["vol"]) * 60.0 / elapsed,
                "invol_min": (after[key]["invol"] - before[key]["invol"]) * 60.0 / elapsed,
                "rss_mib": memory[key]["rss"] / 1024.0,
                "pss_mib": memory[key]["pss"] / 1024.0,
                "dirty_mib": memory[key]["private_dirty"] / 1024.0,
                "cycles": n,
            }
        for contender in self.contenders:
            if contender.startup is not None:
                rows[contender.key]["startup_ms"] = contender.startup * 1e3
                rows[contender.key]["startup_cpu_ms"] = contender.startup_cpu * 1e3
        return rows, elapsed

    def close(self):
        if self.scraper:
            self.scraper.stop()
        for contender in self.contenders:
            contender.process.terminate()
        for contender in self.contenders:
            try:
                contender.process.wait(10)
            except subprocess.TimeoutExpired:
                contender.process.kill()
                contender.process.wait()
            if contender.log:
                contender.log.close()
        if self.listener:
            self.listener.stop()
        for daemon, _ in self.buses.values():
            daemon.terminate()
            daemon.wait()
        if self.udp:
            self.udp.close()
        shutil.rmtree(self.tmp, ignore_errors=True)


# -- report -----------------------------------------------------------------------------------

ROWS = [
    ("agent", "agent"),
    ("paused", "agent, paused"),
    ("metrics", "agent, --metrics-listen, scraped"),
    ("floor", "C floor (bench/floor)"),
    ("wake", "wake-up alone (floor --wake-only)"),
    ("plain", "plain Python loop (Gio)"),
    ("psutil", "psutil loop (no bus)"),
    ("collectd", "collectd"),
    ("node_exporter", "node_exporter, scraped"),
    ("bus:agent", "bus daemon of the agent"),
    ("bus:floor", "bus daemon of the C floor"),
    ("bus:plain", "bus daemon of the plain loop"),
]


def aggregate(runs, key, figure):
    values = [run[key][figure] for run in runs if key in run and run[key].get(figure) is not None]
    if not values:
        return None
    return min(values), statistics.median(values)


def cell(pair, digits=1):
    if pair is None:
        return "-"
    low, middle = pair
    return "%.*f (%.*f)" % (digits, middle, digits, low)


def ratio(pair, agent):
    if pair is None or agent is None or not agent[1]:
        return "-"
    return "%.2fx" % (pair[1] / agent[1])


def table(runs):
    header = ["", "CPU us/cycle", "x agent", "VmRSS MiB", "PSS MiB", "x agent", "Private_Dirty MiB",
              "vol cs/min", "invol cs/min", "start-up ms", "x agent", "start-up CPU ms"]
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    agent = {figure: aggregate(runs, "agent", figure) for figure in ("cpu_us", "pss_mib", "startup_ms")}
    for key, label in ROWS:
        if not any(key in run for run in runs):
            continue
        figures = {f: aggregate(runs, key, f) for f in ("cpu_us", "rss_mib", "pss_mib", "dirty_mib", "vol_min",
                                                          "invol_min", "startup_ms", "startup_cpu_ms")}
        lines.append("| " + " | ".join([
            label, cell(figures["cpu_us"]), ratio(figures["cpu_us"], agent["cpu_us"]),
            cell(figures["rss_mib"], 2), cell(figures["pss_mib"], 2), ratio(figures["pss_mib"], agent["pss_mib"]),
            cell(figures["dirty_mib"], 2), cell(figures["vol_min"]), cell(figures["invol_min"]),
            cell(figures["startup_ms"]), ratio(figures["startup_ms"], agent["startup_ms"]),
            cell(figures["startup_cpu_ms"])]) + " |")
    return "\n".join(lines)


def per_run_ratio(runs, key, other):
    values = [run[key]["cpu_us"] / run[other]["cpu_us"] for run in runs if other in run and run[other]["cpu_us"]]
    return (min(values), statistics.median(values), max(values)) if values else None


def acceptance(runs, allocations, elapsed):
    def verdict(ok):
        return "yes" if ok else "NO"

    lines = []
    for other, limit in (("floor", 1.5), ("collectd", 0.5)):
        r = per_run_ratio(runs, "agent", other)
        if r is None:
            lines.append("- agent CPU per cycle / %s: not measured (%s missing)" % (other, other))
        else:
            lines.append("- agent CPU per cycle / %s, same run: median %.2f (%.2f..%.2f); at most %.1f: %s" % (
                other, r[1], r[0], r[2], limit, verdict(r[1] <= limit)))
    rss, dirty, start = (aggregate(runs, "agent", f) for f in ("rss_mib", "dirty_mib", "startup_ms"))
    lines.append("- agent VmRSS after %.0f s: median %.2f MiB; at most 6: %s" % (elapsed, rss[1], verdict(rss[1] <= 6)))
    lines.append("- agent Private_Dirty after %.0f s: median %.2f MiB; at most 1: %s%s" % (
        elapsed, dirty[1], verdict(dirty[1] <= 1), "" if elapsed >= 600 else " (the figure is for 10 minutes: --duration 600)"))
    start_cpu = aggregate(runs, "agent", "startup_cpu_ms")
    floor_start = aggregate(runs, "floor", "startup_ms")
    lines.append("- agent start-up to first reading: median %.1f ms (%.1f ms of CPU; the C floor's: %s ms); at most 5: %s" % (
        start[1], start_cpu[1], "%.1f" % floor_start[1] if floor_start else "-", verdict(start[1] <= 5)))
    sampling, paused = aggregate(runs, "agent", "vol_min"), aggregate(runs, "paused", "vol_min")
    lines.append("- agent wake-ups per minute while sampling: median %.1f; 30: %s" % (
        sampling[1], verdict(abs(sampling[1] - 30) < 1)))
    lines.append("- agent wake-ups per minute while paused: median %.1f; none: %s" % (paused[1], verdict(paused[1] < 0.5)))
    if allocations is None:
        lines.append("- operator new calls per steady-state cycle: not measured (bench/cycle_bench missing)")
    else:
        lines.append("- operator new calls per steady-state cycle (cycle_bench BM_AgentCycleOnBus): %.0f; zero: %s" % (
            allocations, verdict(allocations == 0)))
    return "\n".join(lines)


def cycle_bench(build):
    """In-process figures of bench/cycle_bench: {name: (cpu us, allocations per cycle)}."""
    program = os.path.join(build, "bench", "cycle_bench")
    if not os.access(program, os.X_OK):
        return {}
    out = subprocess.run([program, "--benchmark_format=json", "--benchmark_repetitions=3",
                          "--benchmark_report_aggregates_only=true"],
                         check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
    figures = {}
    for bench in json.loads(out)["benchmarks"]:
        if bench.get("aggregate_name") == "median":
            figures[bench["run_name"]] = (bench["cpu_time"], bench.get("allocs_per_cycle"))
    return figures


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(TOP, "build-rel"))
    parser.add_argument("--duration", type=float, default=float(os.environ.get("DURATION", 120)),
                        help="seconds of each measured window (default: $DURATION or 120)")
    parser.add_argument("--repeats", type=int, default=int(os.environ.get("REPEATS", 3)),
                        help="side-by-side runs (default: $REPEATS or 3)")
    parser.add_argument("--table", default=os.path.join(TOP, "share", "demo-smc.json"),
                        help="the SMC table the agent, the floor and the plain loop read")
    args = parser.parse_args()
    args.table = os.path.abspath(args.table)
    if importlib.util.find_spec("gi") is None:  # the listener and the plain loop need it
        sys.exit("bench/measure needs python3-gi")

    print("machine: %s, %d CPUs, %s; load average %s at the start" % (
        os.uname().release, os.cpu_count(), time.strftime("%Y-%m-%d %H:%M"), loadavg()), flush=True)
    print("cycle_bench (in-process) ...", flush=True)
    inprocess = cycle_bench(args.build)
    runs = []
    skipped = []
    elapsed = 0.0
    for index in range(args.repeats):
        print("run %d of %d: start-ups, %.0f s warm-up, %.0f s window ..." % (index + 1, args.repeats, WARM_UP,
                                                                              args.duration), flush=True)
        run = Run(args)
        try:
            run.start()
            rows, elapsed = run.measure(args.duration)
        finally:
            run.close()
        skipped = run.skipped
        runs.append(rows)

    print()
    print("%d side-by-side runs of %.0f s each; load average %s at the end. Cells: median (minimum) over the runs;"
          " ratios: medians over the agent's." % (args.repeats, elapsed, loadavg()))
    print()
    print(table(runs))
    print()
    for note in skipped:
        print("skipped: " + note)
    print("CPU per cycle of the paused agent, the wake-up alone, psutil and collectd: per 2-second period. Wake-ups: the voluntary"
          " context switches. The scraper's and the listener's CPU is not charged.")
    for name, (cpu, allocations) in sorted(inprocess.items()):
        print("%s: %.1f us CPU per cycle in-process, %s operator new calls per steady-state cycle" % (
            name, cpu, "%.0f" % allocations if allocations is not None else "?"))
    print()
    print("Acceptance:")
    on_bus = inprocess.get("BM_AgentCycleOnBus")
    print(acceptance(runs, on_bus[1] if on_bus else None, elapsed))


if __name__ == "__main__":
    main()
