// Pieces every output shares: the samples of the current block of one
// channel, and the filter that skips blocks an output already holds when a
// restart delivers them again.
#pragma once

#include <array>
#include <cinttypes>
#include <cstdint>
#include <string>

#include "platform/log.h"

namespace velt::outputs {

/// The samples of one channel of the current block, gathered between
/// clearSamples() and flushChannel(). Samples beyond the capacity are
/// dropped; report() logs how many, once per block.
template <int Capacity>
class BlockBuffer {
public:
    static constexpr int kCapacity = Capacity;

    void put(int32_t sample) {
        if (count_ < Capacity)
            samples_[std::size_t(count_++)] = sample;
        else
            ++dropped_;
    }
    void clear() {
        count_ = 0;
        dropped_ = 0;
    }
    const int32_t* data() const { return samples_.data(); }
    int count() const { return count_; }

    /// @brief Logs the samples dropped from this block of `channel`, if any.
    void report(const std::string& who, int channel) {
        if (dropped_ == 0) return;
        VELT_LOG_WARNING(who, "block of channel %d too long, %" PRIu64 " samples beyond %d dropped", channel,
                         dropped_, Capacity);
        dropped_ = 0;
    }

private:
    std::array<int32_t, Capacity> samples_{};
    int count_ = 0;
    uint64_t dropped_ = 0;
};

/// After a crash the converter delivers again the blocks since its stored
/// position. Told so (OutputSink::resumeFrom), each output learns from its
/// own files the time of the last block it holds per channel and skips the
/// delivered blocks up to that time. The skipped blocks must follow one
/// another: a block that breaks the series, or the first block past the
/// last one held, ends the replay for good. Where the files cannot prove a
/// block is held, it is written (twice, at worst), never dropped.
class ReplayFilter {
public:
    /// @brief Skips consecutive blocks up to `lastHeld` from now on.
    void arm(int64_t lastHeld) {
        lastHeld_ = lastHeld;
        previous_ = kNone;
        armed_ = true;
    }
    bool armed() const { return armed_; }

    /// @brief True when the block stamped `time` is already held and must be
    /// skipped; false (and disarmed for good) otherwise.
    bool skip(int64_t time) {
        if (!armed_) return false;
        if (time <= lastHeld_ && (previous_ == kNone || time == previous_ + 1)) {
            previous_ = time;
            ++skipped_;
            return true;
        }
        armed_ = false;
        return false;
    }
    /// @brief Blocks skipped so far.
    uint64_t skipped() const { return skipped_; }

private:
    static constexpr int64_t kNone = INT64_MIN;
    int64_t lastHeld_ = kNone;
    int64_t previous_ = kNone;
    uint64_t skipped_ = 0;
    bool armed_ = false;
};

}  // namespace velt::outputs
