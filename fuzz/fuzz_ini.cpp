// Profile files of arbitrary bytes. The input is "SECTION\0KEY\0VALUE\0FILE":
// the first three fields name what is written (missing fields take "S", "K",
// "v"), the rest is the file. Checked on every input:
//  - reads never return more than the buffer allows, and a shorter buffer
//    gives a prefix of the longer read;
//  - the integer read agrees with the string read;
//  - a write is refused exactly for names and values that could not be read
//    back (a line feed anywhere, ']' in the section, a key that is empty,
//    holds '=' or starts with '[', ';' or '#'); a refused write leaves the file
//    as it was;
//  - after a write the key reads back as the value with its surrounding blanks
//    (space, tab, CR) trimmed, a different key keeps its value, and the file
//    differs from the old one in at most one line plus the inserted lines.
#include "platform/ini_file.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

using namespace velt::platform;

namespace {

std::string scratchDir;

void removeScratch() {
    ::unlink((scratchDir + "/f.ini").c_str());
    ::rmdir(scratchDir.c_str());
}

// A private folder for the file, removed when the run ends.
std::string scratchFile() {
    // tmpfs when there is one: every write is flushed to disk otherwise.
    struct stat st {};
    const std::string dir = (::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)) ? "/dev/shm" : "/tmp";
    std::string tmpl = dir + "/velt-fuzz-ini-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    scratchDir = tmpl;
    std::atexit(removeScratch);
    return tmpl + "/f.ini";
}

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_ini: %s\n", what);
        std::abort();
    }
}

std::string_view trim(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

bool writable(std::string_view section, std::string_view key, std::string_view value) {
    section = trim(section);
    key = trim(key);
    const auto has = [](std::string_view s, char c) { return s.find(c) != std::string_view::npos; };
    return !has(section, '\n') && !has(section, ']') && !key.empty() && !has(key, '\n') &&
           !has(key, '=') && key.front() != '[' && key.front() != ';' && key.front() != '#' &&
           !has(value, '\n');
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Reads one key; present tells whether the file has it.
std::string readKey(const std::string& path, std::string_view section, std::string_view key,
                    std::size_t size, bool& present) {
    const std::string a = readProfileString(path, section, key, "\x01" "A", size);
    const std::string b = readProfileString(path, section, key, "\x01" "B", size);
    present = a == b;
    return a;
}

bool sameName(std::string_view a, std::string_view b) {
    a = trim(a);
    b = trim(b);
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = scratchFile();
    std::string_view in(reinterpret_cast<const char*>(data), size);
    std::string_view field[3] = {"S", "K", "v"};
    for (auto& f : field) {
        const std::size_t nul = in.find('\0');
        if (nul == std::string_view::npos) break;
        f = in.substr(0, nul);
        in.remove_prefix(nul + 1);
    }
    const std::string_view section = field[0], key = field[1], value = field[2];
    const std::string file(in);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << file;
    }

    const std::size_t big = file.size() + 16;
    bool present = false;
    const std::string full = readKey(path, section, key, big, present);
    for (std::size_t cutSize : {std::size_t(0), std::size_t(1), std::size_t(5)}) {
        const std::string cut = readProfileString(path, section, key, "fallback", cutSize);
        check(cut.size() + 1 <= std::max<std::size_t>(cutSize, 1), "value longer than the buffer");
        if (present) check(full.compare(0, cut.size(), cut) == 0, "cut value is not a prefix");
    }
    const long n = readProfileInt(path, section, key, -777);
    check(present ? n == leadingInteger(full) : n == -777, "integer disagrees with string");

    // A second key that must survive the write.
    const std::string_view otherSection = "COMMON", otherKey = "KEY";
    const bool otherIsWritten = sameName(otherSection, section) && sameName(otherKey, key);
    bool otherPresent = false;
    const std::string otherBefore = readKey(path, otherSection, otherKey, big, otherPresent);

    const int r = writeProfileString(path, section, key, value);
    const std::string after = slurp(path);
    if (!writable(section, key, value)) {
        check(r == -1, "write of an unreadable name accepted");
        check(after == file, "refused write changed the file");
        return 0;
    }
    check(r == 0, "valid write failed");
    bool backPresent = false;
    const std::string back = readKey(path, section, key, after.size() + 16, backPresent);
    check(backPresent && back == trim(value), "written value does not read back");
    if (!otherIsWritten) {
        bool otherNowPresent = false;
        const std::string otherAfter = readKey(path, otherSection, otherKey, after.size() + 16, otherNowPresent);
        check(otherNowPresent == otherPresent && otherAfter == otherBefore, "another key changed");
    }
    // What the write removed from the old file lies within one line.
    std::size_t prefix = 0;
    while (prefix < file.size() && prefix < after.size() && file[prefix] == after[prefix]) ++prefix;
    std::size_t suffix = 0;
    while (suffix < file.size() - prefix && suffix < after.size() - prefix &&
           file[file.size() - 1 - suffix] == after[after.size() - 1 - suffix])
        ++suffix;
    const std::string_view removed = std::string_view(file).substr(prefix, file.size() - prefix - suffix);
    check(removed.find('\n') == std::string_view::npos, "write changed more than one line");
    return 0;
}
