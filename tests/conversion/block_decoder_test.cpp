// The block decoder fed block by block: checks, lanes, the time base and the
// samples handed to the outputs.
#include "conversion/block_decoder.h"

#include <gtest/gtest.h>

#include "recorder/signal_generator.h"
#include "recorder/stream_encoder.h"
#include "support/recording_monitor.h"
#include "support/recording_sink.h"

namespace velt::conversion {
using namespace recorder;
namespace {

class BlockDecoderTest : public ::testing::Test {
protected:
    BlockDecoderTest() : encoder(makeSettings()), signal(3) { decoder.attach(0, &monitor, &sink); }

    static EncoderSettings makeSettings() {
        EncoderSettings s;
        s.sampleRate = 30;
        s.firstBlockNumber = 0;
        s.firstMarkSeconds = 4990;  // block n carries mark 4990 + n
        s.markInterval = 10;
        return s;
    }

    /// Encodes the next block and hands it to the decoder; returns endOfBlock's result.
    int feedNext(BlockSamples* samples = nullptr) {
        BlockSamples block;
        signal.fill(block, encoder.settings().sampleRate);
        std::vector<uint8_t> bytes;
        EXPECT_GE(encoder.encodeBlock(block, bytes), 0);
        if (samples) *samples = block;
        return feed(bytes);
    }
    int feed(const std::vector<uint8_t>& bytes) {
        for (uint8_t b : bytes) decoder.pushByte(b);
        return decoder.endOfBlock(int(bytes.size()));
    }

