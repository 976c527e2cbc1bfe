// fuzz-sources: platform recorder livemill/stream_converter.cpp
// Arbitrary bytes as a recorder stream through the stream state machine and
// the block decoder, from an in-memory source that can seek like the file
// reader. The converter must never read outside its buffers, whatever the
// lengths, checksums, lanes, time marks and configuration records say.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "livemill/input_source.h"
#include "livemill/stream_converter.h"
#include "outputs/output_sink.h"
#include "platform/clock.h"
#include "recorder/status_monitor.h"

namespace {

using velt::livemill::StreamPosition;

// The input as numbered "files" of 4000 bytes each, like a real-time directory.
class MemorySource final : public velt::livemill::InputSource {
public:
    static constexpr long kFileBytes = 4000;
    explicit MemorySource(const uint8_t* data, std::size_t size) : data_(data, data + size) {}
    int open() override { return 0; }
    int close() override { return 0; }
    int available() override { return at_ < data_.size() ? 1 : 0; }
    uint8_t readByte() override { return at_ < data_.size() ? data_[at_++] : 0; }
    uint8_t peekByte() override { return at_ < data_.size() ? data_[at_] : 0; }
    int getPosition(StreamPosition& p) override {
        p.file = long(at_) / kFileBytes;
        p.offset = long(at_) % kFileBytes;
        return 0;
    }
    int seek(const StreamPosition& p) override {
        const long at = p.file * kFileBytes + p.offset;
        if (p.file >= 0 && p.offset >= 0 && at >= 0) at_ = std::size_t(at) < data_.size() ? std::size_t(at) : data_.size();
        ++seeks;
        return 0;
    }
    int persist(const StreamPosition&) override { return 0; }
    int canRewind() override { return 1; }
    std::size_t seeks = 0;

private:
    std::vector<uint8_t> data_;
    std::size_t at_ = 0;
};

class CountingSink final : public velt::outputs::OutputSink {
public:
    void putSample(int32_t s) override { sum += uint32_t(s); ++samples; }
    void setTime(int32_t) override {}
    void clearSamples() override {}
    void flushChannel() override {}
    void setConfiguration(const velt::outputs::ConfigurationRecord& r) override { sum += r.sampleRate; }
    void selectChannel(int32_t) override {}
    void closeOutputs() override {}
    uint64_t samples = 0;
    uint32_t sum = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    MemorySource source(data, size);
    velt::platform::ManualClock clock;
    velt::recorder::NullStatusMonitor monitor;
    CountingSink sink;
    velt::livemill::StreamConverter converter(source, 10, clock);
    converter.setWaitAllowed(false);
    converter.attach(0, &monitor, &sink);
    // Every re-read goes back at most to an earlier block boundary, so the
    // converter ends; the bound only guards against a regression looping.
    const std::size_t limit = 64 * size + 100000;
    for (std::size_t i = 0; i < limit && !(converter.starved() && i > 0); ++i) converter.step();
    return 0;
}
