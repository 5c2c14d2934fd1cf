"""The agent's sampling cycle written as a plain Python program would be, as a yardstick for
bench/measure: the same files read every 2 seconds, the same three signals posted on the session
bus through a bus library (PyGObject's Gio, GLib variants built every cycle).

Every cycle it reads root/proc/loadavg (load averages, threads), lists root/proc (processes),
reads root/proc/stat (usage per processor since the last cycle) and root/proc/self/mountinfo
(statvfs of each volume on a block device), takes the CPU, SSD and fan values from the SMC table
it loaded at start-up (share/demo-smc.json: memory, like the agent's simulated SMC), then posts
NSNotificationNameCpuTemperature, ...SSDTemperature and ...FansSpeed with the agent's payloads.
Files are opened and read whole each time, as the obvious code does.

  plain_loop.py [--root DIR] [--table PATH] [--cycles N]
"""

import argparse
import json
import os

from gi.repository import Gio, GLib

PATH = "/org/trellis/DistributedCenter"
INTERFACE = "org.trellis.DistributedCenter1"
HERE = os.path.dirname(os.path.abspath(__file__))


def sp78(hex_bytes):
    return int(hex_bytes, 16) / 256.0


def fpe2(hex_bytes):
    return int(hex_bytes, 16) // 4


class Table:
    """The looping values of the keys a cycle reports, from the simulated SMC table."""

    def __init__(self, path):
        with open(path) as f:
            keys = {entry["key"]: entry for entry in json.load(f)["keys"]}
        self.cpu = [sp78(v) for v in keys["TC0P"]["values"]]
        self.disk = [sp78(v) for v in keys["TH0x"]["values"]]
        self.fans = []
        for index, name in ((0, "Left side"), (1, "Right side")):
            self.fans.append({"name": name, "min": fpe2(keys["F%dMn" % index]["bytes"]),
                              "max": fpe2(keys["F%dMx" % index]["bytes"]),
                              "speeds": [fpe2(v) for v in keys["F%dAc" % index]["values"]]})


class Loop:
    def __init__(self, root, table, cycles):
        self.root = root.rstrip("/")
        self.table = table
        self.cycles = cycles
        self.step = 0
        self.previous = {}
        self.bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
        self.main = GLib.MainLoop()

    def read(self, path):
        with open(self.root + path) as f:
            return f.read()

    def gather(self):
        fields = self.read("/proc/loadavg").split()
        load = [float(x) for x in fields[:3]]
        threads = int(fields[3].split("/")[1])
        processes = sum(1 for entry in os.scandir(self.root + "/proc") if entry.name.isdigit() and entry.is_dir())
        usage = []
        for line in self.read("/proc/stat").splitlines():
            if not line.startswith("cpu") or line.startswith("cpu "):
                continue
            label, *ticks = line.split()
            ticks = [int(t) for t in ticks[:8]]
            now = (ticks[0] + ticks[1], ticks[2] + ticks[5] + ticks[6] + ticks[7], ticks[3] + ticks[4])
            before = self.previous.get(label, (0, 0, 0))
            delta = [a - b for a, b in zip(now, before)]
            whole = sum(delta) or 1
            usage.append([100 * d // whole for d in delta])
            self.previous[label] = now
        volumes = []
        for line in self.read("/proc/self/mountinfo").splitlines():
            fields = line.split()
            major = int(fields[2].split(":")[0])
            if major in (0, 1, 7) or fields[3] != "/":
                continue
            status = os.statvfs(self.root + fields[4])
            volumes.append((fields[4], status.f_blocks * status.f_frsize, status.f_bavail * status.f_frsize))
        return load, threads, processes, usage, volumes

    def post(self, name, info):
        self.bus.emit_signal(None, PATH, INTERFACE, "Notification", GLib.Variant("(ssa{sv})", (name, "", info)))

    def cycle(self):
        self.gather()
        i = self.step % len(self.table.cpu)
        self.post("NSNotificationNameCpuTemperature", {"cpu": GLib.Variant("d", self.table.cpu[i])})
        self.post("NSNotificationNameSSDTemperature", {"disk": GLib.Variant("d", self.table.disk[i])})
        fans = [GLib.Variant("a{sv}", {"ID": GLib.Variant("s", fan["name"]), "maxSpeed": GLib.Variant("i", fan["max"]),
                                       "minSpeed": GLib.Variant("i", fan["min"]),
                                       "speed": GLib.Variant("i", fan["speeds"][i % len(fan["speeds"])])})
                for fan in self.table.fans]
        self.post("NSNotificationNameFansSpeed",
                  {"fan": GLib.Variant("a{sv}", {"count": GLib.Variant("i", len(fans)), "fans": GLib.Variant("av", fans)})})
        self.step += 1
        if self.cycles and self.step >= self.cycles:
            self.bus.flush_sync(None)
            self.main.quit()
            return False
        return True

    def run(self):
        if self.cycle():
            GLib.timeout_add(2000, self.cycle)
            self.main.run()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default="/")
    parser.add_argument("--table", default=os.path.join(os.path.dirname(HERE), "share", "demo-smc.json"))
    parser.add_argument("--cycles", type=int, default=0)
    args = parser.parse_args()
    Loop(args.root, Table(args.table), args.cycles).run()


if __name__ == "__main__":
    main()