    platform::ManualClock clock;
    BlockDecoder decoder{clock};
    test::RecordingStatusMonitor monitor;
    test::RecordingSink sink;
    StreamEncoder encoder;
    SignalGenerator signal;
};

TEST_F(BlockDecoderTest, MarksThatAgreeSettleTheTimeBaseAndStampBlocks) {
    encoder.settings().sampleRate = 100;  // the rate of the default record
    for (int b = 0; b <= 20; ++b) ASSERT_EQ(feedNext(), 0);
    // The marks at blocks 10 and 20 (5000 and 5010) give the same offset 4990.
    EXPECT_EQ(decoder.timeBase(), 4990);
    EXPECT_EQ(decoder.agreeCount(), 1);
    decoder.startData();
    BlockSamples samples;
    ASSERT_EQ(feedNext(&samples), 0);
    ASSERT_EQ(sink.blocks.size(), 3u);
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(sink.blocks[std::size_t(c)].time, 5012);
        EXPECT_EQ(sink.blocks[std::size_t(c)].channel, c);
        EXPECT_EQ(sink.blocks[std::size_t(c)].samples, samples.channel[std::size_t(c)]);
    }
}

TEST_F(BlockDecoderTest, WithoutMarksTheFallbackTimeBaseSettlesAfter101Blocks) {
    encoder.settings().markInterval = 0;
    encoder.settings().sampleRate = 100;
    for (int b = 0; b < 100; ++b) ASSERT_EQ(feedNext(), 0);
    EXPECT_FALSE(decoder.timeSettled());
    ASSERT_EQ(feedNext(), 0);  // the 101st block without a new mark
    EXPECT_TRUE(decoder.timeSettled());
    decoder.startData();
    ASSERT_EQ(feedNext(), 0);  // block 101
    ASSERT_FALSE(sink.blocks.empty());
    EXPECT_EQ(sink.blocks.front().time, 1000000000 + 101 + 1);
}

TEST_F(BlockDecoderTest, ASettledTimeBaseOutlivesAPauseOfTheMarks) {
    encoder.settings().sampleRate = 100;  // the rate of the default record
    while (decoder.agreeCount() <= 5) ASSERT_EQ(feedNext(), 0);
    decoder.setTimeSettled();  // as the converter does once six marks agree
    decoder.startData();
    std::vector<int32_t> expected;
    auto feedBlocks = [&](int count) {
        for (int i = 0; i < count; ++i) {
            expected.push_back(int32_t(encoder.blockTime(encoder.nextBlockNumber())));
            ASSERT_EQ(feedNext(), 0);
        }
    };
    feedBlocks(20);
    encoder.settings().markInterval = 0;  // a GPS outage of 200 blocks
    feedBlocks(200);
    encoder.settings().markInterval = 10;
    feedBlocks(150);
    EXPECT_EQ(sink.times(0), expected);
}

TEST_F(BlockDecoderTest, ContinuityAndChecksum) {
    ASSERT_EQ(feedNext(), 0);  // block 0: accepted whatever its number
    encoder.damageNextBlock(BlockDamage{true, 0});
    EXPECT_EQ(feedNext(), BlockDecoder::kRejectedBlock);  // block 1, bad sum
    // A damaged block still advances the block number.
    EXPECT_EQ(monitor.lastValue("setBlockNumber", -1), 1);
    decoder.rewindBlocks();
    ASSERT_EQ(feedNext(), 0);  // block 2
    encoder.skipBlockNumbers(1);
    EXPECT_EQ(feedNext(), BlockDecoder::kRejectedBlock);  // block 4 after 2
    EXPECT_EQ(monitor.lastValue("setBlockNumber", -1), 2);  // unchanged
    decoder.rewindBlocks();
    EXPECT_EQ(feedNext(), 0);  // accepted without the continuity test
}

TEST_F(BlockDecoderTest, LaneNumbersAreReportedEveryFourBlocksAndGuarded) {
    for (int b = 0; b < 3; ++b) ASSERT_EQ(feedNext(), 0);
    EXPECT_EQ(monitor.count("setConfigNumber"), 0);
    ASSERT_EQ(feedNext(), 0);
    ASSERT_EQ(monitor.count("setConfigNumber"), 1);
    EXPECT_EQ(uint32_t(monitor.values("setConfigNumber")[0]), encoder.settings().configNumber);
    EXPECT_EQ(uint32_t(monitor.values("setRestartNumber").at(0)), encoder.settings().restartNumber & 0xFFFFFF);
    for (int b = 0; b < 4; ++b) ASSERT_EQ(feedNext(), 0);
    EXPECT_EQ(monitor.count("setConfigNumber"), 2);

    // Lane 3 is never compared; a change in lanes 0..2 is.
    encoder.settings().restartNumber ^= 0x0000FF;
    EXPECT_EQ(feedNext(), BlockDecoder::kRestartChanged);
    decoder.reset();
    encoder.settings().restartNumber ^= 0x0000FF;
    for (int b = 0; b < 4; ++b) ASSERT_EQ(feedNext(), 0);
    encoder.settings().configNumber ^= 0x00FF0000;  // lane 2
    int result = 0;
    for (int b = 0; b < 4 && result == 0; ++b) result = feedNext();
    EXPECT_EQ(result, BlockDecoder::kConfigChanged);
}

TEST_F(BlockDecoderTest, ElevenDisagreeingMarksLoseTheTimeBase) {
    for (int b = 0; b < 80; ++b) ASSERT_EQ(feedNext(), 0);
    decoder.setTimeSettled();
    encoder.setStatusHook([](uint32_t, std::array<uint8_t, kStatusBytes>& s) { s[kStMarkSeconds + 3] ^= 0x01; });
    int result = 0;
    int blocks = 0;
    while (result == 0 && blocks < 200) result = feedNext(), ++blocks;
    EXPECT_EQ(result, BlockDecoder::kTimeBaseLost);
    EXPECT_TRUE(decoder.timeLost());
    EXPECT_EQ(blocks, 101);  // blocks 80..180: the mark of block 180 is the eleventh that disagrees
}

TEST_F(BlockDecoderTest, ConfigurationIsVerifiedAgainstTheLaneNumber) {
    // The encoder sends the configuration over and over; once complete its
    // number is compared with the four-lane number.
    int blocks = 0;
    while (!decoder.configVerified() && blocks < 1000) {
        ASSERT_EQ(feedNext(), 0);
        ++blocks;
    }
    ASSERT_TRUE(decoder.configVerified());
    EXPECT_STREQ(decoder.currentRecord().stationName, encoder.settings().stationName.c_str());
    EXPECT_EQ(decoder.currentRecord().sampleRate, 30u);
    EXPECT_EQ(decoder.currentRecord().configNumber, encoder.settings().configNumber);
}

TEST_F(BlockDecoderTest, BlocksThatDoNotFitTheRateAreSkippedNotMisread) {
    while (!decoder.configVerified()) ASSERT_EQ(feedNext(), 0);
    decoder.startData();
    // The stream now carries blocks of 40 samples while the record says 30.
    encoder.settings().sampleRate = 40;
    ASSERT_EQ(feedNext(), 0);
    EXPECT_TRUE(sink.blocks.empty());
    EXPECT_EQ(decoder.lengthMismatches(), 1u);
    ASSERT_EQ(monitor.logTexts().size(), 1u);
    // Oversized garbage never overruns the buffer and is rejected.
    std::vector<uint8_t> big(12000, 0x55);
    EXPECT_EQ(feed(big), BlockDecoder::kRejectedBlock);
}

TEST(BlockDecoderRates, EveryRateRoundTrips) {
    for (int rate : {1, 2, 24, 25, 26, 100, 250, 1000, 1107}) {
        EncoderSettings s;
        s.sampleRate = rate;
        StreamEncoder encoder(s);
        SignalGenerator signal{uint64_t(rate)};
        BlockDecoder decoder;
        test::RecordingSink sink;
        decoder.attach(0, nullptr, &sink);
        int blocks = 0;
        auto feed = [&](BlockSamples* out) {
            BlockSamples block;
            signal.fill(block, rate);
            std::vector<uint8_t> bytes;
            ASSERT_GE(encoder.encodeBlock(block, bytes), 0);
            ASSERT_EQ(bytes.size(), std::size_t(blockLength(rate)));
            for (uint8_t b : bytes) decoder.pushByte(b);
            ASSERT_EQ(decoder.endOfBlock(int(bytes.size())), 0) << "rate " << rate;
            if (out) *out = block;
            ++blocks;
        };
        while (!decoder.configVerified() && blocks < 2000) feed(nullptr);
        ASSERT_TRUE(decoder.configVerified()) << "rate " << rate;
        decoder.startData();
        BlockSamples last;
        feed(&last);
        ASSERT_EQ(sink.blocks.size(), 3u);
        for (int c = 0; c < 3; ++c) EXPECT_EQ(sink.blocks[std::size_t(c)].samples, last.channel[std::size_t(c)]) << rate;
    }
}

}  // namespace
}  // namespace velt::conversion
