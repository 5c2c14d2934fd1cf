"""What one sampling cycle of the agent costs, side by side with the same readings gathered by a
Python loop over psutil (bench/psutil_loop.py), in one run on this machine. Prints a table:

  instructions per cycle   callgrind: two runs of each with different cycle counts; the
                           difference divided by the extra cycles (start-up cancels out)
  CPU / wall per cycle     in-process: bench/cycle_bench for the agent, psutil_loop.py --bench
  CPU per cycle, process   the whole process over the run (utime + stime) / cycles, which adds
                           the timer, the bus traffic and the interpreter's own work
  resident memory          VmRSS at the end of the run (default 10 minutes)
  wake-ups per minute      voluntary context switches of all the process's threads per minute
                           (each is a sleep that ends in a wake-up); a cycle every 2 s accounts
                           for 30 of them

The agent publishes its readings on a private bus; the Python loop only gathers them, which
favours it. Both read this machine's /proc and /sys (the agent through a root folder that holds
links to them and no login records, so its own user counts as the console user). Without
sensors the agent reads the demo SMC table. Run through bench/measure, which builds and installs
what is needed."""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)


def read_status(pid):
    """(CPU seconds, voluntary context switches, VmRSS in KiB), summed over the process's threads.
    CPU time comes from schedstat (nanoseconds) where the kernel has it, else from the 10 ms
    ticks of stat; a voluntary switch is the thread going to sleep, so each is one wake-up."""
    cpu_ns = 0
    switches = 0
    have_schedstat = True
    for task in os.listdir("/proc/%d/task" % pid):
        base = "/proc/%d/task/%s/" % (pid, task)
        try:
            with open(base + "schedstat") as f:
                cpu_ns += int(f.read().split()[0])
        except OSError:
            have_schedstat = False
        try:
            with open(base + "status") as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches"):
                        switches += int(line.split()[1])
        except OSError:
            pass
    if have_schedstat:
        cpu = cpu_ns / 1e9
    else:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    rss = 0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    return cpu, switches, rss


