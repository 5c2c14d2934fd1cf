// Finding and stopping everything a child started. A child runs in a process group of its own,
// but a descendant may leave the group (setsid) or lose its parent; this process is made the
// subreaper of its descendants, so orphans come back to it rather than to init, and a time limit
// can still reach them. Stateless; any thread.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

namespace trellis::lnx {

// Makes this process the reaper of its orphaned descendants (PR_SET_CHILD_SUBREAPER). Once, at
// start-up, before any child is started.
void becomeSubreaper();

// Every living descendant of `pid`, found through the parent links under `procRoot`/PID/stat.
std::vector<pid_t> descendantsOf(pid_t pid, const std::string& procRoot = "/proc");

// This process's own children, other than those in `keep`: descendants of children that ended
// before them, handed back to this subreaper.
std::vector<pid_t> orphanedChildren(const std::set<pid_t>& keep, const std::string& procRoot = "/proc");

// SIGKILL to `child`'s process group, to each of its descendants, and to this process's orphaned
// children (not in `keep`). Returns when they have ended and those handed back to this process
// are reaped, so none is left a zombie. `child` itself is left for its owner to reap.
void killProcessTree(pid_t child, const std::set<pid_t>& keep);

// Reaps the orphaned children (not in `keep`) that have already ended; never waits.
void reapOrphans(const std::set<pid_t>& keep);

}  // namespace trellis::lnx
