// Path helpers for settings written on other systems: in every path read from
// an INI file a backslash counts as a separator and becomes '/'.
#pragma once

#include <string>
#include <string_view>

namespace velt::platform {

/// @brief Returns `path` with every backslash turned into '/'.
std::string normaliseSeparators(std::string_view path);

/// @brief Returns `dir` ending in exactly one more '/' unless it is empty or
/// already ends in one.
std::string withTrailingSeparator(std::string_view dir);

/// @brief Turns text from the recorder (station or channel name) into a safe
/// single path component: separators, control characters and bytes >= 0x7F
/// become '_', and a name that is empty, "." or ".." becomes "_".
std::string sanitiseComponent(std::string_view name);

/// @brief Creates `dir` and its missing parents; 0 on success or when it exists.
int makeDirectories(const std::string& dir);

}  // namespace velt::platform
