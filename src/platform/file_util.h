// File helpers for the "complete or not at all" rule: files become visible
// under their final name only when complete, and a rename never overwrites
// data that are already there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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

/// @brief Renames `from` to `to` only when `to` does not exist.
/// @return 0 renamed, 1 `to` exists (nothing changed), -1 other failure.
int renameNoReplace(const std::string& from, const std::string& to);

/// @brief The first of `base`, `base.1`, `base.2`, ... that does not exist.
std::string freeName(const std::string& base);

}  // namespace velt::platform
