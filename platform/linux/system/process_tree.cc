#include "platform/linux/system/process_tree.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <optional>

#include "platform/linux/io/eintr.h"
#include "platform/linux/io/file_contents.h"
#include "platform/linux/io/paths.h"
#include "platform/linux/io/text_parsing.h"

namespace trellis::lnx {
namespace {

// The parent of every process under `procRoot`: the fourth field of PID/stat, after the command
// name in parentheses (which may itself hold spaces and parentheses).
std::map<pid_t, pid_t> parents(const std::string& procRoot) {
  std::map<pid_t, pid_t> parentOf;
  for (const std::string& entry : folderEntries(procRoot).value_or(std::vector<std::string>{})) {
    if (!isDigits(entry)) continue;
    std::optional<std::string> stat = readWholeFile(procRoot + "/" + entry + "/stat", 4096);
    if (!stat) continue;  // gone meanwhile
    const std::size_t close = stat->rfind(')');
    if (close == std::string::npos) continue;
    std::vector<std::string_view> fields = splitFields(std::string_view(*stat).substr(close + 1));
    if (fields.size() < 2) continue;
    std::optional<pid_t> pid = parseInteger<pid_t>(entry);
    std::optional<pid_t> parent = parseInteger<pid_t>(fields[1]);
    if (pid && parent) parentOf[*pid] = *parent;
  }
  return parentOf;
}

}  // namespace

void becomeSubreaper() { (void)::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0); }

std::vector<pid_t> descendantsOf(pid_t pid, const std::string& procRoot) {
  std::multimap<pid_t, pid_t> childrenOf;
  for (const auto& [child, parent] : parents(procRoot)) childrenOf.emplace(parent, child);
  std::vector<pid_t> found;
  std::vector<pid_t> pending{pid};
  while (!pending.empty()) {
    const pid_t next = pending.back();
    pending.pop_back();
    auto [begin, end] = childrenOf.equal_range(next);
    for (auto it = begin; it != end; ++it) {
      found.push_back(it->second);
      pending.push_back(it->second);
    }
  }
  return found;
}

std::vector<pid_t> orphanedChildren(const std::set<pid_t>& keep, const std::string& procRoot) {
  std::vector<pid_t> orphans;
  const pid_t self = ::getpid();
  for (const auto& [child, parent] : parents(procRoot)) {
    if (parent == self && keep.count(child) == 0) orphans.push_back(child);
  }
  return orphans;
}

void killProcessTree(pid_t child, const std::set<pid_t>& keep) {
  // Stop them all first, so none can start more while the others are being found.
  (void)::kill(-child, SIGSTOP);
  const std::vector<pid_t> descendants = descendantsOf(child);
  for (pid_t pid : descendants) (void)::kill(pid, SIGKILL);
  (void)::kill(-child, SIGKILL);
  // A kill only starts the end: a descendant passes to this process when its parent has exited,
  // which may be after the search below for orphans. So the child's end is awaited (it stays for
  // its owner to reap; one already reaped is no longer in `keep`), then each descendant is reaped
  // after its parent (the search lists parents first); one handed to another reaper meanwhile is
  // not this process's to wait for.
  siginfo_t ended{};
  if (keep.count(child) != 0) {
    (void)retryOnEintr([&] { return ::waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOWAIT); });
  }
  for (pid_t pid : descendants) {
    if (keep.count(pid) == 0) (void)retryOnEintr([&] { return ::waitpid(pid, nullptr, 0); });
  }
  std::set<pid_t> keepChild = keep;
  keepChild.insert(child);
  for (pid_t orphan : orphanedChildren(keepChild)) {
    (void)::kill(orphan, SIGKILL);
    (void)retryOnEintr([&] { return ::waitpid(orphan, nullptr, 0); });
  }
}

void reapOrphans(const std::set<pid_t>& keep) {
  for (pid_t orphan : orphanedChildren(keep)) (void)retryOnEintr([&] { return ::waitpid(orphan, nullptr, WNOHANG); });
}

}  // namespace trellis::lnx
