// Profile-file parsing shared by the readers and the writer, so that a value
// written is found again by the same rules:
//  - a line ends at '\n'; a '\r' before it belongs to the terminator and is
//    kept as it was when the line is rewritten (CRLF files stay CRLF);
//  - blanks (space, tab, '\r') around every line are ignored;
//  - a line whose first character is ';' or '#' is a comment;
//  - a line starting with '[' opens a section named by the text up to the
//    first ']' (or the line end);
//  - any other line with '=' is a key: the text before the first '=' is the
//    key, the rest the value; lines without '=' are kept and ignored;
//  - only the first section of a name counts, and in it the first key of a
//    name; keys before the first section belong to no section.
// The section and key given by the caller are trimmed like the file's.
// A write refuses (returns -1, file untouched) what could not be read back as
// written: a line feed anywhere, a ']' in the section name, a key that is
// empty, holds '=', or starts with '[', ';' or '#'. A value's surrounding
// blanks are written but, like any value's, trimmed when read.
// Concurrent writers of one file are not serialised: the last rename wins.
#include "platform/ini_file.h"

#include "platform/file_util.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velt::platform {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    return true;
}

enum class LineKind { Other, Section, Key };

struct IniLine {
    std::size_t start = 0;  // first byte of the line
    std::size_t end = 0;    // end of its content, terminator excluded
    std::size_t next = 0;   // first byte of the following line
    LineKind kind = LineKind::Other;
    std::string_view name;  // section name or key, trimmed
    std::string_view value; // a key's value, trimmed
};

// Splits off the line starting at `pos`; false at the end of `text`.
bool nextLine(std::string_view text, std::size_t pos, IniLine& line) {
    if (pos >= text.size()) return false;
    line = IniLine{};
    line.start = pos;
    const std::size_t nl = text.find('\n', pos);
    line.next = nl == std::string_view::npos ? text.size() : nl + 1;
    line.end = nl == std::string_view::npos ? text.size() : nl;
    if (nl != std::string_view::npos && line.end > pos && text[line.end - 1] == '\r') --line.end;
    const std::string_view content = trim(text.substr(pos, line.end - pos));
    if (content.empty() || content.front() == ';' || content.front() == '#') return true;
    if (content.front() == '[') {
        const std::size_t close = content.find(']');
        line.kind = LineKind::Section;
        line.name = trim(content.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
        return true;
    }
    const std::size_t eq = content.find('=');
    if (eq == std::string_view::npos) return true;
    line.kind = LineKind::Key;
    line.name = trim(content.substr(0, eq));
    line.value = trim(content.substr(eq + 1));
    return true;
}

// Where a key lives in a file, or where it would go.
struct KeyLocation {
    bool sectionFound = false;
    bool keyFound = false;
    IniLine keyLine;             // the key's line when found
    std::size_t insertAt = 0;    // after the section's last key (or header) line
};

KeyLocation locate(std::string_view text, std::string_view section, std::string_view key) {
    KeyLocation loc;
    IniLine line;
    for (std::size_t pos = 0; nextLine(text, pos, line); pos = line.next) {
        if (line.kind == LineKind::Section) {
            if (loc.sectionFound) break;
            if (sameName(line.name, section)) {
                loc.sectionFound = true;
                loc.insertAt = line.next;
            }
        } else if (loc.sectionFound && line.kind == LineKind::Key) {
            loc.insertAt = line.next;
            if (sameName(line.name, key)) {
                loc.keyFound = true;
                loc.keyLine = line;
                break;
            }
        }
    }
    return loc;
}

enum class ReadResult { Ok, Missing, Failed };

// Reads the whole file in as few read() calls as its size allows.
ReadResult readWholeFile(const std::string& path, std::string& out) {
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return (errno == ENOENT || errno == ENOTDIR) ? ReadResult::Missing : ReadResult::Failed;
    struct stat st {};
    std::size_t capacity = 4096;
    if (::fstat(fd, &st) == 0 && st.st_size > 0) capacity = std::size_t(st.st_size) + 1;
    std::size_t used = 0;
    ReadResult result = ReadResult::Ok;
    for (;;) {
        if (out.size() < capacity) out.resize(capacity);
        const ssize_t n = ::read(fd, out.data() + used, out.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            result = ReadResult::Failed;
            break;
        }
        if (n == 0) break;
        used += std::size_t(n);
        if (used == out.size()) capacity = out.size() * 2;
    }
    ::close(fd);
    out.resize(result == ReadResult::Ok ? used : 0);
    return result;
}

std::string cut(std::string_view s, std::size_t bufferSize) {
    if (bufferSize == 0) return {};
    return std::string(s.substr(0, bufferSize - 1));
}

bool writableSection(std::string_view section) {
    return section.find('\n') == std::string_view::npos && section.find(']') == std::string_view::npos;
}

bool writableKey(std::string_view key) {
    return !key.empty() && key.find('\n') == std::string_view::npos &&
           key.find('=') == std::string_view::npos && key.front() != '[' && key.front() != ';' &&
           key.front() != '#';
}

}  // namespace

