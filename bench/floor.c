/* floor: the least work a sampling cycle of the agent can cost on Linux, as the yardstick that
 * bench/measure holds the agent against. Single-threaded; it runs until killed.
 *
 * What one agent cycle reads, seen with strace on the agent run by bench/measure (the demo SMC
 * table, this machine's /proc through --root):
 *   /proc/loadavg       load averages and the number of threads (the agent reads it twice)
 *   /proc (listing)     the number of processes: numeric entries
 *   /proc/stat          per-processor ticks, for the usage shares since the last cycle
 *   /proc/self/mountinfo  the mount table, then statvfs of every volume on a block device
 *   the SMC keys        the simulated table is memory: no system call
 * then it posts three signals (CPU temperature, SSD temperature, fan speeds) on the session bus
 * with the payloads the agent sends (ssa{sv}, see the wire format in the design notes).
 *
 * The floor does the same reads and the same three sends and nothing else: each file stays open
 * and is re-read from offset 0 with pread (procfs builds the text anew on every read from the
 * start), the /proc listing is rewound instead of reopened, the parsing is a single pass without
 * allocation, and the only wake-up is an absolute-time sleep to the next 2-second tick. What it
 * leaves out on purpose: the agent's fourth message (PropertiesChanged of its bus object), its
 * bus name, its commands, its records beyond what is read here.
 *
 * With --wake-only it does nothing but wake on the ticks: what the bare wake-up costs on this
 * machine, the part of every contender's figure that no program can avoid.
 *
 *   floor [--root DIR] [--cycles N] [--wake-only]
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/statvfs.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

enum { kMaxProcessors = 1024, kMaxVolumes = 64, kTableLength = 32 };

/* The demo SMC table's looping values (share/demo-smc.json): TC0P and TH0x in sp78 (1/256 °C),
 * F0Ac and F1Ac in fpe2 (1/4 rpm). */
static const uint16_t kCpuTable[kTableLength] = {
    0x2dc0, 0x2dc0, 0x2f00, 0x2f40, 0x3140, 0x32c0, 0x3400, 0x36c0, 0x3840, 0x3b00, 0x3c80,
    0x3e80, 0x40c0, 0x42c0, 0x4280, 0x4340, 0x4440, 0x4480, 0x4340, 0x4200, 0x4180, 0x3e80,
    0x3dc0, 0x3ac0, 0x3880, 0x3640, 0x3480, 0x3380, 0x30c0, 0x3000, 0x2f00, 0x2e00};
static const uint16_t kDiskTable[kTableLength] = {
    0x2300, 0x22c0, 0x2380, 0x2340, 0x2440, 0x2480, 0x2480, 0x2580, 0x2640, 0x26c0, 0x2700,
    0x2780, 0x2800, 0x28c0, 0x2880, 0x2900, 0x28c0, 0x2900, 0x2900, 0x2840, 0x2840, 0x27c0,
    0x2780, 0x26c0, 0x25c0, 0x25c0, 0x24c0, 0x2400, 0x2380, 0x2380, 0x2340, 0x2300};
static const uint16_t kFanTables[2][kTableLength] = {
    {0x12c0, 0x12c0, 0x139c, 0x14a8, 0x15dc, 0x1764, 0x1994, 0x1b2c, 0x1d88, 0x1fcc, 0x223c,
     0x23e0, 0x25b8, 0x26c4, 0x2794, 0x2838, 0x28fc, 0x2894, 0x27a4, 0x2668, 0x256c, 0x23e8,
     0x21d0, 0x1fa0, 0x1dd0, 0x1be4, 0x1948, 0x1740, 0x15d4, 0x1488, 0x13b8, 0x12c0},
    {0x13ec, 0x1414, 0x1488, 0x154c, 0x1744, 0x1868, 0x1ab0, 0x1c48, 0x1e68, 0x20f8, 0x22a8,
     0x250c, 0x265c, 0x2778, 0x2884, 0x2948, 0x29b0, 0x29b4, 0x2874, 0x27a4, 0x2624, 0x2514,
     0x2288, 0x2068, 0x1e48, 0x1c68, 0x1ac0, 0x18d8, 0x1714, 0x15ec, 0x14dc, 0x13c4}};
static const char* const kFanNames[2] = {"Left side", "Right side"};
static const int32_t kFanMin[2] = {1200, 1200};
static const int32_t kFanMax[2] = {5500, 6000};

struct ticks {
  uint64_t user, system, idle;
};

/* What a cycle gathers. Global so that the compiler keeps every parse. */
struct reading {
  double load[3];
  long threads;
  long processes;
  int processors;
  int usage[kMaxProcessors][3]; /* user, system, idle shares in percent */
  int volumes;
  uint64_t capacity[kMaxVolumes][2]; /* total, available bytes */
};
struct reading floor_reading;

static struct ticks previous[kMaxProcessors];
static char text[1 << 16];
static char listing[1 << 15];
static char root[4096];
static int loadavg_fd = -1, stat_fd = -1, mountinfo_fd = -1, proc_fd = -1;

