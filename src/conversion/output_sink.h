// The interface every conversion output implements, and the per-input list
// that forwards each call to the outputs configured for that input.
#pragma once

#include <array>
#include <cstdint>
#include <climits>

#include "recorder/configuration_record.h"

namespace velt::conversion {

using recorder::ConfigurationRecord;

class OutputSink {
public:
    virtual ~OutputSink() = default;
    /// @brief Appends one sample of the selected channel to the block buffer.
    virtual void putSample(int32_t sample) = 0;
    /// @brief Time of the first sample of the current block, seconds since 1970 UTC.
    virtual void setTime(int32_t seconds) = 0;
    /// @brief Empties the block buffer.
    virtual void clearSamples() = 0;
    /// @brief Hands the buffered samples of the selected channel on.
    virtual void flushChannel() = 0;
    /// @brief Keeps a reference (not a copy) to the input's current record.
    virtual void setConfiguration(const ConfigurationRecord& record) = 0;
    /// @brief Selects the channel the following samples concern.
    virtual void selectChannel(int32_t channel) = 0;
    /// @brief Ends what is open or pending; later blocks are taken as before.
    virtual void closeOutputs() = 0;

    static constexpr int64_t kNothingPending = INT64_MAX;
    /// @brief Block time of the oldest block the output holds in memory and has
    /// not yet written to a file, or kNothingPending. The converter never
    /// stores a restart position past that block, so a crash loses nothing
    /// that the output had not written.
    virtual int64_t oldestPendingTime() const { return kNothingPending; }

    /// @brief Makes everything written so far durable and visible (files
    /// synced, finished files under their names, database rows stored). The
    /// converter calls it before it stores a restart position.
    /// @return 0, or -1 when something could not be made durable: the
    /// position is then not stored.
    virtual int commit() { return 0; }
    /// @brief A restart delivers again the blocks from `blockTime` on: skip
    /// those the output's files already hold (see ReplayFilter).
    virtual void resumeFrom(int64_t blockTime) { (void)blockTime; }

    /// Files begun and bytes written since the output was made.
    struct Tally {
        uint64_t files = 0;
        uint64_t bytes = 0;
    };
    virtual Tally tally() const { return {}; }
};

/// Forwards every operation to up to 20 outputs in slot order. Does not own them.
class SinkList final : public OutputSink {
public:
    static constexpr int kCapacity = 20;

    /// @brief Adds `sink` (not owned). @return 0, or -1 when all 20 slots are used.
    int add(OutputSink* sink) {
        // Members are never removed, so the used slots are always the first count_.
        if (sink == nullptr || count_ >= kCapacity) return -1;
        members_[count_++] = sink;
        return 0;
    }
    int count() const { return count_; }

    // Slots at count_ and beyond are never filled: only the used ones are looked at.
    void putSample(int32_t s) override { forEach([s](OutputSink& m) { m.putSample(s); }); }
    void setTime(int32_t t) override { forEach([t](OutputSink& m) { m.setTime(t); }); }
    void clearSamples() override { forEach([](OutputSink& m) { m.clearSamples(); }); }
    void flushChannel() override { forEach([](OutputSink& m) { m.flushChannel(); }); }
    void setConfiguration(const ConfigurationRecord& r) override {
        forEach([&r](OutputSink& m) { m.setConfiguration(r); });
    }
    void selectChannel(int32_t c) override { forEach([c](OutputSink& m) { m.selectChannel(c); }); }
    void closeOutputs() override { forEach([](OutputSink& m) { m.closeOutputs(); }); }
    int commit() override {
        int rc = 0;
        forEach([&rc](OutputSink& m) {
            if (m.commit() != 0) rc = -1;
        });
        return rc;
    }
    void resumeFrom(int64_t t) override { forEach([t](OutputSink& m) { m.resumeFrom(t); }); }
    int64_t oldestPendingTime() const override {
        int64_t oldest = kNothingPending;
        for (int i = 0; i < count_; ++i) {
            const int64_t t = members_[std::size_t(i)]->oldestPendingTime();
            if (t < oldest) oldest = t;
        }
        return oldest;
    }

private:
    template <typename Call>
    void forEach(Call call) {
        for (int i = 0; i < count_; ++i)
            call(*members_[std::size_t(i)]);
    }

    std::array<OutputSink*, kCapacity> members_{};
    int count_ = 0;
};

}  // namespace velt::conversion
