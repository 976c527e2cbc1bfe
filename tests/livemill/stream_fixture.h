// Builds an input directory from encoded blocks and runs one input's reader
// and stream converter over it, recording what reaches the outputs and what
// the converter reports.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "livemill/input_reader.h"
#include "conversion/stream_converter.h"
#include "platform/clock.h"
#include "platform/ini_file.h"
#include "recorder/signal_generator.h"
#include "recorder/status_monitor.h"
#include "recorder/stream_encoder.h"
#include "support/recording_monitor.h"
#include "support/recording_sink.h"
#include "support/temp_dir.h"

namespace velt::test {

/// A recorded stream: bytes plus, per block number, the samples put in.
struct EncodedStream {
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> blockNumbers;              // in stream order
    std::vector<recorder::BlockSamples> samples;     // same order
    std::vector<int64_t> times;                      // the time each block must get
};

/// Encodes `count` blocks with `encoder`, drawing samples from `signal`.
inline void encode(recorder::StreamEncoder& encoder, recorder::SignalGenerator& signal, int count,
                   EncodedStream& out) {
    for (int i = 0; i < count; ++i) {
        recorder::BlockSamples block;
        signal.fill(block, encoder.settings().sampleRate);
        const uint32_t number = encoder.nextBlockNumber();
        ASSERT_GE(encoder.encodeBlock(block, out.bytes), 0);
        out.blockNumbers.push_back(number);
        out.samples.push_back(block);
        out.times.push_back(encoder.blockTime(number));
    }
}

class StreamFixture : public ::testing::Test {
protected:
    StreamFixture() : ini(dir.file("input.ini")) {
        platform::writeProfileString(ini, "INPUT", "INDIR", dir.path() + "/rt");
        std::filesystem::create_directory(dir.path() + "/rt");
    }

    std::string rtDir() const { return dir.path() + "/rt"; }

    void start(int persistInterval = 0) {
        converter.reset();
        reader = std::make_unique<livemill::InputReader>(ini, clock, persistInterval);
        reader->open();
        converter = std::make_unique<conversion::StreamConverter>(*reader, 10, clock);
        converter->setWaitAllowed(false);
        converter->attach(0, &monitor, &sink);
    }
    /// An orderly stop: the position is stored while the converter can still
    /// commit its outputs, then both go.
    void stop() {
        reader->flush();
        converter.reset();
        reader.reset();
    }

    /// Runs until the reader has had nothing to give for a few steps in a row.
    void runToEnd(long maxSteps = 50'000'000) {
        int dry = 0;
        for (long i = 0; i < maxSteps && dry < 3; ++i) {
            converter->step();
            dry = converter->starved() ? dry + 1 : 0;
        }
    }

    /// Every block of `stream` from index `from` on reached the sink once, in order.
    void expectDelivered(const EncodedStream& stream, std::size_t from, std::size_t to, std::size_t sinkFirst = 0) {
        ASSERT_GE(sink.blocks.size(), sinkFirst + 3 * (to - from));
        for (std::size_t i = from; i < to; ++i) {
            for (int c = 0; c < 3; ++c) {
                const auto& got = sink.blocks[sinkFirst + 3 * (i - from) + std::size_t(c)];
                ASSERT_EQ(got.channel, c);
                ASSERT_EQ(got.time, stream.times[i]) << "block " << i;
                ASSERT_EQ(got.samples, stream.samples[i].channel[std::size_t(c)]) << "block " << i;
            }
        }
    }

    TempDir dir;
    std::string ini;
    platform::ManualClock clock{1'800'000'000};
    RecordingStatusMonitor monitor;
    RecordingSink sink;
    std::unique_ptr<livemill::InputReader> reader;
    std::unique_ptr<conversion::StreamConverter> converter;
};

}  // namespace velt::test
