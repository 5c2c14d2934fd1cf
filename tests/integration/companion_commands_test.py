"""The companion's commands that need no agent, as a person runs them: `trellis defaults` across
processes, `purge`, `permissions`, `run-script` from a resources folder or, in a sandbox, the
user's scripts folder, `doctor` on fixture machines, `metrics` on fixture trees and against this
machine's df and /sys/block, `public-ip` against tests/support/https_reply_server.py with a
certificate made here, and both programs' version and help."""

import json
import os
import re
import subprocess

from harness import AGENT, CLI, FIXTURES, TESTS, Process, check, first_line, note, require, run_cases, sections


def expect(ctx, args, status=0, out=None, err=(), env=None):
    """Runs `trellis ARGS`; checks its exit status, its stdout (the exact text, a pattern to match whole
    or None: anything) and that its stderr holds each text of `err`. Returns stdout."""
    actual, stdout, stderr = ctx.companion(*args, env=env, timeout=30)
    good = (actual == status and (out is None or (out.fullmatch(stdout) if isinstance(out, re.Pattern) else
                                                   stdout == out)) and all(e in stderr for e in err))
    check(good, "trellis %s: expected status %d, stdout %r, stderr with %r; got %s, %r, %r" %
          (" ".join(args)[:200], status, out, err, actual, stdout[:400], stderr[-400:]))
    return stdout


def preferences_outlive_the_process_that_wrote_them(ctx):
    config = ctx.path("config")
    env = ctx.env(XDG_CONFIG_HOME=config)
    writes = (("int", "-42", "-42"), ("float", "0.1", "0.1"), ("double", "2.5e-300", "2.5e-300"),
              ("bool", "YES", "true"), ("string", "héllo wörld", "héllo wörld"),
              ("url", "https://example.org/a?b=c", "https://example.org/a?b=c"), ("data", "00FFa0", "00ffa0"))
    rows = [(("write", "key-" + kind, given, "--type", kind), 0, "", ()) for kind, given, _ in writes]
    rows += [(("read", "key-" + kind, "--type", kind), 0, shown + "\n", ()) for kind, _, shown in writes]
    # Reading as another kind, missing values, refusals (nothing written), a deleted key.
    rows += [(("read", key, "--type", kind), status, out, ()) for key, kind, out, status in (
        ("key-int", "string", "-42\n", 0), ("key-string", "int", "0\n", 0), ("key-bool", "double", "1\n", 0),
        ("key-float", "double", "0.10000000149011612\n", 0), ("key-data", "string", "", 1),
        ("nothing", "int", "0\n", 0), ("nothing", "float", "0\n", 0), ("nothing", "bool", "false\n", 0),
        ("nothing", "string", "", 1), ("nothing", "url", "", 1))]
    rows += [
        (("write", "k", "abc", "--type", "int"), 2, "", ("trellis: not a 64-bit integer: abc",)),
        (("write", "k", "abc", "--type", "data"), 2, "", ("trellis: data must be given as hex digits, two a byte",)),
        (("write", "k", "maybe", "--type", "bool"), 2, "", ("trellis: not a boolean (true, false, yes, no, 1, 0)",)),
        (("write", "k", "1", "--type", "long"), 105, "", ("--type: long not in {int,float,double,bool,string",)),
        (("read", "k", "--group", ""), 2, "", ("cannot be used as a group name",)),
        (("read", "k", "--type", "string"), 1, "", ()),
        (("delete", "key-int"), 0, "", ()),
        (("read", "key-int", "--type", "int"), 0, "0\n", ())]
    # Group names stay inside the folder; a group's value is not the standard domain's.
    for group in ("../escape", "/etc/x", "plain"):
        rows += [(("write", "g", group, "--group", group), 0, "", ()), (("read", "g", "--group", group), 0, group + "\n", ())]
    rows.append((("read", "g"), 1, "", ()))
    for args, status, out, err in rows:
        expect(ctx, ("defaults",) + args, status, out, err, env=env)

    folder = os.path.join(config, "trellis")
    with open(os.path.join(folder, "preferences.json"), encoding="utf-8") as f:
        document = json.load(f)
    values = document["top"]["values"]["dictionary"]
    check(document["format"] == "trellis-keyed-archive" and values["key-string"] == {"string": "héllo wörld"} and
          values["key-bool"] == {"bool": True}, "unexpected document: %r" % document)
    check(os.listdir(config) == ["trellis"], "files appeared beside the folder: %s" % os.listdir(config))
    files = sorted(f for f in os.listdir(folder) if f.startswith("suite."))
    check(files == ["suite.%2Fetc%2Fx.json", "suite...%2Fescape.json", "suite.plain.json"], "suite files: %s" % files)
    expect(ctx, ("purge",), 0, re.compile(r"(\d+ B|\d+ KB|\d+\.\d MB|\d+\.\d GB)\n"))


