// Reading the small text files the kernel generates (procfs, sysfs) for the memory and disk
// sources: whole-file reads by path, and repeated reads of a file held open. The one place where
// these sources retry EINTR. Stateless; any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace trellis::lnx {

// The whole file at `path`, or nothing when it cannot be opened or read, or is larger than
// `maxSize` bytes (a file that big is not the kernel's text for what we asked).
std::optional<std::string> readKernelTextFile(const std::string& path, std::size_t maxSize = 1024 * 1024);

// Opens `path` read-only and close-on-exec. A descriptor, or -1.
int openKernelTextFile(const std::string& path);

// Up to `size` bytes from offset 0 of `fd`, which gives a fresh value for a sysfs attribute
// without reopening it. Nothing on a read error (a device that went away reports ENODEV).
std::optional<std::string> rereadKernelTextFile(int fd, std::size_t size);

// Closes a descriptor from `openKernelTextFile`.
void closeKernelTextFile(int fd);

}  // namespace trellis::lnx
