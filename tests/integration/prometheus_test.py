"""The agents' readings in the real Prometheus: two agents on two buses, each serving /metrics, scraped
every second by a Prometheus server started here; one also writes the textfile that Debian's
node_exporter serves; the companion exports one cycle. promtool checks every exposition. Skipped
without the Debian packages prometheus and prometheus-node-exporter."""

import json
import os
import re
import shutil
import socket
import threading
import time
import urllib.parse
import urllib.request

from harness import (_at_least, CLI, CPU, DEMO, FANS, SANITIZED, SOON, check, grid_problem, require, run_cases, skip_script, wait_until)

# A machine with one fan and steady readings: CPU 58.0, disk 41.5, fan 2000 rpm (1000 to 4000).
STEADY_TABLE = {"keys": [
    {"key": "TC0P", "type": "sp78", "bytes": "3a00"},
    {"key": "TH0x", "type": "sp78", "bytes": "2980"},
    {"key": "FNum", "type": "ui8 ", "bytes": "01"},
    {"key": "F0ID", "type": "{fds", "bytes": "00000000436173652066616e00000000"},
    {"key": "F0Ac", "type": "fpe2", "bytes": "1f40"},
    {"key": "F0Mn", "type": "fpe2", "bytes": "0fa0"},
    {"key": "F0Mx", "type": "fpe2", "bytes": "3e80"}]}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def fetch(url, accept=None):
    request = urllib.request.Request(url, headers={"Accept": accept} if accept else {})
    with urllib.request.urlopen(request, timeout=SOON) as reply:
        return reply.status, reply.headers.get("Content-Type", ""), reply.read().decode()


def promtool_accepts(ctx, text, what):
    path = ctx.path("exposition-%d.txt" % len(ctx.processes))
    with open(path, "w") as f:
        f.write(text)
    status, out, err = ctx.run(["sh", "-c", 'promtool check metrics < "%s"' % path], label="promtool")
    return check(status == 0 and not out.strip() and not err.strip(),
                 "promtool should accept the %s: %s %s" % (what, out, err))


