"""The companion's storage readings against this machine: `trellis metrics disk --json` lists "/"
as the main disk with the capacities `df -B1 /` shows and byte counters that agree with
/sys/block, and `trellis metrics memory --json` agrees with /proc/meminfo. Runs on one thread
(see harness.py)."""

import json
import os
import re
import subprocess

from harness import check, note, require, run_cases

# Other processes write to the disk and use memory while the companion runs: readings taken
# before and after it bracket its own, give or take this much.
DISK_SLACK = 256 * 1024 * 1024
MEMORY_SLACK_SHARE = 0.05
NETWORK_TYPES = {"nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs", "afs", "ceph", "glusterfs", "fuse.glusterfs",
                 "fuse.sshfs", "davfs"}


def unescape(field):
    return re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), field)


def root_mount():
    """(major, fs type, source) of the file system mounted last on "/", or None."""
    found = None
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            if len(fields) < 10 or unescape(fields[4]) != "/":
                continue
            rest = fields[fields.index("-", 6) + 1:]
            found = (int(fields[2].split(":")[0]), rest[0], unescape(rest[1]))
    return found


def why_root_is_not_a_disk():
    """None when "/" lies on a block device this machine's sysfs knows; otherwise the reason."""
    mount = root_mount()
    if mount is None:
        return "no mount on / in /proc/self/mountinfo"
    major, kind, source = mount
    if kind in NETWORK_TYPES:
        return "/ is a network file system (%s)" % kind
    if major == 0 and not (kind in ("btrfs", "bcachefs") and source.startswith("/dev/")):
        return "/ is %s from %r, not a block device (a container's root?)" % (kind, source)
    if major in (1, 7):
        return "/ is on a RAM disk or loop device"
    return None


def df_root():
    """(total, available) bytes of "/" as df gives them."""
    out = subprocess.run(["df", "-B1", "--output=size,avail", "/"], check=True, capture_output=True,
                         text=True).stdout.split("\n")[1].split()
    return int(out[0]), int(out[1])


def physical_disk_bytes():
    """Bytes read and written by the whole physical disks of /sys/block, as the collector sums them."""
    read = written = 0
    for name in sorted(os.listdir("/sys/block")):
        device = os.path.realpath("/sys/block/" + name)
        if "/devices/virtual/" in device and "/devices/virtual/nvme-subsystem/" not in device:
            continue
        try:
            with open(os.path.join(device, "stat")) as f:
                fields = f.read().split()
        except OSError:
            continue
        read += int(fields[2]) * 512
        written += int(fields[6]) * 512
    return read, written


def meminfo():
    figures = {}
    with open("/proc/meminfo") as f:
        for line in f:
            match = re.match(r"^([^:]+):\s+(\d+) kB$", line.strip())
            if match:
                figures[match.group(1)] = int(match.group(2)) * 1024
    return figures


def companion_json(ctx, *args):
    status, out, err = ctx.companion(*args)
    require(status == 0, "trellis %s failed with %s: %s" % (" ".join(args), status, err.strip()))
    try:
        return json.loads(out)
    except ValueError as error:
        require(False, "trellis %s did not print JSON (%s): %r" % (" ".join(args), error, out[:400]))


def disk_root_is_main_with_df_capacities(ctx):
    reason = why_root_is_not_a_disk()
    if reason:
        note("skipped: " + reason)
        return
    df_before = df_root()
    bytes_before = physical_disk_bytes()
    report = companion_json(ctx, "metrics", "disk", "--json", "--smc", "none")
    bytes_after = physical_disk_bytes()
    df_after = df_root()

    require(sorted(report) == ["bytesRead", "bytesWritten", "mainDisk", "readBytesPerSecond", "volumes",
                               "writeBytesPerSecond"], "unexpected keys: %s" % sorted(report))
    check(report["mainDisk"] == "/", "the main disk should be /, got %r" % report["mainDisk"])
    roots = [v for v in report["volumes"] if v.get("name") == "/"]
    require(len(roots) == 1, "/ should be listed once: %s" % [v.get("name") for v in report["volumes"]])
    root = roots[0]
    check(sorted(root) == sorted(["name", "model", "kind", "total", "free", "isMain", "isNetwork", "isWritable",
                                  "isRemovable", "temperature", "totalString", "freeString", "useString",
                                  "usePercentString"]), "unexpected record keys: %s" % sorted(root))
    check(root["isMain"] is True and root["isNetwork"] is False, "/ should be main and local: %s" % root)
    check(root["kind"] == root_mount()[1], "kind should be %s: %s" % (root_mount()[1], root["kind"]))
    check(root["total"] == df_before[0] == df_after[0], "total should be df's %d, got %d" % (df_before[0],
                                                                                          root["total"]))
    low = min(df_before[1], df_after[1]) - DISK_SLACK
    high = max(df_before[1], df_after[1]) + DISK_SLACK
    check(low <= root["free"] <= high, "free %d should be df's available %d..%d" % (root["free"], df_before[1],
                                                                                   df_after[1]))
    check(re.fullmatch(r"\d{1,3}%", root["usePercentString"]), "usePercentString: %r" % root["usePercentString"])
    check(bytes_before[0] <= report["bytesRead"] <= bytes_after[0],
          "bytesRead %d should lie between the sysfs sums %d and %d" % (report["bytesRead"], bytes_before[0],
                                                                       bytes_after[0]))
    check(bytes_before[1] <= report["bytesWritten"] <= bytes_after[1],
          "bytesWritten %d should lie between the sysfs sums %d and %d" % (report["bytesWritten"], bytes_before[1],
                                                                          bytes_after[1]))
    check(report["writeBytesPerSecond"] <= bytes_after[1] - bytes_before[1] + 1,
          "a 1-second rate cannot exceed what was written while the command ran")

    status, out, err = ctx.companion("metrics", "disk", "--smc", "none")
    check(status == 0 and out.startswith("VOLUME") and "\nmain disk: /\n" in out,
          "the table should list the volumes and name / as main: %r %s" % (out[:600], err))


def memory_agrees_with_meminfo(ctx):
    before = meminfo()
    record = companion_json(ctx, "metrics", "memory", "--json")
    after = meminfo()
    require(sorted(record) == ["free", "freeString", "total", "totalString", "usePercentString", "useString"],
            "unexpected keys: %s" % sorted(record))
    check(record["total"] == before["MemTotal"], "total should be MemTotal %d, got %d" % (before["MemTotal"],
                                                                                         record["total"]))
    expected = [m["MemFree"] + m.get("Active(file)", 0) + m.get("Inactive(file)", 0) for m in (before, after)]
    slack = record["total"] * MEMORY_SLACK_SHARE
    check(min(expected) - slack <= record["free"] <= max(expected) + slack,
          "free %d should be MemFree + Active(file) + Inactive(file), %s" % (record["free"], expected))
    used = max(record["total"] - record["free"], 0)
    check(record["usePercentString"] == "%d%%" % (used * 100 // record["total"]),
          "usePercentString %r for %d of %d" % (record["usePercentString"], used, record["total"]))

    status, out, err = ctx.companion("metrics", "memory")
    check(status == 0 and out.startswith("total  ") and "\nused   " in out, "plain output: %r %s" % (out, err))


if __name__ == "__main__":
    run_cases([disk_root_is_main_with_df_capacities, memory_agrees_with_meminfo])
