// File helpers for the "complete or not at all" rule: files become visible
// under their final name only when complete, and a rename never overwrites
// data that are already there.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velt::platform {

bool fileExists(const std::string& path);

/// @brief Writes all `size` bytes to `fd`, resuming after short writes and
/// interrupts. @return false on a write error (errno tells which).
bool writeFully(int fd, const void* data, std::size_t size);

/// @brief Size of the file in bytes, or -1 when it cannot be examined.
int64_t fileSize(const std::string& path);

/// @brief Writes `data` to a temporary file beside `path`, flushes it to disk
/// and renames it over `path`. @return 0, or -1 (the old file is untouched).
int writeFileAtomically(const std::string& path, std::string_view data);

/// @brief Like writeFileAtomically, but never replaces: the file appears
/// under `path` only when no file of that name exists.
/// @return 0 written, 1 `path` exists (nothing written), -1 failure.
int createFileAtomically(const std::string& path, std::string_view data);

/// @brief Makes the files behind `fds` durable: fsync each when they are
/// few, otherwise one syncfs per file system they live on (far cheaper than
/// a sync per file when a second of conversion finished thousands of them)
/// where that file system is local ext2/3/4, xfs or btrfs, and fsync each
/// elsewhere (a FUSE or network file system may answer syncfs without
/// persisting anything). With `oneFileSystem` the caller knows they all
/// live on one file system.
/// @return 0, or -1 when any sync failed (errno tells which).
int syncFiles(const std::vector<int>& fds, bool oneFileSystem = false);

/// @brief Makes renames and new names in `dir` durable (best effort: some
/// file systems refuse fsync on a directory).
void syncDirectory(const std::string& dir);

/// @brief Last modification of a file, nanoseconds since 1970: tells which
/// of several files was written last.
inline int64_t modifiedNanos(const struct stat& st) {
    return int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

/// @brief The folder part of `path` ("." when it has none).
std::string directoryOf(const std::string& path);

/// @brief Renames `from` to `to` only when `to` does not exist.
/// @return 0 renamed, 1 `to` exists (nothing changed), -1 other failure.
int renameNoReplace(const std::string& from, const std::string& to);

/// @brief Opens a new, empty file without a name in folder `dir`, readable
/// and writable by the owner: its data can be written and synced before it
/// gets a name, so it appears complete or not at all with a single new
/// directory entry. @return the descriptor, or -1 (errno tells why; file
/// systems without such files answer EOPNOTSUPP, EISDIR or EINVAL).
int openUnnamed(const std::string& dir);

/// @brief Gives the file behind `fd` (from openUnnamed) the name `path`,
/// never replacing a file. @return 0 named, 1 `path` exists, -1 other failure.
int nameUnnamed(int fd, const std::string& path);

/// @brief Raises the soft limit of open descriptors to the hard limit (a
/// converter keeps finished files open until their batch is named).
void raiseOpenFileLimit();

/// @brief The soft limit of open descriptors.
std::size_t openFileLimit();

/// @brief The first of `base`, `base.1`, `base.2`, ... that does not exist.
std::string freeName(const std::string& base);

}  // namespace velt::platform
