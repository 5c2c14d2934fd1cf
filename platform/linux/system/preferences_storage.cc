// Preferences documents in files, replaced atomically under an advisory lock. One mutex per domain
// object guards its cache; the flock on the domain's lock file orders writers across objects and
// processes. EINTR is retried in `retryOnEintr` only.
#include "platform/linux/system/preferences_storage.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/system_log.h"
#include "platform/linux/io/eintr.h"
#include "platform/linux/io/file_contents.h"
#include "platform/linux/io/text_parsing.h"

namespace trellis::lnx {

namespace {

// An owned descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  // Not retried on EINTR: Linux releases the descriptor even when close reports it.
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

class RealDocumentFiles final : public DocumentFiles {
 public:
  int createTemporary(std::string& pathTemplate) override { return ::mkostemp(pathTemplate.data(), O_CLOEXEC); }
  ssize_t write(int fd, const void* data, std::size_t size) override {
    return retryOnEintr([&] { return ::write(fd, data, size); });
  }
  int sync(int fd) override { return ::fsync(fd); }
  int rename(const std::string& from, const std::string& to) override { return ::rename(from.c_str(), to.c_str()); }
  int unlink(const std::string& path) override { return ::unlink(path.c_str()); }
};

bool writeAll(DocumentFiles& files, int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = files.write(fd, text.data(), text.size());
    if (n <= 0) {
      if (n == 0) errno = EIO;  // no progress and no reason given
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// mkdir -p, new folders mode 0700 (the XDG base folders' mode).
bool makeFolders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (!prefix.empty() && ::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The first lines of a reason, cut short for the log.
std::string shortReason(std::string reason) {
  constexpr std::size_t kMax = 200;
  if (reason.size() > kMax) reason = reason.substr(0, kMax) + "...";
  for (char& c : reason) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return reason;
}

std::mutex failureMutex;
std::string lastFailure;  // guarded by failureMutex

// Why a folder with this status may not hold preferences, or empty.
std::string folderProblem(const std::string& folder, const struct stat& info) {
  if (info.st_uid != ::geteuid()) {
    return "refusing " + folder + ": it belongs to user " + std::to_string(info.st_uid) + ", not to this user (" +
           std::to_string(::geteuid()) + ")";
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return "refusing " + folder + ": others may write to it (mode " + mode + "); make it yours alone (chmod go-w)";
  }
  return {};
}

std::string utcStamp() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y%m%dT%H%M%SZ", &utc);
  return buffer;
}

}  // namespace

std::string lastPreferencesFailure() {
  std::lock_guard<std::mutex> lock(failureMutex);
  return lastFailure;
}

std::string preferencesFolderProblem(const std::string& folder) {
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0) return {};
  return folderProblem(folder, info);
}

DocumentFiles& realDocumentFiles() {
  static RealDocumentFiles files;
  return files;
}

std::optional<std::string> suiteFileName(std::string_view suiteName) {
  if (suiteName.empty()) return std::nullopt;
  std::string name = "suite.";
  for (char c : suiteName) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '_' || c == '-';
    if (plain) {
      name.push_back(c);
    } else {
      name += '%' + hexEncode(std::string_view(&c, 1), HexCase::kUpper);
    }
    if (name.size() > kMaxDomainFileName) return std::nullopt;
  }
  name += ".json";
  if (name.size() > kMaxDomainFileName) return std::nullopt;
  return name;
}

std::string defaultPreferencesFolder() {
  // XDG: a relative XDG_CONFIG_HOME is invalid and ignored.
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return std::string(config) + "/trellis";
  std::string home;
  if (const char* variable = std::getenv("HOME"); variable != nullptr && variable[0] == '/') {
    home = variable;
  } else {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/') {
      home = found->pw_dir;
    }
  }
  if (home.empty()) return {};
  return home + "/.config/trellis";
}

// ---- FilePreferencesDomain ----

// The folder and the lock file, open for as long as the lock is held (closing releases it).
struct FilePreferencesDomain::Locked {
  Fd folder;
  Fd lock;
};

FilePreferencesDomain::FilePreferencesDomain(std::string folder, std::string fileName, DocumentFiles& files)
    : folder_(std::move(folder)), fileName_(std::move(fileName)), files_(files) {
  while (folder_.size() > 1 && folder_.back() == '/') folder_.pop_back();
}

FilePreferencesDomain::~FilePreferencesDomain() { forget(); }

