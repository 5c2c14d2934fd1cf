"""The agent's sampling cycle written the obvious way in Python with psutil, as a yardstick: every
2 seconds it gathers what one cycle of the agent gathers (CPU counts, load and per-processor
usage, the CPU and main-disk temperatures, the fans, the mounted volumes and their capacities).

  psutil_loop.py [--cycles N]        loop every 2 s; stop after N cycles (default: never)
                 [--announce]        write "ready" on stdout once the first gathering is done
                                     (bench/measure times the start-up with it)
  psutil_loop.py --bench N           gather N times back to back; print the mean wall and CPU
                                     time of one gathering in microseconds as JSON
"""

import argparse
import json
import os
import time

import psutil

CPU_SENSORS = ("coretemp", "k10temp", "zenpower", "applesmc", "cpu_thermal", "x86_pkg_temp")
DISK_SENSORS = ("nvme", "drivetemp")


def gather():
    temperatures = psutil.sensors_temperatures()
    cpu = next((entries[0].current for name in CPU_SENSORS for entries in [temperatures.get(name)] if entries), 0.0)
    disk = next((entries[0].current for name in DISK_SENSORS for entries in [temperatures.get(name)] if entries), 0.0)
    fans = [(name, fan.label, fan.current) for name, entries in psutil.sensors_fans().items() for fan in entries]
    volumes = []
    for partition in psutil.disk_partitions(all=False):
        try:
            usage = psutil.disk_usage(partition.mountpoint)
        except OSError:
            continue
        volumes.append((partition.mountpoint, usage.total, usage.free))
    return {
        "cpu": cpu,
        "disk": disk,
        "fans": fans,
        "counts": (psutil.cpu_count(logical=True), psutil.cpu_count(logical=False)),
        "load": os.getloadavg(),
        "usage": psutil.cpu_percent(percpu=True),
        "volumes": volumes,
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cycles", type=int, default=0)
    parser.add_argument("--bench", type=int, default=0)
    parser.add_argument("--announce", action="store_true")
    args = parser.parse_args()

    if args.bench:
        gather()
        wall, cpu = time.perf_counter(), time.process_time()
        for _ in range(args.bench):
            gather()
        wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
        print(json.dumps({"wall_us": wall * 1e6 / args.bench, "cpu_us": cpu * 1e6 / args.bench}))
        return

    # Like the agent: a cycle at once, then one on every 2-second tick of a steady clock.
    start = time.monotonic()
    done = 0
    while True:
        gather()
        done += 1
        if done == 1 and args.announce:
            print("ready", flush=True)
        if args.cycles and done >= args.cycles:
            return
        next_tick = start + 2.0 * done
        time.sleep(max(0.0, next_tick - time.monotonic()))


if __name__ == "__main__":
    main()