SCRIPT = r"""#!/bin/sh
input=$(cat)
case "$1" in
  greet) printf 'hello %s\n' "$(printf '%s' "$input" | sed -n 's/.*"items":\[{"type":"utxt","value":"\([^"]*\)"}.*/\1/p')" ;;
  call) printf '%s' "$input" ;;
  count) echo 3 ;;
  fail) echo "it broke" >&2; exit 4 ;;
esac
"""


def write_script(folder):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "tool.scpt"), "w") as script:
        script.write(SCRIPT)
    os.chmod(os.path.join(folder, "tool.scpt"), 0o750)


def desktop_commands(ctx):
    env = ctx.env(LANG="C.UTF-8")
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "APP_SANDBOX_CONTAINER_ID", "FLATPAK_ID", "TRELLIS_RESOURCES",
                 "LANGUAGE", "LC_ALL", "LC_MESSAGES"):
        env.pop(name, None)
    states = {"accessibility": os.access("/dev/uinput", os.W_OK),
              "screenCapture": False,  # no display in the test's environment
              "fullDiskAccess": any(os.access(p, os.R_OK) for p in ("/etc/shadow", "/root"))}
    word = {True: "granted", False: "not granted"}
    expect(ctx, ("permissions",), 0, "accessibility:     %s\nscreen capture:    %s\nfull disk access:  %s\n" % (
        word[states["accessibility"]], word[states["screenCapture"]], word[states["fullDiskAccess"]]), env=env)
    check(json.loads(expect(ctx, ("permissions", "--json"), env=env) or "null") == states, "permissions --json")

    resources = ctx.path("resources")
    write_script(resources)
    for args, status, out, err in (
            (("tool", "greet", "world"), 0, "hello world\n", ()),
            (("tool.scpt", "count"), 0, '{"type":"long","value":3}\n', ()),
            (("--json", "tool", "greet", "you"), 0, '{"type":"utxt","value":"hello you"}\n', ()),
            (("tool", "fail"), 1, "", ("NSPOSIXErrorDomain 2", "it broke")),
            (("missing", "greet"), 3, "", ("script file not exist : missing.scpt",)),
            (("../resources/tool", "greet"), 3, "", ("file name is incorrect: ../resources/tool",))):
        expect(ctx, ("run-script", "--resources", resources) + args, status, out, err, env=env)
    call = expect(ctx, ("run-script", "--resources", resources, "tool", "call", "true", "True", "3", "2.5"), env=env)
    parameters = json.loads(call or "{}").get("parameters", {})
    check(parameters.get("snam") == {"type": "utxt", "value": "call"} and parameters["----"]["items"] == [
        {"type": "bool", "value": True}, {"type": "utxt", "value": "True"}, {"type": "long", "value": 3},
        {"type": "doub", "value": 2.5}], "the handler call the script got: %r" % call)

    # In a sandbox: a script not installed yet is offered for installation, which is answered
    # "Cancel" without a display, and nothing runs; an installed one runs.
    data = ctx.path("data")
    env.update(APP_SANDBOX_CONTAINER_ID="org.trellis.test", XDG_DATA_HOME=data)
    expect(ctx, ("run-script", "--resources", resources, "tool", "greet", "x"), 3, "",
           ("no display for the alert", "Install first"), env=env)
    check(os.path.isdir(os.path.join(data, "trellis", "Scripts")), "the scripts folder was not made")
    write_script(os.path.join(data, "trellis", "Scripts"))
    expect(ctx, ("run-script", "--resources", resources, "tool", "greet", "there"), 0, "hello there\n", env=env)