void FilePreferencesDomain::forget() {
  if (cachedFd_ >= 0) ::close(cachedFd_);
  cachedFd_ = -1;
  cachedIdentity_ = Identity{};
  cachedResult_ = Load::Missing;
  cachedProblem_.clear();
  cachedReported_ = false;
  cached_.clear();
}

FilePreferencesDomain::Load FilePreferencesDomain::load(std::string* problem, bool useCache) {
  if (folder_.empty()) {
    forget();
    return Load::Failed;
  }
  if (std::string refused = preferencesFolderProblem(folder_); !refused.empty()) {
    forget();
    if (!refusalReported_) systemLog().write(kLogWarning, "preferences: " + refused);
    refusalReported_ = true;
    errno = EPERM;
    return Load::Failed;
  }
  Fd fd(openForReading(path()));
  if (!fd.ok()) {
    const int error = errno;
    forget();
    errno = error;
    return error == ENOENT ? Load::Missing : Load::Failed;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    const int error = S_ISDIR(info.st_mode) ? EISDIR : errno;
    forget();
    errno = error;
    return Load::Failed;
  }
  const Identity identity{info.st_dev, info.st_ino, info.st_size, info.st_mtim};
  if (useCache && cachedFd_ >= 0 && cachedIdentity_.device == identity.device &&
      cachedIdentity_.inode == identity.inode && cachedIdentity_.size == identity.size &&
      cachedIdentity_.modified.tv_sec == identity.modified.tv_sec &&
      cachedIdentity_.modified.tv_nsec == identity.modified.tv_nsec) {
    if (problem != nullptr) *problem = cachedProblem_;
    return cachedResult_;
  }
  const std::optional<std::string> text = readToEnd(fd.get(), kNoSizeLimit);
  if (!text) {
    const int error = errno;
    forget();
    errno = error;
    return Load::Failed;
  }
  std::string error;
  std::optional<Dictionary> values = readPreferencesDocument(*text, &error);
  forget();
  cachedFd_ = fd.release();
  cachedIdentity_ = identity;
  if (!values) {
    // Remembered too, so that a file that cannot be moved aside is not parsed on every read.
    cachedResult_ = Load::Corrupt;
    cachedProblem_ = error.empty() ? "not a preferences document" : error;
    if (problem != nullptr) *problem = cachedProblem_;
    return Load::Corrupt;
  }
  cachedResult_ = Load::Read;
  cached_ = std::move(*values);
  return Load::Read;
}

