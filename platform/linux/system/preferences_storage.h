// Preferences as files: one preferences document (tools/preferences_storage.h) per domain in one
// folder, by default $XDG_CONFIG_HOME/trellis/ (else ~/.config/trellis/). Safe from any thread
// and any number of processes at once: reads need no lock (files are only ever replaced whole, by
// rename), writes take the domain's advisory lock. The calls that replace a document go through
// DocumentFiles, the real one unless a test hands in its own.
//
// Files in the folder, for a domain file NAME:
//   preferences.json                 the standard domain
//   suite.ENCODED.json               a suite: its name with every byte outside A-Z a-z 0-9 . _ -
//                                    written as %XX (upper-case hex), so "../x" is "suite...%2Fx.json";
//                                    the prefix keeps "." and ".." from ever being a name
//   .NAME.lock                       the domain's lock file (flock), never replaced or removed
//   .NAME.tmp-XXXXXX                 a write in progress; renamed over NAME when complete
//   NAME.corrupt-YYYYMMDDTHHMMSSZ[-N]  a file that could not be read, moved aside and kept
//
// A write: take the lock (exclusive flock on the lock file), read NAME again under it, apply the
// change, write a temporary file in the same folder, fsync it, rename it over NAME, fsync the
// folder, release the lock. Two processes writing different keys of one domain therefore lose
// neither. A NAME that does not read as a document (truncated, corrupt, empty) is moved aside
// under the lock, reported once in the system log, and the domain starts empty (one that cannot be
// moved, in a read-only folder, reads as empty, is reported once per process, and writes fail); a
// NAME that cannot be read at all (permissions, I/O error) is left alone: it reads as empty and
// writes fail.
//
// Like ssh and gpg, the store refuses a folder that another user owns or that others (group or
// anyone) may write to: nothing is read from it or written to it. A write that fails is reported
// in the system log with the system's reason, which `lastPreferencesFailure` also gives.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "tools/preferences_storage.h"

namespace trellis::lnx {

inline constexpr std::string_view kStandardDomainFile = "preferences.json";
// Suite file names longer than this are refused, leaving room for the lock, temporary and
// moved-aside names within the 255 bytes a file name may take.
inline constexpr std::size_t kMaxDomainFileName = 200;

// The file name of a suite's domain; nothing for an empty name or one whose file name would be
// longer than kMaxDomainFileName.
std::optional<std::string> suiteFileName(std::string_view suiteName);

// $XDG_CONFIG_HOME/trellis when XDG_CONFIG_HOME is an absolute path, else $HOME/.config/trellis,
// else the password database's home folder; empty when none is known.
std::string defaultPreferencesFolder();

// The file operations that replace a domain's document: the temporary file made, written and
// synced, renamed over the document, removed after a failure, and the folder synced after the
// rename. Each answers as the system call it stands for: -1 (or a short count) with errno set on
// failure. The real one keeps no state and is safe from any thread.
class DocumentFiles {
 public:
  virtual ~DocumentFiles() = default;
  // mkostemp(`pathTemplate`, O_CLOEXEC): its trailing XXXXXX are replaced by the name made.
  virtual int createTemporary(std::string& pathTemplate) = 0;
  virtual ssize_t write(int fd, const void* data, std::size_t size) = 0;
  // fsync(`fd`), of a file or a folder.
  virtual int sync(int fd) = 0;
  virtual int rename(const std::string& from, const std::string& to) = 0;
  virtual int unlink(const std::string& path) = 0;
};

DocumentFiles& realDocumentFiles();

// Why this process's last failed preferences write failed ("could not write PATH: REASON"); empty
// when none has. Safe from any thread.
std::string lastPreferencesFailure();

// Why `folder` may not hold preferences (another user owns it, others may write to it), or empty
// when it may; a folder that does not exist may.
std::string preferencesFolderProblem(const std::string& folder);

class FilePreferencesDomain final : public PreferencesDomain {
 public:
  // The domain kept in `folder`/`fileName`. Nothing is touched until the first read or write; the
  // folder (and its parents) is made, mode 0700, by the first write. `files` must outlive the
  // domain.
  FilePreferencesDomain(std::string folder, std::string fileName, DocumentFiles& files = realDocumentFiles());
  ~FilePreferencesDomain() override;
  FilePreferencesDomain(const FilePreferencesDomain&) = delete;
  FilePreferencesDomain& operator=(const FilePreferencesDomain&) = delete;

  std::optional<Value> valueForKey(std::string_view key) override;
  bool update(const std::function<void(Dictionary&)>& change) override;

  // Every value stored now (empty when none or unreadable).
  Dictionary values();
  std::string path() const { return folder_ + "/" + fileName_; }

 private:
  // One version of the file. Its descriptor is kept open while it is cached, so its inode cannot
  // be reused by a later version; size and modification time catch a rewrite in place.
  struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
  };
  enum class Load { Read, Missing, Corrupt, Failed };
  struct Locked;

  // Reads the file into the cache (or keeps the cache when the file is unchanged and `useCache`);
  // `problem` says why a Corrupt file did not read. The caller holds mutex_.
  Load load(std::string* problem, bool useCache);
  // Loads for reading; a corrupt file is moved aside. True when the cache holds the values.
  bool readable();
  // The folder and the domain's lock file, with the lock taken; nullptr (errno set) when that
  // fails. With `create`, the folder is made first. A folder refused (another user's, writable by
  // others) sets `refused` to why, when given.
  std::unique_ptr<Locked> lock(bool create, std::string* refused);
  // Reports a failed write of the document and keeps it as the last failure; `reason` is the
  // system's, or the store's own.
  bool writeFailed(const std::string& reason);
  // Under the lock: moves a corrupt file aside and reports it. False when it could not be moved.
  bool moveAside(int folderFd, const std::string& problem);
  void forget();

  std::string folder_;
  std::string fileName_;
  DocumentFiles& files_;
  std::mutex mutex_;  // everything below, and one writer of this object at a time
  int cachedFd_ = -1;
  Identity cachedIdentity_;
  Load cachedResult_ = Load::Missing;
  std::string cachedProblem_;
  bool cachedReported_ = false;  // a corrupt file that could not be moved aside was reported
  bool refusalReported_ = false;  // a refused folder was reported on reading
  Dictionary cached_;
};

class FilePreferencesStorage final : public PreferencesStorage {
 public:
  // `files` must outlive every domain the storage hands out.
  explicit FilePreferencesStorage(std::string folder, DocumentFiles& files = realDocumentFiles())
      : folder_(std::move(folder)), files_(files) {}

  // Domain objects are made anew on each call; they share the files, not their caches.
  std::shared_ptr<PreferencesDomain> standardDomain() override;
  std::shared_ptr<PreferencesDomain> suiteDomain(std::string_view suiteName) override;

  const std::string& folder() const { return folder_; }

 private:
  std::string folder_;
  DocumentFiles& files_;
};

}  // namespace trellis::lnx
