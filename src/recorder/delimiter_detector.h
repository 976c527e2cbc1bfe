// Finds block ends in the raw stream: a delimiter is recognised at the byte
// that completes four consecutive 0x7F bytes, provided the byte before those
// four is not 0x7F. It also measures block lengths and counts how many
// consecutive blocks had the same length.
//
// The rule is equivalent to "the current run of 0x7F bytes, counted from the
// last other byte, has just reached four", so the detector keeps that run
// length instead of a byte history: push() and check() run for every byte
// of every stream and stay inline and branch-light.
//
// A stream start (or reset()) counts as a non-0x7F byte before the run.
// check() reports each pushed byte at most once, so a second call without a
// push cannot count a zero-length block; the byte count saturates at INT_MAX
// in endless streams without delimiters.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velt::recorder {

class DelimiterDetector final {
public:
    /// @brief Takes the next byte of the stream and counts it.
    void push(uint8_t b) {
        run_ = b == 0x7F ? (run_ < 5 ? run_ + 1 : 5) : 0;
        if (count_ < INT_MAX) ++count_;
        unchecked_ = true;
    }
    /// @brief push() for the `n` bytes at `bytes`, stopping after the first
    /// that completes a delimiter (check() then reports it).
    /// @return the bytes taken.
    std::size_t pushUntilDelimiter(const uint8_t* bytes, std::size_t n) {
        // Locals: the compiler cannot keep members in registers across the
        // byte loads, which may alias them.
        int run = run_;
        int count = count_;
        std::size_t i = 0;
        while (i < n) {
            if (run == 0) {
                // Outside a run of 0x7F bytes nothing happens until the next one.
                const void* hit = std::memchr(bytes + i, 0x7F, n - i);
                const std::size_t next = hit ? std::size_t(static_cast<const uint8_t*>(hit) - bytes) : n;
                const std::size_t skipped = next - i;
                count = skipped > std::size_t(INT_MAX - count) ? INT_MAX : count + int(skipped);
                i = next;
                if (i == n) break;
            }
            run = bytes[i++] == 0x7F ? (run < 5 ? run + 1 : 5) : 0;
            if (count < INT_MAX) ++count;
            if (run == 4) break;
        }
        run_ = run;
        count_ = count;
        if (i > 0) unchecked_ = true;
        return i;
    }
    /// @brief True when the newest byte completes a delimiter; then records the
    /// block length (bytes since the previous delimiter, delimiter included),
    /// updates the repeat count and restarts the byte count.
    bool check() {
        if (!unchecked_) return false;
        unchecked_ = false;
        if (run_ != 4) return false;
        repeats_ = (count_ == length_) ? repeats_ + 1 : 0;
        length_ = count_;
        count_ = 0;
        return true;
    }
    /// @brief Length of the last block, or -1 after reset().
    int length() const { return length_; }
    /// @brief 0 when the last length differed from the one before, else the
    /// previous repeat count plus one.
    int repeats() const { return repeats_; }
    /// @brief Forgets the bytes seen; the next delimiter starts a new run.
    void reset() {
        run_ = 0;
        count_ = 0;
        length_ = -1;
        repeats_ = 0;
        unchecked_ = false;
    }

private:
    int run_ = 0;              // 0x7F bytes in a row up to the newest (capped at 5)
    int count_ = 0;            // bytes since the last delimiter
    int length_ = -1;
    int repeats_ = 0;
    bool unchecked_ = false;   // newest byte not yet examined by check()
};

}  // namespace velt::recorder
