"""The agent and `trellis doctor` on machines laid out as the kernel lays them out
(tests/fixtures/machines/): with `--smc hwmon --root FIXTURE` the agent publishes the CPU
temperature, and on a ZFS root the temperature of the disk under the pool; doctor names the CPU
source it chose and those it passed over, and says when a machine has no main disk. One agent at a
time on one private bus (each owns the agent's name)."""

import os
import time

from harness import CPU, FIXTURES, SOON, SSD, check, require, run_cases

MACHINES = os.path.join(FIXTURES, "machines")

# Fixture, its CPU sensor's temperature, doctor's TC0P source (every machine class's choice is the
# Linux unit tests'; these show it reaches the agent's readings and doctor's report). The agent
# reads the SMC key to 1/64 degree.
CPUS = [
    ("intel-coretemp-modern", 62.0, "coretemp Package id 0"),
    ("amd-k10temp-tctl-only", 48.625, "k10temp Tctl"),
    ("raspberry-pi", 48.686, "thermal_zone0 cpu-thermal"),
    ("qualcomm-x1e80100", 55.1, "hottest of thermal_zone1 cpu0-0-top-thermal,"),
    ("apple-intel-mac-hybrid", 51.75, "applesmc TC0P"),
]


PACKAGELESS = "hottest of coretemp Core 0, coretemp Core 1, coretemp Core 2, coretemp Core 3"


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
        if machine == "intel-coretemp-modern":
            passed = [line.strip()[len("passed over for TC0P: "):].split("  ")[0] for line in out.splitlines()
                      if line.strip().startswith("passed over for TC0P: ")]
            check(passed == ["thermal_zone4 x86_pkg_temp", PACKAGELESS, "thermal_zone0 acpitz (approximate)"],
                  "doctor should list the CPU sources passed over, best first: %r" % passed)


def main_disk_under_zfs_and_in_a_container(ctx):
    ctx.start_bus()
    monitor = ctx.monitor()
    # The main volume carries the reading from the second pass on; sda is the pool's first disk.
    disk = first_values(ctx, monitor, os.path.join(MACHINES, "disk", "zfs-root"), SSD, "disk", 2)
    check(disk[-1] == 34.0, "the disk under the ZFS root reads 34.0: %r" % disk)
    # A container's root is on no disk of its own: not the host's disk that its bound files come from.
    status, out, err = ctx.companion("doctor", "--root", os.path.join(MACHINES, "disk", "overlay-container"), "--smc",
                                     "hwmon", "--wait", "0")
    disk_lines = [line[11:] for line in out.splitlines() if line.startswith("Disk ")]
    check(disk_lines == ["no main disk: / is overlay from overlay, whose upper folder is on no mount here"],
          "doctor on a container: %r%s" % (disk_lines, err))


if __name__ == "__main__":
    run_cases([cpu_temperature_of_every_machine_class, main_disk_under_zfs_and_in_a_container])
