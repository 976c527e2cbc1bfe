// Directory listing with the wildcard semantics settings files use:
// '*' matches any run of characters, '?' one character, comparison is
// case-insensitive, and "*.*" matches every name (also names without a dot).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velt::platform {

/// @brief True when `name` matches the wildcard `pattern`.
bool matchesPattern(std::string_view pattern, std::string_view name);

/// @brief Lists the names (not paths) in `dir` matching `pattern`, "." and
/// ".." excluded, sorted by name. @return 0, or -1 when `dir` cannot be
/// listed (then `names` is empty).
int listDirectory(const std::string& dir, std::string_view pattern, std::vector<std::string>& names);

}  // namespace velt::platform
