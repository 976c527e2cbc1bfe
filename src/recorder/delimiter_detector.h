// Finds block ends in the raw stream: a delimiter is recognised at the byte
// that completes four consecutive 0x7F bytes, provided the byte before those
// four is not 0x7F. It also measures block lengths and counts how many
// consecutive blocks had the same length.
#pragma once

#include <cstdint>

namespace velt::recorder {

class DelimiterDetector final {
public:
    /// @brief Shifts `b` into the history and counts it.
    void push(uint8_t b);
    /// @brief True when the newest byte completes a delimiter; then records the
    /// block length (bytes since the previous delimiter, delimiter included),
    /// updates the repeat count and restarts the byte count.
    bool check();
    /// @brief Length of the last block, or -1 after reset().
    int length() const { return length_; }
    /// @brief 0 when the last length differed from the one before, else the
    /// previous repeat count plus one.
    int repeats() const { return repeats_; }
    /// @brief Clears history and byte count; the next delimiter starts a new run.
    void reset();

private:
    uint8_t history_[7] = {};  // newest first
    int historyCount_ = 0;     // bytes in history (at most 7)
    int count_ = 0;            // bytes since the last delimiter
    int length_ = -1;
    int repeats_ = 0;
};

}  // namespace velt::recorder
