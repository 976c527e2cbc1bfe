#include "veltedit/response_tables.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/file_util.h"

namespace velt::veltedit {

namespace {

constexpr int kAreaStart = int(kResponseArea);
constexpr int kAreaBytes = int(kResponseAreaBytes);
constexpr int kNoTable = 0x00FF;
constexpr int kImageEnd = int(kImageBytes);

// A number as scanf's "%d" (base 10) or "%X" (base 16) reads it: blanks,
// a sign, digits (hexadecimal may start with 0x). Wraps instead of
// overflowing; only the low 8 bits are ever used. @return false without digits.
bool scanNumber(const std::string& text, std::size_t& at, int base, uint32_t& value) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    if (base == 16 && (text.compare(at, 2, "0x") == 0 || text.compare(at, 2, "0X") == 0)) at += 2;
    uint32_t v = 0;
    std::size_t digits = 0;
    for (; at < text.size(); ++at, ++digits) {
        const char c = text[at];
        int d = -1;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        if (d < 0) break;
        v = v * uint32_t(base) + uint32_t(d);
    }
    if (digits == 0) return false;
    value = negative ? uint32_t(0) - v : v;
    return true;
}

}  // namespace

bool ResponseList::contains(int address) const {
    for (int i = 0; i < count_; ++i)
        if (tables_[std::size_t(i)].address == address) return true;
    return false;
}

bool ResponseList::append(ResponseTable table) {
    if (count_ >= kMaxTables) return false;
    tables_[std::size_t(count_++)] = table;
    return true;
}

int ResponseList::usedSize() const {
    int used = 0;
    for (int i = 0; i < count_; ++i) used = std::max(used, tables_[std::size_t(i)].address + tables_[std::size_t(i)].size - kAreaStart);
    return used;
}

bool isTableAddress(int address) { return address != 0 && address != kNoTable && address < kImageEnd; }

ResponseForm::ResponseForm(const ResponseList& tables, Image& image) : tables_(tables), image_(image) {}

bool ResponseForm::canLoad() const { return tables_.count() < kMaxTables && tables_.usedSize() < kAreaBytes; }

std::string ResponseForm::rowText(int i) const {
    if (i < 0 || i >= tables_.count()) return std::string();
    char text[32];
    std::snprintf(text, sizeof text, "%4.4X (%d)", unsigned(tables_.at(i).address), tables_.at(i).size);
    return text;
}

int ResponseForm::load(const uint8_t* data, std::size_t size) {
    if (tables_.count() >= kMaxTables) return kNoRoom;
    if (size == 0) return kNoData;
    const int used = tables_.usedSize();
    if (used >= kAreaBytes || size + 1 > std::size_t(kAreaBytes - used)) return kNoRoom;
    const std::size_t at = kResponseArea + std::size_t(used);
    image_[at] = uint8_t(size);
    std::copy(data, data + size, image_.begin() + long(at + 1));
    tables_.append(ResponseTable{int(at), int(size) + 1});
    ++added_;
    return kLoaded;
}

int ResponseForm::loadFile(const std::string& path) {
    if (tables_.count() >= kMaxTables) return kNoRoom;
    uint8_t bytes[kMaxFileBytes];
    const long n = readFileStart(path, bytes, sizeof bytes);
    if (n <= 0) return kNoData;
    return load(bytes, std::size_t(n));
}

void ResponseForm::select(int row) {
    if (row >= 0 && row < tables_.count()) selected_ = row;
}

std::string formatPulseFile(const Image& image) {
    const int n = image[kPulseCount];
    std::string text = std::to_string(n) + "\r\n";
    for (int k = 0; k < n && k < kMaxPulseItems; ++k) {
        const std::size_t at = kPulseItems + kPulseItemBytes * std::size_t(k);
        char line[16];
        std::snprintf(line, sizeof line, "%2.2X %d\r\n", unsigned(image[at]), int(image[at + 1]));
        text += line;
    }
    return text;
}

int savePulseFile(const std::string& path, const Image& image) {
    return platform::writeFileAtomically(path, formatPulseFile(image));
}

int parsePulseFile(const uint8_t* data, std::size_t size, Image& image) {
    std::string line;
    int lines = 0;  // complete lines seen
    int items = 0;
    for (std::size_t i = 0; i < size && items < kMaxPulseItems; ++i) {
        const uint8_t c = data[i];
        if (c != '\n') {
            if (c >= 0x20 && c < 0x80) line += char(c);
            continue;
        }
        std::size_t at = 0;
        uint32_t first = 0, second = 0;
        if (lines == 0) {
            if (scanNumber(line, at, 10, first)) image[kPulseCount] = uint8_t(std::min<uint32_t>(first & 0xFF, kMaxPulseItems));
        } else {
            const std::size_t item = kPulseItems + kPulseItemBytes * std::size_t(items);
            if (scanNumber(line, at, 16, first)) {
                image[item] = uint8_t(first);
                if (scanNumber(line, at, 10, second)) image[item + 1] = uint8_t(second);
            }
            ++items;
        }
        ++lines;
        line.clear();
    }
    return lines == 0 ? -1 : items;
}

int loadPulseFile(const std::string& path, Image& image) {
    uint8_t bytes[kMaxFileBytes];
    const long n = readFileStart(path, bytes, sizeof bytes);
    if (n <= 0) return -1;
    return parsePulseFile(bytes, std::size_t(n), image);
}

long readFileStart(const std::string& path, uint8_t* out, std::size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    std::size_t got = 0;
    while (got < limit) {
        const ssize_t n = ::read(fd, out + got, limit - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return -1;
        }
        if (n == 0) break;
        got += std::size_t(n);
    }
    ::close(fd);
    return long(got);
}

}  // namespace velt::veltedit