static int open_under_root(const char* path, int flags) {
  char full[8192];
  snprintf(full, sizeof full, "%s%s", root, path);
  int fd = open(full, flags | O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "floor: %s: %s\n", full, strerror(errno));
    exit(1);
  }
  return fd;
}

/* The file from offset 0 into `text`, NUL-terminated; its length, or -1. One read: procfs fills
 * the buffer as far as the text goes (seq_file), so a short read is the whole file; a text over
 * 64 KiB (/proc/stat of some 500 processors) is cut. */
static ssize_t reread(int fd) {
  ssize_t n;
  do {
    n = pread(fd, text, sizeof text - 1, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return -1;
  text[n] = '\0';
  return n;
}

static void read_loadavg(void) {
  if (reread(loadavg_fd) < 0) return;
  long running = 0;
  (void)sscanf(text, "%lf %lf %lf %ld/%ld", &floor_reading.load[0], &floor_reading.load[1],
               &floor_reading.load[2], &running, &floor_reading.threads);
}

static void count_processes(void) {
  long count = 0;
  if (lseek(proc_fd, 0, SEEK_SET) < 0) return;
  for (;;) {
    ssize_t n = getdents64(proc_fd, listing, sizeof listing);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const struct dirent64* entry = (const struct dirent64*)(listing + at);
      if (entry->d_type == DT_DIR && entry->d_name[0] >= '1' && entry->d_name[0] <= '9') ++count;
      at += entry->d_reclen;
    }
  }
  floor_reading.processes = count;
}

static int share(uint64_t part, uint64_t whole) { return whole ? (int)(part * 100 / whole) : 0; }

static void read_stat(void) {
  if (reread(stat_fd) < 0) return;
  int processors = 0;
  for (char* line = text; *line != '\0' && processors < kMaxProcessors;) {
    char* end = strchr(line, '\n');
    if (end != NULL) *end = '\0';
    unsigned index;
    uint64_t user, nice, system, idle, iowait, irq, softirq, steal;
    if (strncmp(line, "cpu", 3) == 0 && line[3] >= '0' && line[3] <= '9' &&
        sscanf(line + 3, "%u %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64
                         " %" SCNu64 " %" SCNu64,
               &index, &user, &nice, &system, &idle, &iowait, &irq, &softirq, &steal) == 9) {
      struct ticks now = {user + nice, system + irq + softirq + steal, idle + iowait};
      struct ticks* before = &previous[processors];
      uint64_t du = now.user - before->user, ds = now.system - before->system, di = now.idle - before->idle;
      uint64_t all = du + ds + di;
      floor_reading.usage[processors][0] = share(du, all);
      floor_reading.usage[processors][1] = share(ds, all);
      floor_reading.usage[processors][2] = share(di, all);
      *before = now;
      ++processors;
    }
    if (end == NULL) break;
    line = end + 1;
  }
  floor_reading.processors = processors;
}

/* Volumes: mounts of block devices (not the null and loop majors) of a whole file system, as the
 * agent selects them; network and btrfs subvolume rules are left out (none on the machines the
 * floor runs on). */
static void read_volumes(void) {
  if (reread(mountinfo_fd) < 0) return;
  int volumes = 0;
  for (char* line = text; *line != '\0' && volumes < kMaxVolumes;) {
    char* end = strchr(line, '\n');
    if (end != NULL) *end = '\0';
    unsigned major, minor;
    char mount_root[256], point[2048];
    if (sscanf(line, "%*u %*u %u:%u %255s %2047s", &major, &minor, mount_root, point) == 4 && major != 0 &&
        major != 1 && major != 7 && strcmp(mount_root, "/") == 0) {
      char full[8192];
      struct statvfs status;
      snprintf(full, sizeof full, "%s%s", root, point);
      if (statvfs(full, &status) == 0) {
        floor_reading.capacity[volumes][0] = (uint64_t)status.f_blocks * status.f_frsize;
        floor_reading.capacity[volumes][1] = (uint64_t)status.f_bavail * status.f_frsize;
        ++volumes;
      }
    }
    if (end == NULL) break;
    line = end + 1;
  }
  floor_reading.volumes = volumes;
}

static int open_notification(sd_bus* bus, sd_bus_message** m, const char* name) {
  int r = sd_bus_message_new_signal(bus, m, "/org/trellis/DistributedCenter", "org.trellis.DistributedCenter1",
                                    "Notification");
  if (r >= 0) r = sd_bus_message_append(*m, "ss", name, "");
  if (r >= 0) r = sd_bus_message_open_container(*m, 'a', "{sv}");
  return r;
}

static int close_and_send(sd_bus* bus, sd_bus_message* m, int r) {
  if (r >= 0) r = sd_bus_message_close_container(m);
  if (r >= 0) r = sd_bus_send(bus, m, NULL);
  sd_bus_message_unref(m);
  return r;
}

static int post_temperature(sd_bus* bus, const char* name, const char* key, double value) {
  sd_bus_message* m = NULL;
  int r = open_notification(bus, &m, name);
  if (r >= 0) r = sd_bus_message_append(m, "{sv}", key, "d", value);
  return close_and_send(bus, m, r);
}

static int post_fans(sd_bus* bus, unsigned step) {
  sd_bus_message* m = NULL;
  int r = open_notification(bus, &m, "NSNotificationNameFansSpeed");
  if (r >= 0) r = sd_bus_message_open_container(m, 'e', "sv");
  if (r >= 0) r = sd_bus_message_append(m, "s", "fan");
  if (r >= 0) r = sd_bus_message_open_container(m, 'v', "a{sv}");
  if (r >= 0) r = sd_bus_message_open_container(m, 'a', "{sv}");
  if (r >= 0) r = sd_bus_message_append(m, "{sv}", "count", "i", (int32_t)2);
  if (r >= 0) r = sd_bus_message_open_container(m, 'e', "sv");
  if (r >= 0) r = sd_bus_message_append(m, "s", "fans");
  if (r >= 0) r = sd_bus_message_open_container(m, 'v', "av");
  if (r >= 0) r = sd_bus_message_open_container(m, 'a', "v");
  for (int fan = 0; fan < 2 && r >= 0; ++fan) {
    const int32_t speed = kFanTables[fan][step % kTableLength] / 4;
    r = sd_bus_message_open_container(m, 'v', "a{sv}");
    if (r >= 0)
      r = sd_bus_message_append(m, "a{sv}", 4, "ID", "s", kFanNames[fan], "maxSpeed", "i", kFanMax[fan], "minSpeed",
                                "i", kFanMin[fan], "speed", "i", speed);
    if (r >= 0) r = sd_bus_message_close_container(m);
  }
  for (int level = 0; level < 5 && r >= 0; ++level) r = sd_bus_message_close_container(m); /* av, v, e, a, v */
  if (r >= 0) r = sd_bus_message_close_container(m);                                       /* the "fan" entry */
  return close_and_send(bus, m, r);
}

/* One cycle: the reads, then the three posts. A negative errno when a post fails. */
static int cycle(sd_bus* bus, unsigned step) {
  read_loadavg();
  count_processes();
  read_stat();
  read_volumes();
  int r = post_temperature(bus, "NSNotificationNameCpuTemperature", "cpu", kCpuTable[step % kTableLength] / 256.0);
  if (r >= 0) r = post_temperature(bus, "NSNotificationNameSSDTemperature", "disk", kDiskTable[step % kTableLength] / 256.0);
  if (r >= 0) r = post_fans(bus, step);
  if (r >= 0) r = sd_bus_flush(bus);
  return r;
}

int main(int argc, char** argv) {
  long cycles = 0;
  int wake_only = 0;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--root") == 0 && i + 1 < argc) {
      snprintf(root, sizeof root, "%s", argv[++i]);
    } else if (strcmp(argv[i], "--cycles") == 0 && i + 1 < argc) {
      cycles = strtol(argv[++i], NULL, 10);
    } else if (strcmp(argv[i], "--wake-only") == 0) {
      wake_only = 1;
    } else {
      fprintf(stderr, "usage: floor [--root DIR] [--cycles N] [--wake-only]\n");
      return 2;
    }
  }
  size_t length = strlen(root);
  while (length > 0 && root[length - 1] == '/') root[--length] = '\0';

  sd_bus* bus = NULL;
  if (!wake_only) {
    int r = sd_bus_open_user(&bus);
    const char* unique = NULL;
    if (r >= 0) r = sd_bus_get_unique_name(bus, &unique); /* waits for the bus's Hello reply */
    if (r < 0) {
      fprintf(stderr, "floor: cannot connect to the session bus: %s\n", strerror(-r));
      return 1;
    }
    loadavg_fd = open_under_root("/proc/loadavg", 0);
    stat_fd = open_under_root("/proc/stat", 0);
    mountinfo_fd = open_under_root("/proc/self/mountinfo", 0);
    proc_fd = open_under_root("/proc", O_DIRECTORY);
  }

  struct timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (unsigned step = 0; cycles == 0 || step < (unsigned long)cycles; ++step) {
    int r = wake_only ? 0 : cycle(bus, step);
    if (r < 0) {
      fprintf(stderr, "floor: cannot post: %s\n", strerror(-r));
      return 1;
    }
    if (cycles != 0 && step + 1 >= (unsigned long)cycles) break;
    /* The next 2-second tick still ahead: no drift, no catching up. */
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    do {
      next.tv_sec += 2;
    } while (next.tv_sec < now.tv_sec || (next.tv_sec == now.tv_sec && next.tv_nsec <= now.tv_nsec));
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL) == EINTR) {
    }
  }
  sd_bus_flush_close_unref(bus);
  return 0;
}
