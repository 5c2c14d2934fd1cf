"""The agent and `trellis doctor` on machines laid out as the kernel lays them out
(tests/fixtures/machines/): with `--smc hwmon --root FIXTURE` the agent publishes each machine
class's CPU temperature, and on a ZFS root the temperature of the disk under the pool; doctor names
the CPU source it chose. One agent at a time on one private bus (each owns the agent's name). Runs
on one thread (see harness.py)."""

import os
import time

from harness import CPU, FIXTURES, SOON, SSD, check, require, run_cases

MACHINES = os.path.join(FIXTURES, "machines")

# Fixture, its CPU sensor's temperature, doctor's TC0P source. The agent reads the SMC key to 1/64 degree.
CPUS = [
    ("intel-coretemp-modern", 62.0, "coretemp Package id 0"),
    ("intel-coretemp-old", 45.0, "coretemp Physical id 0"),
    ("intel-coretemp-physid-newlayout", 47.0, "coretemp Physical id 0"),
    ("intel-coretemp-no-package", 55.0, "hottest of coretemp Core 0,"),
    ("intel-x86-pkg-temp-only", 55.0, "thermal_zone1 x86_pkg_temp"),
    ("amd-k10temp-tctl-only", 48.625, "k10temp Tctl"),
    ("amd-k10temp-tdie", 46.0, "k10temp Tdie"),
    ("amd-k10temp-tdie-linux5.4", 52.5, "k10temp Tdie"),
    ("amd-k10temp-ccds", 68.875, "k10temp Tctl"),
    ("amd-k10temp-fam15h", 32.125, "k10temp temp1 (no label)"),
    ("amd-zenpower", 45.75, "zenpower Tdie"),
    ("raspberry-pi", 48.686, "thermal_zone0 cpu-thermal"),
    ("rockchip-rk3588", 44.384, "thermal_zone0 package-thermal"),
    ("allwinner-a64", 39.0, "hottest of thermal_zone0 cpu0-thermal"),
    ("amlogic-g12", 46.3, "thermal_zone0 cpu-thermal"),
    ("mediatek-mt8183", 51.0, "thermal_zone0 cpu-thermal"),
    ("qualcomm-x1e80100", 55.1, "hottest of thermal_zone1 cpu0-0-top-thermal,"),
    ("apple-intel-mac-old", 51.75, "applesmc TC0P"),
    ("apple-intel-mac-new", 51.75, "applesmc TC0P"),
    ("apple-intel-mac-hybrid", 51.75, "applesmc TC0P"),
    ("acpi-only", 40.0, "thermal_zone0 acpitz (approximate)"),
]


def first_values(ctx, monitor, root, name, key, count):
    """Runs an agent on `root` until it has posted `count` readings called `name`; returns their
    values."""
    started = time.time()
    agent = ctx.agent("--root", root, "--smc", "hwmon")
    readings = monitor.wait(count, SOON + 2 * count, [name], after=started)
    agent.stop()
    require(readings, "no %s reading from the agent on %s%s" % (name, root, agent.stderr_tail()))
    return [m.user_info[key][1] for m in readings]


def cpu_temperature_of_every_machine_class(ctx):
    ctx.start_bus()
    monitor = ctx.monitor()
    for machine, celsius, source in CPUS:
        root = os.path.join(MACHINES, "cpu", machine)
        cpu = first_values(ctx, monitor, root, CPU, "cpu", 1)[0]
        check(abs(cpu - celsius) < 1 / 64, "%s: the agent should publish %.3f, not %r" % (machine, celsius, cpu))
        status, out, err = ctx.companion("doctor", "--root", root, "--smc", "hwmon", "--wait", "0")
        tc0p = [line.strip()[4:].strip() for line in out.splitlines() if line.strip().startswith("TC0P ")]
        check(len(tc0p) == 1 and tc0p[0].startswith(source),
              "%s: doctor should name %r as the CPU source: %r%s" % (machine, source, tc0p, err))


def disk_temperature_under_a_zfs_pool(ctx):
    ctx.start_bus()
    monitor = ctx.monitor()
    # The main volume carries the reading from the second pass on; sda is the pool's first disk.
    disk = first_values(ctx, monitor, os.path.join(MACHINES, "disk", "zfs-root"), SSD, "disk", 2)
    check(disk[-1] == 34.0, "the disk under the ZFS root reads 34.0: %r" % disk)


if __name__ == "__main__":
    run_cases([cpu_temperature_of_every_machine_class, disk_temperature_under_a_zfs_pool])
