"""The companion's network commands as a user runs them: `trellis metrics network` on the fixture
trees under tests/fixtures/network/ with a system bus that has no NetworkManager on it, and
`trellis public-ip` against a local HTTPS server (tests/support/https_reply_server.py) whose
self-signed certificate is made here and trusted only through --cacert, with the host given by
--host or by TRELLIS_IP_HOST. Runs on one thread (see harness.py)."""

import json
import os
import re
import subprocess

from harness import CLI, Process, check, note, require, run_cases, wait_until, SOON

TESTS = os.environ["TRELLIS_TESTS_DIR"]
KEYS = ["ip", "userDefinedName", "deviceName", "ssid", "hardware", "up", "down", "upString", "downString"]


def fixture(name):
    return os.path.join(TESTS, "fixtures", "network", name)


def metrics_network_on_fixture_trees(ctx):
    ctx.start_bus("system")  # no NetworkManager there: names are the interfaces' own

    status, out, err = ctx.run([CLI, "metrics", "network", "--json", "--root", fixture("wired")], label="trellis")
    require(status == 0, "metrics network --json failed (%s): %s" % (status, err))
    record = json.loads(out)
    check(list(record) == KEYS, "the JSON keys, in order, should be %s: %s" % (KEYS, list(record)))
    # The address comes from this machine's own interfaces: eth0's, or none (which ends the walk
    # before the network name, which is empty on a wired service anyway).
    check(record["ip"] == "" or re.fullmatch(r"\d+\.\d+\.\d+\.\d+", record["ip"]), "ip: %r" % record["ip"])
    expected = {"userDefinedName": "eth0", "deviceName": "eth0", "hardware": "Ethernet", "ssid": "",
                # The fixture's counters do not move: the rates over the second are 0.
                "up": 0, "down": 0, "upString": "0 B/s", "downString": "0 B/s"}
    for key, value in expected.items():
        check(record[key] == value, "wired: %s should be %r: %r" % (key, value, record[key]))

    # The --root of the metrics command counts too; no default route gives five empty texts.
    status, out, err = ctx.run([CLI, "metrics", "--root", fixture("no-route"), "network", "--json"], label="trellis")
    require(status == 0, "metrics --root X network --json failed (%s): %s" % (status, err))
    record = json.loads(out)
    check(all(record[key] == "" for key in KEYS[:5]), "no route: five empty texts: %s" % out.strip())

    status, out, err = ctx.run([CLI, "metrics", "network", "--root", fixture("wired")], label="trellis")
    check(status == 0 and "service   eth0\n" in out and "device    eth0 (Ethernet)\n" in out and
          "up        0 B/s\n" in out, "metrics network as text (%s): %r %r" % (status, out, err))


def public_ip_from_a_local_service(ctx):
    cert, key = ctx.path("cert.pem"), ctx.path("key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                    "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                    "subjectAltName=IP:127.0.0.1"], check=True, capture_output=True)
    python = "/usr/bin/python3" if os.access("/usr/bin/python3", os.X_OK) else "python3"
    server = Process(ctx, "https-server", [python, os.path.join(TESTS, "support", "https_reply_server.py"), cert, key])
    line = wait_until(lambda: server.stdout().partition("\n")[0] if "\n" in server.stdout() else None, SOON)
    require(line, "the HTTPS server did not start: %s" % server.stderr())
    ports = json.loads(line)
    good = "127.0.0.1:%d" % ports["good"]

    status, out, err = ctx.run([CLI, "public-ip", "--host", good, "--cacert", cert], label="trellis")
    check((status, out) == (0, "203.0.113.7\n"), "public-ip --host: %s %r %r" % (status, out, err))

    status, out, err = ctx.run([CLI, "public-ip", "--cacert", cert], env=ctx.env(TRELLIS_IP_HOST=good),
                               label="trellis")
    check((status, out) == (0, "203.0.113.7\n"), "public-ip with TRELLIS_IP_HOST: %s %r %r" % (status, out, err))

    # The preference names the host for every run; the environment still wins over it.
    config = ctx.path("config")
    os.mkdir(config)
    ctx.run_ok([CLI, "defaults", "write", "PublicAddressHost", good], "storing the host",
               env=ctx.env(XDG_CONFIG_HOME=config))
    status, out, err = ctx.run([CLI, "public-ip", "--cacert", cert], env=ctx.env(XDG_CONFIG_HOME=config),
                               label="trellis")
    check((status, out) == (0, "203.0.113.7\n"), "public-ip with the preference: %s %r %r" % (status, out, err))
    status, out, err = ctx.run([CLI, "public-ip", "--cacert", cert],
                               env=ctx.env(XDG_CONFIG_HOME=config, TRELLIS_IP_HOST="127.0.0.1:1"), label="trellis")
    check(status == 1 and out == "0.0.0.0\n", "TRELLIS_IP_HOST should win over the preference: %s %r" % (status, out))

    # The system's certificates do not trust the test's server.
    status, out, err = ctx.run([CLI, "public-ip", "--host", good], label="trellis")
    check(status == 1 and out == "0.0.0.0\n" and "failed" in err, "untrusted: %s %r %r" % (status, out, err))

    status, out, err = ctx.run([CLI, "public-ip", "--host", "127.0.0.1:%d" % ports["server-error"], "--cacert", cert],
                               label="trellis")
    check(status == 1 and out == "0.0.0.0\n", "a 503 reply: %s %r %r" % (status, out, err))

    status, out, err = ctx.run([CLI, "public-ip", "--host", "example.net/steal?"], label="trellis")
    check(status == 2 and out == "" and "host" in err, "a host with a path: %s %r %r" % (status, out, err))
    note("lookups against 127.0.0.1 answered as expected")


if __name__ == "__main__":
    run_cases([metrics_network_on_fixture_trees, public_ip_from_a_local_service])
