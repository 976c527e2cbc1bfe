// The recorder's answer to "EPR?": 32 data lines "!AAAA: HH HH ... HH"
// (the address of the line's first byte, then sixteen bytes), then the
// prompt '>'. Bytes arrive one at a time; CR is dropped, LF ends a line.
//
// A line is taken only when it starts with '!', its address (hexadecimal,
// at most the four characters after the '!') equals the number of bytes
// taken so far and all sixteen byte fields (two hexadecimal digits at
// 7 + 3 i) are there; every other line (the echo of the command, an empty
// line, a line out of order) changes nothing and is counted. The image is
// complete only when exactly 512 bytes were taken at the prompt: a missing
// or repeated line makes every later address mismatch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "veltedit/eeprom_image.h"

namespace velt::veltedit {

constexpr int kDataLineBytes = 16;
constexpr std::size_t kAddressPos = 1;
constexpr std::size_t kAddressChars = 4;
constexpr std::size_t kFirstFieldPos = 7;
constexpr std::size_t kFieldStride = 3;
constexpr std::size_t kDataLineChars = kFirstFieldPos + kFieldStride * (kDataLineBytes - 1) + 2;
static_assert(kDataLineChars == 54);

/// @brief Parses one data line (without its line end). @return true, with
/// the sixteen bytes in `out`, when it is the line for address `expected`.
bool parseDataLine(std::string_view line, int expected, uint8_t out[kDataLineBytes]);

class EprAnswer final {
public:
    static constexpr std::size_t kLineChars = 1000;  // longer lines are cut

    /// @brief Forgets everything taken so far (a new "EPR?").
    void reset();
    /// @brief Takes one received byte. @return true when it was the prompt.
    bool push(uint8_t b);

    /// @brief Exactly 512 bytes were taken (meaningful after the prompt).
    bool complete() const { return count_ == int(kImageBytes); }
    /// @brief Bytes taken so far; grows by 16 per accepted line.
    int count() const { return count_; }
    /// @brief Lines that ended and were not data lines in order.
    int ignoredLines() const { return ignored_; }
    const Image& image() const { return image_; }

private:
    void endLine();

    Image image_{};
    int count_ = 0;
    int ignored_ = 0;
    char line_[kLineChars] = {};
    std::size_t length_ = 0;
};

}  // namespace velt::veltedit