def scraped_by_prometheus_and_node_exporter(ctx):
    table = ctx.path("steady.json")
    with open(table, "w") as f:
        json.dump(STEADY_TABLE, f)
    textfiles = ctx.path("textfiles")
    os.mkdir(textfiles)
    agents = []
    for smc in (DEMO, table):
        port = free_port()
        address = ctx.start_bus()
        monitor = ctx.monitor(address)
        extra = ["--metrics-textfile", textfiles] if smc == table else []
        agent = ctx.agent("--smc", "sim:" + smc, "--metrics-listen", "127.0.0.1:%d" % port, *extra, address=address)
        agents.append((agent, monitor, port))
    for agent, monitor, port in agents:
        require(monitor.wait_cycle(SOON), "no readings: %s" % agent.stderr_tail())

    # The endpoint: the text format, OpenMetrics on request, 404 elsewhere; promtool takes both.
    agent, monitor, port = agents[1]
    status, kind, text = fetch("http://127.0.0.1:%d/metrics" % port)
    check(status == 200 and kind.startswith("text/plain; version=0.0.4"), "GET /metrics: %s %s" % (status, kind))
    check("trellis_cpu_temperature_celsius 58\n" in text and
          'trellis_fan_speed_rpm{fan="0",id="Case fan"} 2000\n' in text, "the steady machine's readings: %s" % text)
    promtool_accepts(ctx, text, "text format")
    status, kind, open_metrics = fetch("http://127.0.0.1:%d/metrics" % port, "application/openmetrics-text; version=1.0.0")
    check(kind.startswith("application/openmetrics-text") and open_metrics.endswith("# EOF\n"),
          "OpenMetrics when asked for: %s" % kind)
    try:
        fetch("http://127.0.0.1:%d/other" % port)
        check(False, "another path should give 404")
    except urllib.error.HTTPError as error:
        check(error.code == 404, "another path should give 404, not %d" % error.code)
    require(wait_until(lambda: os.path.exists(os.path.join(textfiles, "trellis.prom")), SOON), "no textfile")
    with open(os.path.join(textfiles, "trellis.prom")) as f:
        promtool_accepts(ctx, f.read(), "textfile")

    # node_exporter serves the textfile.
    exporter_port = free_port()
    ctx.start(["prometheus-node-exporter", "--collector.disable-defaults", "--collector.textfile",
               "--collector.textfile.directory=" + textfiles, "--web.listen-address=127.0.0.1:%d" % exporter_port],
              label="node_exporter")
    served = wait_until(lambda: _try_fetch("http://127.0.0.1:%d/metrics" % exporter_port), SOON)
    check(served and "trellis_cpu_temperature_celsius 58" in served,
          "node_exporter should serve the agent's textfile: %s" % (served or "")[:500])

    # Prometheus scrapes both agents every second; its answers are what the agents published.
    prometheus_port = free_port()
    config = ctx.path("prometheus.yml")
    with open(config, "w") as f:
        f.write("global: {scrape_interval: 1s, evaluation_interval: 1s}\nscrape_configs:\n"
                "  - job_name: trellis\n    static_configs:\n      - targets: [%s]\n" %
                ", ".join("'127.0.0.1:%d'" % port for _, _, port in agents))
    ctx.start(["prometheus", "--config.file=" + config, "--storage.tsdb.path=" + ctx.path("tsdb"),
               "--web.listen-address=127.0.0.1:%d" % prometheus_port], label="prometheus")

    def query(expression):
        url = "http://127.0.0.1:%d/api/v1/query?%s" % (prometheus_port, urllib.parse.urlencode({"query": expression}))
        text = _try_fetch(url)
        return json.loads(text)["data"]["result"] if text else []

    results = wait_until(lambda: _at_least(2, query("trellis_cpu_temperature_celsius")), 30)
    require(results, "Prometheus should have both agents' CPU temperatures: %s" % query("up"))
    fans = wait_until(lambda: _at_least(3, query("trellis_fan_speed_rpm")), SOON) or []
    for agent, monitor, port in agents:
        mine = lambda found: [float(r["value"][1]) for r in found if r["metric"]["instance"] == "127.0.0.1:%d" % port]
        cpus = {round(m.user_info["cpu"][1], 2) for m in monitor.notifications([CPU])}
        speeds = {f["speed"][1] for m in monitor.notifications([FANS]) for f in m.user_info["fan"]["fans"]}
        check(mine(results) and round(mine(results)[0], 2) in cpus and mine(fans) and set(mine(fans)) <= speeds,
              "port %d: Prometheus has %s and %s, the agent published %s and %s" %
              (port, mine(results), mine(fans), cpus, speeds))

    # A burst of 1,000 scrapes changes neither the rhythm nor the memory.
    agent, monitor, port = agents[0]
    rss = lambda: int(re.search(r"VmRSS:\s+(\d+) kB", open("/proc/%d/status" % agent.pid).read()).group(1))
    before, started = rss(), time.time()
    errors = []

    def scrape(count):
        for _ in range(count):
            errors.append(None if _try_fetch("http://127.0.0.1:%d/metrics" % port) else "failed")
    threads = [threading.Thread(target=scrape, args=(250,)) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    check(not any(errors), "%d of the burst's scrapes failed" % errors.count("failed"))
    monitor.wait_cycle(SOON, after=time.time())
    problem, deviations = grid_problem([m.time for m in monitor.notifications([FANS], after=started - 2.5)], 0.5)
    check(problem is None, "the rhythm during 1,000 scrapes: %s (%s)" % (problem, deviations))
    check(SANITIZED or rss() - before < 1024, "the agent's memory grew by %d KiB over 1,000 scrapes" % (rss() - before))


def companion_exports_one_cycle(ctx):
    text = ctx.run_ok([CLI, "metrics", "export", "--smc", "sim:" + DEMO, "--root", ctx.path("")], "export")
    promtool_accepts(ctx, text, "companion's export")
    check(re.search(r"^trellis_fans 2$", text, re.M) and re.search(r'^trellis_build_info\{version="[^"]+"\} 1$', text, re.M)
          and re.search(r"^trellis_last_sample_timestamp_seconds \d", text, re.M), "the demo's export: %s" % text)


def _try_fetch(url):
    try:
        return fetch(url)[2]
    except OSError:
        return None


if __name__ == "__main__":
    if not (shutil.which("prometheus") and shutil.which("promtool") and shutil.which("prometheus-node-exporter")):
        skip_script("needs Debian's prometheus and prometheus-node-exporter")
    run_cases([scraped_by_prometheus_and_node_exporter, companion_exports_one_cycle])
