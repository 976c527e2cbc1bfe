#include "platform/paths.h"

#include <cerrno>
#include <sys/stat.h>

namespace velt::platform {

std::string normaliseSeparators(std::string_view path) {
    std::string out(path);
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}

std::string withTrailingSeparator(std::string_view dir) {
    std::string out(dir);
    if (!out.empty() && out.back() != '/') out.push_back('/');
    return out;
}

std::string sanitiseComponent(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return "_";
    std::string out(name);
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || u < 0x20 || u >= 0x7F) c = '_';
    }
    return out;
}

namespace {

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

// An empty `dir` names the working directory, which exists.
int makeDirectories(const std::string& dir) {
    if (dir.empty() || isDirectory(dir)) return 0;
    // Create every prefix ending before a '/', then the whole path; a prefix
    // that exists already (possibly made by another process meanwhile) is fine.
    for (std::size_t pos = dir.find('/', 1); ; pos = dir.find('/', pos + 1)) {
        const std::string prefix = dir.substr(0, pos);
        if (!prefix.empty() && prefix.back() != '/' && ::mkdir(prefix.c_str(), 0755) != 0 &&
            errno != EEXIST)
            return -1;
        if (pos == std::string::npos) break;
    }
    return isDirectory(dir) ? 0 : -1;
}

}  // namespace velt::platform
