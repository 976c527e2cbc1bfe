// Arbitrary bytes as a recorder stream through the stream state machine and
// the block decoder, from an in-memory source that can seek like the file
// reader. The converter must never read outside its buffers, whatever the
// lengths, checksums, lanes, time marks and configuration records say.
// The same bytes go through twice: in passes from a source that buffers a
// file at a time (blocks are taken in one piece), and a byte per step from
// a source that buffers nothing. Both must hand the outputs exactly the same.
// Random bytes rarely get past the configuration; a real stream of two
// minutes reaches the data state:
//   veltsim write --out /tmp/s --duration 120 && cat /tmp/s/* >fuzz-build/corpus-fuzz_converter/real
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "conversion/input_source.h"
#include "conversion/stream_converter.h"
#include "conversion/output_sink.h"
#include "platform/clock.h"
#include "recorder/status_monitor.h"

namespace {

using velt::conversion::StreamPosition;

// The input as numbered "files" of 4000 bytes each, like a real-time directory.
class MemorySource final : public velt::conversion::InputSource {
public:
    static constexpr long kFileBytes = 4000;
    MemorySource(const uint8_t* data, std::size_t size, bool buffered)
        : data_(data, data + size), buffered_(buffered) {}
    int open() override { return 0; }
    int close() override { return 0; }
    int available() override {
        if (hasBuffered()) return 1;
        at_ = position();
        next_ = end_ = nullptr;
        if (at_ >= data_.size()) return 0;
        if (buffered_) {
            // The rest of the current file, as the file reader buffers it.
            const std::size_t end = std::min(data_.size(), (at_ / kFileBytes + 1) * std::size_t(kFileBytes));
            next_ = data_.data() + at_;
            end_ = data_.data() + end;
        }
        return 1;
    }
    uint8_t readByte() override {
        if (hasBuffered()) return takeBuffered();
        return at_ < data_.size() ? data_[at_++] : 0;
    }
    uint8_t peekByte() override {
        if (hasBuffered()) return *buffered();
        return at_ < data_.size() ? data_[at_] : 0;
    }
    int getPosition(StreamPosition& p) override {
        p.file = long(position()) / kFileBytes;
        p.offset = long(position()) % kFileBytes;
        return 0;
    }
    int seek(const StreamPosition& p) override {
        at_ = position();
        next_ = end_ = nullptr;
        const long at = p.file * kFileBytes + p.offset;
        if (p.file >= 0 && p.offset >= 0 && at >= 0) at_ = std::size_t(at) < data_.size() ? std::size_t(at) : data_.size();
        return 0;
    }
    int persist(const StreamPosition&) override { return 0; }
    int canRewind() override { return 1; }

private:
    std::size_t position() const { return next_ ? std::size_t(next_ - data_.data()) : at_; }

    std::vector<uint8_t> data_;
    bool buffered_;
    std::size_t at_ = 0;  // position when nothing is buffered
};

// A running hash of every call, in order.
class HashingSink final : public velt::conversion::OutputSink {
public:
    void putSample(int32_t s) override { mix(1, uint32_t(s)); }
    void setTime(int32_t t) override { mix(2, uint32_t(t)); }
    void clearSamples() override { mix(3, 0); }
    void flushChannel() override { mix(4, 0); }
    void setConfiguration(const velt::recorder::ConfigurationRecord& r) override { mix(5, r.sampleRate); }
    void selectChannel(int32_t c) override { mix(6, uint32_t(c)); }
    void closeOutputs() override { mix(7, 0); }
    uint64_t hash = 1469598103934665603ull;

private:
    void mix(uint32_t kind, uint32_t value) { hash = (hash ^ (uint64_t(kind) << 32 | value)) * 1099511628211ull; }
};

uint64_t convert(const uint8_t* data, std::size_t size, bool inPasses) {
    MemorySource source(data, size, inPasses);
    velt::platform::ManualClock clock;
    velt::recorder::NullStatusMonitor monitor;
    HashingSink sink;
    velt::conversion::StreamConverter converter(source, 4096, clock);
    converter.setWaitAllowed(false);
    converter.attach(0, &monitor, &sink);
    // Every re-read goes back at most to an earlier block boundary, so the
    // converter ends; the bound only guards against a regression looping.
    const std::size_t limit = 64 * size + 100000;
    for (std::size_t i = 0; i < limit && !(converter.starved() && i > 0); ++i) {
        if (inPasses) converter.runPass();
        else converter.step();
    }
    return sink.hash;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (convert(data, size, true) != convert(data, size, false)) __builtin_trap();
    return 0;
}
