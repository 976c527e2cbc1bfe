// An output that remembers every block it is handed, per channel, so tests
// can compare times and samples with what the encoder put in.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "conversion/output_sink.h"

namespace velt::test {

struct RecordedBlock {
    int32_t time = 0;
    int channel = 0;
    std::vector<int32_t> samples;
    std::string station;
    uint32_t rate = 0;
};

class RecordingSink final : public conversion::OutputSink {
public:
    void putSample(int32_t s) override { buffer_.push_back(s); }
    void setTime(int32_t t) override { time_ = t; }
    void clearSamples() override { buffer_.clear(); }
    void flushChannel() override {
        RecordedBlock b;
        b.time = time_;
        b.channel = channel_;
        b.samples = buffer_;
        if (config_) {
            b.station = config_->stationName;
            b.rate = config_->sampleRate;
        }
        blocks.push_back(std::move(b));
    }
    void setConfiguration(const recorder::ConfigurationRecord& r) override { config_ = &r; }
    void selectChannel(int32_t c) override { channel_ = c; }
    void closeOutputs() override { ++closes; }

    /// Block times seen on `channel`, in order.
    std::vector<int32_t> times(int channel) const {
        std::vector<int32_t> t;
        for (const auto& b : blocks) if (b.channel == channel) t.push_back(b.time);
        return t;
    }

    std::vector<RecordedBlock> blocks;
    int closes = 0;

private:
    std::vector<int32_t> buffer_;
    int32_t time_ = 0;
    int32_t channel_ = 0;
    const recorder::ConfigurationRecord* config_ = nullptr;
};

}  // namespace velt::test
