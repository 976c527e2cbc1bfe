// The interface every conversion output implements, and the per-input list
// that forwards each call to the outputs configured for that input.
#pragma once

#include <array>
#include <cstdint>

#include "recorder/configuration_record.h"

namespace velt::outputs {

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

private:
    template <typename Call>
    void forEach(Call call) {
        for (int i = 0; i < count_; ++i)
            call(*members_[std::size_t(i)]);
    }

    std::array<OutputSink*, kCapacity> members_{};
    int count_ = 0;
};

}  // namespace velt::outputs