class Bench:
    def __init__(self, build, smc):
        self.build = build
        self.smc = smc
        self.tmp = tempfile.mkdtemp(prefix="trellis-measure-")
        self.root = os.path.join(self.tmp, "root")
        os.mkdir(self.root)
        for name in ("proc", "sys"):
            os.symlink("/" + name, os.path.join(self.root, name))
        self.bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                    stdout=subprocess.PIPE, text=True)
        self.address = self.bus.stdout.readline().strip()
        self.env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=self.address)

    def close(self):
        self.bus.terminate()
        self.bus.wait()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def agent_argv(self):
        return [os.path.join(self.build, "trellis-agent"), "--root", self.root, "--smc", self.smc]

    def companion(self, *args, timeout=None):
        return subprocess.run([os.path.join(self.build, "trellis")] + list(args), env=self.env, timeout=timeout,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def python_argv(self, *args):
        return [sys.executable, os.path.join(HERE, "psutil_loop.py")] + list(args)

    # -- in-process figures --------------------------------------------------------------------

    def in_process(self):
        out = subprocess.run([os.path.join(self.build, "bench", "cycle_bench"), "--benchmark_format=json",
                              "--benchmark_filter=BM_SamplingCycle", "--benchmark_repetitions=5",
                              "--benchmark_report_aggregates_only=true"],
                             check=True, stdout=subprocess.PIPE, text=True).stdout
        rows = {b["aggregate_name"]: b for b in json.loads(out)["benchmarks"] if b.get("aggregate_name")}
        agent = {"wall_us": rows["median"]["real_time"], "cpu_us": rows["median"]["cpu_time"]}
        python = json.loads(subprocess.run(self.python_argv("--bench", "200"), check=True, stdout=subprocess.PIPE,
                                           text=True).stdout)
        return agent, python

    # -- callgrind -----------------------------------------------------------------------------

    def callgrind_agent(self, cycles, out):
        agent = subprocess.Popen(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out] + self.agent_argv(),
                                 env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            self.companion("watch", "--json", "--count", str(3 * cycles), timeout=60 + 3 * cycles)
        finally:
            self.companion("quit", timeout=30)
            agent.wait(timeout=60)
        return out

    def callgrind_python(self, cycles, out):
        return subprocess.Popen(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out] +
                                self.python_argv("--cycles", str(cycles)),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def instructions_per_cycle(self, few, many):
        totals = {}
        for cycles in (few, many):
            agent_out = os.path.join(self.tmp, "agent.%d.out" % cycles)
            python_out = os.path.join(self.tmp, "python.%d.out" % cycles)
            python = self.callgrind_python(cycles, python_out)  # side by side with the agent
            self.callgrind_agent(cycles, agent_out)
            python.wait(timeout=120 + 4 * cycles)
            totals[cycles] = (callgrind_total(agent_out), callgrind_total(python_out))
        extra = many - few
        return ((totals[many][0] - totals[few][0]) / extra, (totals[many][1] - totals[few][1]) / extra)

    # -- whole process over the run ------------------------------------------------------------

    def whole_process(self, duration):
        agent = subprocess.Popen(self.agent_argv(), env=self.env, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        python = subprocess.Popen(self.python_argv(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            time.sleep(3.0)  # past start-up and the first cycle
            before = {p.pid: read_status(p.pid) for p in (agent, python)}
            started = time.monotonic()
            while time.monotonic() - started < duration:
                time.sleep(min(10.0, duration - (time.monotonic() - started)))
                if agent.poll() is not None or python.poll() is not None:
                    raise RuntimeError("a measured process ended early")
            elapsed = time.monotonic() - started
            after = {p.pid: read_status(p.pid) for p in (agent, python)}
        finally:
            for p in (agent, python):
                p.terminate()
                p.wait()
        cycles = elapsed / 2.0
        figures = []
        for p in (agent, python):
            cpu0, switches0, _ = before[p.pid]
            cpu1, switches1, rss = after[p.pid]
            figures.append({"cpu_us": (cpu1 - cpu0) * 1e6 / cycles, "wakeups": (switches1 - switches0) * 60.0 / elapsed,
                            "rss_kib": rss})
        return figures[0], figures[1], elapsed


def callgrind_total(path):
    with open(path) as f:
        for line in f:
            match = re.match(r"^(?:summary|totals):\s+(\d+)", line)
            if match:
                return int(match.group(1))
    raise RuntimeError("no instruction total in " + path)


def row(label, agent, python, unit, digits=1):
    ratio = python / agent if agent else float("inf")
    return "| %-34s | %14s | %14s | %8s |" % (label, "%.*f %s" % (digits, agent, unit), "%.*f %s" % (digits, python, unit),
                                             "%.1fx" % ratio)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(TOP, "build-rel"))
    parser.add_argument("--duration", type=float, default=600.0, help="seconds of the side-by-side run")
    parser.add_argument("--callgrind-cycles", default="3,13", help="the two cycle counts of the callgrind runs")
    args = parser.parse_args()
    few, many = (int(n) for n in args.callgrind_cycles.split(","))

    info = subprocess.run([os.path.join(args.build, "trellis"), "smc", "info"], stdout=subprocess.PIPE, text=True)
    smc = "auto"
    if info.stdout.startswith("none:"):
        smc = "sim:" + os.path.join(TOP, "share", "demo-smc.json")
    bench = Bench(args.build, smc)
    try:
        print("SMC: %s" % (info.stdout.strip() if smc == "auto" else "the demo table (no sensors here)"), flush=True)
        print("in-process figures ...", flush=True)
        agent_inproc, python_inproc = bench.in_process()
        print("callgrind runs (%d and %d cycles) ..." % (few, many), flush=True)
        agent_ir, python_ir = bench.instructions_per_cycle(few, many)
        print("side-by-side run of %.0f s ..." % args.duration, flush=True)
        agent_run, python_run, elapsed = bench.whole_process(args.duration)
    finally:
        bench.close()

    print()
    print("| %-34s | %14s | %14s | %8s |" % ("per sampling cycle", "agent", "psutil loop", "ratio"))
    print("|%s|%s|%s|%s|" % ("-" * 36, "-" * 16, "-" * 16, "-" * 10))
    print(row("instructions (callgrind)", agent_ir / 1e3, python_ir / 1e3, "k", 0))
    print(row("CPU time, in-process", agent_inproc["cpu_us"], python_inproc["cpu_us"], "us"))
    print(row("wall time, in-process", agent_inproc["wall_us"], python_inproc["wall_us"], "us"))
    print(row("CPU time, whole process", agent_run["cpu_us"], python_run["cpu_us"], "us"))
    print(row("resident memory after %.0f s" % elapsed, agent_run["rss_kib"] / 1024, python_run["rss_kib"] / 1024,
              "MiB"))
    print(row("wake-ups per minute", agent_run["wakeups"], python_run["wakeups"], "", 0))


if __name__ == "__main__":
    main()
