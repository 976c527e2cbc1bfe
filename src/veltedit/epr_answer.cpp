#include "veltedit/epr_answer.h"

#include <algorithm>

namespace velt::veltedit {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

bool parseDataLine(std::string_view line, int expected, uint8_t out[kDataLineBytes]) {
    if (line.size() < kDataLineChars || line[0] != '!') return false;
    int address = 0;
    std::size_t digits = 0;
    for (; digits < kAddressChars; ++digits) {
        const int d = hexDigit(line[kAddressPos + digits]);
        if (d < 0) break;
        address = address * 16 + d;
    }
    if (digits == 0 || address != expected) return false;
    uint8_t bytes[kDataLineBytes];
    for (int i = 0; i < kDataLineBytes; ++i) {
        const std::size_t at = kFirstFieldPos + kFieldStride * std::size_t(i);
        const int high = hexDigit(line[at]);
        const int low = hexDigit(line[at + 1]);
        if (high < 0 || low < 0) return false;
        bytes[i] = uint8_t(high * 16 + low);
    }
    std::copy(bytes, bytes + kDataLineBytes, out);
    return true;
}

void EprAnswer::reset() {
    count_ = 0;
    ignored_ = 0;
    length_ = 0;
}

bool EprAnswer::push(uint8_t b) {
    if (b == '>') return true;
    if (b == '\n') {
        endLine();
    } else if (b != '\r' && length_ < kLineChars) {
        line_[length_++] = char(b);
    }
    return false;
}

void EprAnswer::endLine() {
    uint8_t bytes[kDataLineBytes];
    if (parseDataLine(std::string_view(line_, length_), count_, bytes)) {
        // A line for address 200 matches but has no place: it is not stored,
        // and the count past 512 makes the read fail.
        if (count_ + kDataLineBytes <= int(kImageBytes))
            std::copy(bytes, bytes + kDataLineBytes, image_.begin() + count_);
        count_ += kDataLineBytes;
    } else {
        ++ignored_;
    }
    length_ = 0;
}

}  // namespace velt::veltedit