std::string readProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::string_view fallback,
                              std::size_t bufferSize) {
    std::string text;
    if (readWholeFile(path, text) == ReadResult::Ok) {
        const KeyLocation loc = locate(text, trim(section), trim(key));
        if (loc.keyFound) return cut(loc.keyLine.value, bufferSize);
    }
    return cut(fallback, bufferSize);
}

long readProfileInt(const std::string& path, std::string_view section, std::string_view key,
                    long fallback) {
    std::string text;
    if (readWholeFile(path, text) != ReadResult::Ok) return fallback;
    const KeyLocation loc = locate(text, trim(section), trim(key));
    return loc.keyFound ? leadingInteger(loc.keyLine.value) : fallback;
}

namespace {

// Sets one key in the text of an INI file; false when the names or the value
// could not be read back as written.
bool setKey(std::string& text, std::string_view section, std::string_view key, std::string_view value) {
    section = trim(section);
    key = trim(key);
    if (!writableSection(section) || !writableKey(key) || value.find('\n') != std::string_view::npos)
        return false;

    // New lines follow the file's own convention, taken from its first line.
    const std::size_t firstNl = text.find('\n');
    const std::string_view eol = (firstNl != std::string::npos && firstNl > 0 && text[firstNl - 1] == '\r')
                                     ? std::string_view("\r\n")
                                     : std::string_view("\n");
    std::string keyLine;
    keyLine.reserve(key.size() + 1 + value.size());
    keyLine.append(key).append("=").append(value);

    const KeyLocation loc = locate(text, section, key);
    if (loc.keyFound) {
        text.replace(loc.keyLine.start, loc.keyLine.end - loc.keyLine.start, keyLine);
    } else {
        std::string insert;
        std::size_t at = loc.sectionFound ? loc.insertAt : text.size();
        // The line before the insertion point may be the last, unterminated one.
        if (at > 0 && text[at - 1] != '\n') insert.append(eol);
        if (!loc.sectionFound) insert.append("[").append(section).append("]").append(eol);
        insert.append(keyLine).append(eol);
        text.insert(at, insert);
    }
    return true;
}

}  // namespace

int writeProfileString(const std::string& path, std::string_view section, std::string_view key,
                       std::string_view value) {
    return writeProfileStrings(path, section, {{key, value}});
}

int writeProfileStrings(const std::string& path, std::string_view section,
                        std::initializer_list<std::pair<std::string_view, std::string_view>> keyValues) {
    std::string text;
    if (readWholeFile(path, text) == ReadResult::Failed) return -1;
    for (const auto& [key, value] : keyValues)
        if (!setKey(text, section, key, value)) return -1;
    return writeFileAtomically(path, text);
}

std::vector<std::string> profileSections(const std::string& path) {
    std::vector<std::string> names;
    std::string text;
    if (readWholeFile(path, text) != ReadResult::Ok) return names;
    IniLine line;
    for (std::size_t pos = 0; nextLine(text, pos, line); pos = line.next) {
        if (line.kind != LineKind::Section) continue;
        bool seen = false;
        for (const std::string& n : names) seen = seen || sameName(n, line.name);
        if (!seen) names.emplace_back(line.name);
    }
    return names;
}

long leadingInteger(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n' ||
                               text[i] == '\v' || text[i] == '\f'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // Accumulate towards the sign so that LONG_MIN itself is reachable.
    long v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const int digit = text[i] - '0';
        if (negative) {
            if (v < (LONG_MIN + digit) / 10) return LONG_MIN;
            v = v * 10 - digit;
        } else {
            if (v > (LONG_MAX - digit) / 10) return LONG_MAX;
            v = v * 10 + digit;
        }
    }
    return v;
}

}  // namespace velt::platform
