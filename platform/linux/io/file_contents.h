// Reading files: whole files by path (the kernel's procfs and sysfs text, utmp, preferences
// documents, locale tables) and fresh values of files held open (sysfs attributes). EINTR is
// retried here and nowhere else for these reads; every descriptor opened here is close-on-exec and
// closed again before the call returns, but for the one `openForReading` hands out. Stateless;
// any thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace trellis::lnx {

// A size cap that caps nothing, for files the caller does not bound.
inline constexpr std::size_t kNoSizeLimit = SIZE_MAX;

// What `readWholeFile` reads at a path.
enum class FileKind {
  kAny,      // whatever opens for reading
  kRegular,  // regular files only: a FIFO or a device is refused without waiting on it
};

// The whole file at `path`, or nothing when it cannot be opened or read, is larger than
// `maxSize` bytes or is not of `kind`. On failure `error`, when given, holds the errno of the call
// that failed (ENOENT or ENOTDIR for a path that leads nowhere), EFBIG for a file over `maxSize`,
// or EINVAL for one not of `kind`.
std::optional<std::string> readWholeFile(const std::string& path, std::size_t maxSize,
                                         FileKind kind = FileKind::kAny, int* error = nullptr);

// What is left of `fd` from its offset to the end, under the rules of `readWholeFile`; `fd` stays
// open, its offset wherever the reads left it.
std::optional<std::string> readToEnd(int fd, std::size_t maxSize, int* error = nullptr);

// A small attribute file (sysfs, procfs) without the blanks and line ends around its text;
// nothing when it cannot be read or is over 64 KiB.
std::optional<std::string> readAttribute(const std::string& path);

// Opens `path` read-only and close-on-exec: a descriptor, or -1 with errno set (EINVAL for a file
// not of `kind`, which is refused without waiting on it).
int openForReading(const std::string& path, FileKind kind = FileKind::kAny);

// Closes `fd` unless it is negative. Never retried: Linux releases the descriptor even when close
// reports an error.
void closeFile(int fd);

// Up to `size` bytes from offset 0 of `fd`, which gives a fresh value of a sysfs attribute
// without reopening it: the count read, or -1 with errno set (a device that went away reports
// ENODEV). Allocates nothing.
ssize_t readFromStart(int fd, void* buffer, std::size_t size);

// The same as text of at most `size` bytes; nothing on a read error.
std::optional<std::string> readFromStart(int fd, std::size_t size);

// All of `fd` from offset 0 into `text`, for a procfs file read again and again through one
// descriptor: `text` keeps its capacity from call to call, so once it fits the file a read
// allocates nothing. False on a read error or a file of `maxSize` bytes or more (`error`, when given,
// then holds the errno, or EFBIG), with `text` left empty.
bool readFromStart(int fd, std::string& text, std::size_t maxSize, int* error = nullptr);

}  // namespace trellis::lnx