def doctor_on_fixture_machines(ctx):
    ctx.start_bus()
    report = sections(expect(ctx, ("doctor", "--root", os.path.join(FIXTURES, "hwmon", "no-sensors"), "--wait", "0.5"), 1))
    missing = " | ".join(report.get("Missing", []))
    check(report.get("SMC", [""])[0].startswith("none: ") and "an SMC" in missing and "a running agent" in missing,
          "an SMC and a running agent should be missing: %s" % report)
    smc = sections(expect(ctx, ("doctor", "--root", os.path.join(FIXTURES, "hwmon", "amd-tctl"), "--wait", "0"), 1))["SMC"]
    tc0p = [line for line in smc if line.startswith("TC0P ")]
    check(smc[0].startswith("hwmon: ") and len(tc0p) == 1 and "k10temp Tctl" in tc0p[0] and
          tc0p[0].endswith("/sys/class/hwmon/hwmon1/temp1_input"), "the CPU sensor with its file: %r" % smc)


def network_commands(ctx):
    ctx.start_bus("system")  # no NetworkManager there: names are the interfaces' own
    wired = os.path.join(FIXTURES, "network", "wired")
    # The metrics command's --root counts; the address is this machine's eth0's, if any; the rates are 0.
    expect(ctx, ("metrics", "--root", wired, "network"), 0, re.compile(
        r"service   eth0\ndevice    eth0 \(Ethernet\)\n(address   \d+\.\d+\.\d+\.\d+\n)?up        0 B/s\n"
        r"down      0 B/s\n"))
    # No default route: five empty texts.
    record = json.loads(expect(ctx, ("metrics", "network", "--json", "--root", FIXTURES + "/network/no-route")) or "{}")
    check([record.get(k) for k in ("ip", "userDefinedName", "deviceName", "ssid", "hardware")] == [""] * 5, record)

    cert, key = ctx.path("cert.pem"), ctx.path("key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                    "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                    "subjectAltName=IP:127.0.0.1"], check=True, capture_output=True)
    server = Process(ctx, "https-server", ["/usr/bin/python3", TESTS + "/support/https_reply_server.py", cert, key])
    line = first_line(server)
    require(line, "the HTTPS server did not start: %s" % server.stderr())
    good = "127.0.0.1:%d" % json.loads(line)["good"]
    config = ctx.path("config")
    expect(ctx, ("defaults", "write", "PublicAddressHost", good), env=ctx.env(XDG_CONFIG_HOME=config))
    # The host comes from --host, else TRELLIS_IP_HOST, else the preference; only --cacert trusts the server.
    for args, env, status, out, err in (
            (("--host", good, "--cacert", cert), {}, 0, "203.0.113.7\n", ()),
            (("--cacert", cert), {"TRELLIS_IP_HOST": good}, 0, "203.0.113.7\n", ()),
            (("--cacert", cert), {"XDG_CONFIG_HOME": config}, 0, "203.0.113.7\n", ()),
            (("--cacert", cert), {"XDG_CONFIG_HOME": config, "TRELLIS_IP_HOST": "127.0.0.1:1"}, 1, "0.0.0.0\n",
             ("lookup on 127.0.0.1:1 failed",)),
            (("--host", good), {}, 1, "0.0.0.0\n", ("failed",)),
            (("--host", "example.net/steal?"), {}, 2, "", ("not a host name",))):
        expect(ctx, ("public-ip",) + args, status, out, err, env=ctx.env(**env))
    note("lookups against 127.0.0.1 answered as expected")


# Other processes write to the disk while the companion runs: readings taken before and after it
# bracket its own, give or take this much.
DISK_SLACK = 256 * 1024 * 1024


def root_mount():
    """(major, fs type, source) of the file system mounted last on "/", or None."""
    found = None
    with open("/proc/self/mountinfo") as f:
        for fields in (line.split() for line in f):
            if fields[4] == "/":
                rest = fields[fields.index("-", 6) + 1:]
                found = (int(fields[2].split(":")[0]), rest[0], rest[1])
    return found


def why_root_is_not_a_disk():
    """None when "/" lies on a block device this machine's sysfs knows; otherwise the reason."""
    major, kind, source = root_mount() or (None, None, None)
    if major is None:
        return "no mount on / in /proc/self/mountinfo"
    if kind.startswith(("nfs", "cifs", "smb", "ceph", "fuse.")) or kind in ("ncpfs", "afs", "glusterfs", "davfs"):
        return "/ is a network file system (%s)" % kind
    if major == 0 and not (kind in ("btrfs", "bcachefs") and source.startswith("/dev/")):
        return "/ is %s from %r, not a block device (a container's root?)" % (kind, source)
    if major in (1, 7):
        return "/ is on a RAM disk or loop device"
    return None


