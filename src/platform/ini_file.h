// INI profile files with the classic profile-file semantics every VELT
// program's settings rely on:
//  - sections and keys compare case-insensitively, the first match wins;
//  - blanks around sections, keys and values are trimmed;
//  - an absent file, section or key gives the default;
//  - a text value is cut to the caller's buffer length less one;
//  - an integer is read from leading decimal digits with an optional sign
//    ("12abc" is 12, "abc" is 0), an absent key gives the default;
//  - a write replaces (or adds) one key and keeps every other line, comment
//    and the order; it goes to a temporary file in the same folder that is
//    flushed and renamed over the original, so a crash never leaves a torn
//    file. A missing file or section is created.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

namespace velt::platform {

/// @brief Reads `key` of `section` from the file at `path`; the value (or
/// `fallback`) is cut to `bufferSize - 1` characters. Never fails.
std::string readProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::string_view fallback,
                              std::size_t bufferSize);

/// @brief Reads `key` of `section` as an integer; `fallback` when absent.
long readProfileInt(const std::string& path, std::string_view section,
                    std::string_view key, long fallback);

/// @brief Sets `key` of `section` to `value`, atomically replacing the file.
/// @return 0 on success, -1 when the file could not be written (the old file
/// is then left as it was).
int writeProfileString(const std::string& path, std::string_view section,
                       std::string_view key, std::string_view value);

/// @brief Sets several keys of one section in a single atomic replacement of
/// the file, so that values that belong together (a file number and an
/// offset) are never stored half-updated. @return 0, or -1 (file unchanged).
int writeProfileStrings(const std::string& path, std::string_view section,
                        std::initializer_list<std::pair<std::string_view, std::string_view>> keyValues);

/// @brief The names of the sections of the file at `path`, in file order
/// (each once, as first written); empty when the file cannot be read.
std::vector<std::string> profileSections(const std::string& path);

/// @brief The integer rule on its own: leading blanks, optional sign,
/// leading decimal digits; 0 when there are none. Saturates at the long range.
long leadingInteger(std::string_view text);

}  // namespace velt::platform