std::unique_ptr<FilePreferencesDomain::Locked> FilePreferencesDomain::lock(bool create, std::string* refused) {
  if (folder_.empty()) {
    errno = ENOENT;
    return nullptr;
  }
  if (create && !makeFolders(folder_)) return nullptr;
  auto locked = std::make_unique<Locked>();
  locked->folder.reset(retryOnEintr([&] { return ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (!locked->folder.ok()) return nullptr;
  struct stat info {};
  if (::fstat(locked->folder.get(), &info) != 0) return nullptr;
  if (std::string problem = folderProblem(folder_, info); !problem.empty()) {
    if (refused != nullptr) *refused = std::move(problem);
    return nullptr;
  }
  const std::string lockName = "." + fileName_ + ".lock";
  locked->lock.reset(retryOnEintr([&] {
    return ::openat(locked->folder.get(), lockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  }));
  if (!locked->lock.ok()) return nullptr;
  if (retryOnEintr([&] { return ::flock(locked->lock.get(), LOCK_EX); }) != 0) return nullptr;
  return locked;
}

bool FilePreferencesDomain::moveAside(int folderFd, const std::string& problem) {
  const std::string stamp = utcStamp();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string aside = fileName_ + ".corrupt-" + stamp;
    // Appended piece by piece: g++ 12 at -O3 warns (-Wrestrict) about "-" + std::to_string(...).
    if (attempt > 0) aside.append("-").append(std::to_string(attempt));
    int r = ::renameat2(folderFd, fileName_.c_str(), folderFd, aside.c_str(), RENAME_NOREPLACE);
    if (r != 0 && (errno == EINVAL || errno == ENOSYS)) {
      // A file system without RENAME_NOREPLACE: we hold the lock, so only a stranger could
      // create the name between the check and the rename.
      if (::faccessat(folderFd, aside.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0) continue;
      r = ::renameat(folderFd, fileName_.c_str(), folderFd, aside.c_str());
    }
    if (r != 0) {
      if (errno == EEXIST) continue;
      return errno == ENOENT;  // gone already: nothing left to keep
    }
    (void)files_.sync(folderFd);  // the rename is done; a failed sync only leaves it less durable
    forget();
    systemLog().write(kLogWarning, "preferences: " + path() + " could not be read (" + shortReason(problem) +
                                       "); kept as " + folder_ + "/" + aside + ", starting empty");
    return true;
  }
  return false;
}

bool FilePreferencesDomain::readable() {
  std::string problem;
  Load result = load(&problem, /*useCache=*/true);
  if (result == Load::Corrupt && !cachedReported_) {
    // Moved aside under the lock, after reading again: a writer may have replaced it meanwhile.
    bool moved = false;
    if (std::unique_ptr<Locked> locked = lock(/*create=*/false, nullptr)) {
      result = load(&problem, /*useCache=*/false);
      if (result == Load::Corrupt) moved = moveAside(locked->folder.get(), problem);
    }
    if (result == Load::Corrupt && !moved && !cachedReported_) {
      // Left in place (a read-only folder, say): it reads as empty, and is reported once.
      cachedReported_ = true;
      systemLog().write(kLogWarning, "preferences: " + path() + " could not be read (" + shortReason(problem) +
                                         ") nor moved aside, reading it as empty");
    }
  }
  return result == Load::Read;
}

Dictionary FilePreferencesDomain::values() {
  std::lock_guard<std::mutex> guard(mutex_);
  return readable() ? cached_ : Dictionary();
}

std::optional<Value> FilePreferencesDomain::valueForKey(std::string_view key) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!readable()) return std::nullopt;
  auto it = cached_.find(key);
  if (it == cached_.end()) return std::nullopt;
  return it->second;
}

bool FilePreferencesDomain::writeFailed(const std::string& reason) {
  const std::string line = "could not write " + path() + ": " + reason;
  systemLog().write(kLogError, "preferences: " + line);
  std::lock_guard<std::mutex> lock(failureMutex);
  lastFailure = line;
  return false;
}

bool FilePreferencesDomain::update(const std::function<void(Dictionary&)>& change) {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto systemReason = [] { return std::string(std::strerror(errno)); };
  std::string refused;
  std::unique_ptr<Locked> locked = lock(/*create=*/true, &refused);
  if (!locked) return writeFailed(refused.empty() ? systemReason() : refused);
  // Read afresh under the lock: what another process wrote last is what this change applies to.
  std::string problem;
  Dictionary values;
  switch (load(&problem, /*useCache=*/false)) {
    case Load::Read: values = cached_; break;
    case Load::Missing: break;
    case Load::Corrupt:
      // Never written over: the file is kept aside first, or the write fails.
      if (!moveAside(locked->folder.get(), problem)) return writeFailed("it could not be moved aside: " + systemReason());
      break;
    case Load::Failed:  // what it holds is unknown: do not replace it
      return writeFailed("it could not be read: " + systemReason());
  }
  change(values);
  std::optional<std::string> document = preferencesDocument(values);
  if (!document) return writeFailed("the values cannot be written as a preferences document");

  std::string temporary = folder_ + "/." + fileName_ + ".tmp-XXXXXX";
  Fd file(files_.createTemporary(temporary));
  if (!file.ok()) return writeFailed(systemReason());
  struct stat info {};
  if (!writeAll(files_, file.get(), *document) || files_.sync(file.get()) != 0 || ::fstat(file.get(), &info) != 0 ||
      files_.rename(temporary, path()) != 0) {
    const std::string reason = systemReason();
    (void)files_.unlink(temporary);  // nothing else to undo: the old file is untouched
    return writeFailed(reason);
  }
  // The rename is done and visible; a failed folder sync leaves it less durable, not undone.
  (void)files_.sync(locked->folder.get());
  forget();
  cachedFd_ = file.release();
  cachedIdentity_ = Identity{info.st_dev, info.st_ino, info.st_size, info.st_mtim};
  cachedResult_ = Load::Read;
  cached_ = std::move(values);
  return true;
}

// ---- FilePreferencesStorage ----

std::shared_ptr<PreferencesDomain> FilePreferencesStorage::standardDomain() {
  return std::make_shared<FilePreferencesDomain>(folder_, std::string(kStandardDomainFile), files_);
}

std::shared_ptr<PreferencesDomain> FilePreferencesStorage::suiteDomain(std::string_view suiteName) {
  std::optional<std::string> fileName = suiteFileName(suiteName);
  if (!fileName) return nullptr;
  return std::make_shared<FilePreferencesDomain>(folder_, std::move(*fileName), files_);
}

}  // namespace trellis::lnx