def df_root():
    """(total, available) bytes of "/" as df gives them."""
    out = subprocess.run(["df", "-B1", "--output=size,avail", "/"], check=True, capture_output=True, text=True).stdout
    return tuple(int(n) for n in out.split("\n")[1].split())


def physical_disk_bytes():
    """(read, written) bytes of the whole physical disks in /sys/block."""
    read = written = 0
    for name in os.listdir("/sys/block"):
        device = os.path.realpath("/sys/block/" + name)
        if "/devices/virtual/" in device and "/devices/virtual/nvme-subsystem/" not in device:
            continue
        try:
            with open(os.path.join(device, "stat")) as f:
                fields = f.read().split()
        except OSError:
            continue
        read, written = read + int(fields[2]) * 512, written + int(fields[6]) * 512
    return read, written


def storage_metrics_agree_with_this_machine(ctx):
    # Memory is read from fixture trees by the companion's unit tests; the disk needs this machine.
    reason = why_root_is_not_a_disk()
    if reason:
        note("disk not checked: " + reason)
        return
    df_before, bytes_before = df_root(), physical_disk_bytes()
    report = json.loads(expect(ctx, ("metrics", "disk", "--json", "--smc", "none")) or "{}")
    bytes_after, df_after = physical_disk_bytes(), df_root()
    roots = [v for v in report.get("volumes", []) if v.get("name") == "/"]
    require(report.get("mainDisk") == "/" and len(roots) == 1, "/ should be listed once, as the main disk: %s" % report)
    root = roots[0]
    check(root["isMain"] is True and root["isNetwork"] is False and root["kind"] == root_mount()[1],
          "/ should be main and local, of kind %s: %s" % (root_mount()[1], root))
    check(root["total"] == df_before[0] == df_after[0], "total should be df's %d: %d" % (df_before[0], root["total"]))
    check(min(df_before[1], df_after[1]) - DISK_SLACK <= root["free"] <= max(df_before[1], df_after[1]) + DISK_SLACK,
          "free %d should be df's available %d..%d" % (root["free"], df_before[1], df_after[1]))
    for index, key in enumerate(("bytesRead", "bytesWritten")):
        check(bytes_before[index] <= report[key] <= bytes_after[index], "%s %d should lie within the sysfs sums %s" %
              (key, report[key], (bytes_before[index], bytes_after[index])))
    check(report["writeBytesPerSecond"] <= bytes_after[1] - bytes_before[1] + 1,
          "a 1-second rate cannot exceed what was written while the command ran")
    expect(ctx, ("metrics", "disk", "--smc", "none"), 0, re.compile(r"VOLUME.*\nmain disk: /\n.*", re.S))

def version_and_help(ctx):
    with open(os.path.join(TESTS, "..", "CMakeLists.txt")) as f:
        version = re.search(r"project\(trellis VERSION (\S+)", f.read()).group(1)
    for program, name in ((CLI, "trellis"), (AGENT, "trellis-agent")):
        status, out, err = ctx.run([program, "--version"])
        check((status, out) == (0, "%s %s\n" % (name, version)), "%s --version: %s %r %r" % (name, status, out, err))
    # One line for every command, with what it does.
    commands = {(): ["watch", "pause", "quit", "power-saving", "post", "smc", "metrics", "public-ip", "defaults",
                     "purge", "permissions", "run-script", "doctor"],
                ("smc",): ["info", "keys", "read"], ("metrics",): ["cpu", "export", "memory", "disk", "network"],
                ("defaults",): ["write", "read", "delete"]}
    for group, names in commands.items():
        listed = expect(ctx, group + ("--help",)).partition("\nSubcommands:\n")[2].strip("\n").splitlines()
        rows = [re.fullmatch(r"  (\S+) +\S.*", line) for line in listed]
        check([row.group(1) if row else line for row, line in zip(rows, listed)] == names,
              "trellis %s --help should list %s, each with its line: %r" % (" ".join(group), names, listed))


if __name__ == "__main__":
    run_cases([preferences_outlive_the_process_that_wrote_them, desktop_commands, doctor_on_fixture_machines,
               network_commands, storage_metrics_agree_with_this_machine, version_and_help])
