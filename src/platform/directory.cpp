#include "platform/directory.h"

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace velt::platform {

namespace {

bool sameLetter(char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

}  // namespace

// Greedy matching with one backtrack point (the last '*'): linear in practice
// and never recursive, whatever the pattern.
bool matchesPattern(std::string_view pattern, std::string_view name) {
    if (pattern == "*.*") return true;
    std::size_t p = 0, n = 0;
    std::size_t starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || sameLetter(pattern[p], name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

int listDirectory(const std::string& dir, std::string_view pattern, std::vector<std::string>& names) {
    names.clear();
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (d == nullptr) return -1;
    for (;;) {
        errno = 0;
        const dirent* e = ::readdir(d);
        if (e == nullptr) break;
        const std::string_view name(e->d_name);
        if (name == "." || name == "..") continue;
        if (matchesPattern(pattern, name)) names.emplace_back(name);
    }
    const bool failed = errno != 0;
    ::closedir(d);
    if (failed) {
        names.clear();
        return -1;
    }
    std::sort(names.begin(), names.end());
    return 0;
}

}  // namespace velt::platform
