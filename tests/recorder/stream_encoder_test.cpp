#include "recorder/stream_encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "platform/endian.h"
#include "recorder/config_stream_decoder.h"
#include "recorder/delimiter_detector.h"
#include "recorder/signal_generator.h"

namespace velt::recorder {
namespace {

// A block cut out of a stream by the delimiter rule, decoded with the layout helpers.
struct DecodedBlock {
    std::vector<uint8_t> bytes;
    bool checksumOk = false;
    uint8_t status[kStatusBytes] = {};
    std::array<std::vector<int32_t>, kChannels> samples;
};

std::vector<std::vector<uint8_t>> splitBlocks(const std::vector<uint8_t>& stream) {
    std::vector<std::vector<uint8_t>> blocks;
    DelimiterDetector d;
    std::vector<uint8_t> current;
    for (uint8_t b : stream) {
        current.push_back(b);
        d.push(b);
        if (d.check()) {
            EXPECT_EQ(d.length(), int(current.size()));
            blocks.push_back(current);
            current.clear();
        }
    }
    EXPECT_TRUE(current.empty()) << "bytes after the last delimiter";
    return blocks;
}

DecodedBlock decode(const std::vector<uint8_t>& bytes, int n) {
    DecodedBlock b;
    b.bytes = bytes;
    const int length = int(bytes.size());
    EXPECT_EQ(length, 9 * n + 35);
    if (length != 9 * n + 35) return b;
    const uint8_t* p = bytes.data();
    b.checksumOk = byteSum(p, std::size_t(length - 7)) == platform::get_u16le(p + length - 7);
    readStatus(p, n, b.status);
    for (int c = 0; c < kChannels; ++c) {
        for (int r = 0; r < n; ++r) b.samples[c].push_back(platform::get_i24be(p + sampleOffset(r, c)));
    }
    EXPECT_NE(p[length - 5], 0x7F);
    return b;
}

TEST(StreamEncoder, SmallBlockMatchesTheDocumentedLayoutByteForByte) {
    // N = 1: 44 bytes; row 0 then S[0] at 12, S[1..24] straight after it.
    BlockFrame frame;
    frame.leading = {0xA1, 0xA2, 0xA3};
    for (int i = 0; i < kStatusBytes; ++i) frame.status[std::size_t(i)] = uint8_t(i + 1);
    frame.trailer = 0x5A;
    BlockSamples samples;
    samples.channel = {std::vector<int32_t>{1}, std::vector<int32_t>{-2}, std::vector<int32_t>{0x123456}};
    std::vector<uint8_t> out;
    ASSERT_EQ(formatBlock(frame, samples, true, out), 0);
    const std::vector<uint8_t> expected = {
        0xA1, 0xA2, 0xA3,                                     // leading
        0x00, 0x00, 0x01, 0xFF, 0xFF, 0xFE, 0x12, 0x34, 0x56,  // row 0
        0x01,                                                  // S[0]
        0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D,
        0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19,  // S[1..24]
        0xC4, 0x06,              // 486 + 921 + 325 = 1732 = 0x06C4
        0x5A,                    // trailer
        0x7F, 0x7F, 0x7F, 0x7F,  // delimiter
    };
    EXPECT_EQ(out, expected);
}

TEST(StreamEncoder, FullRateBlockPutsStatusAndLateRowsAtTheirOffsets) {
    EncoderSettings s;
    s.device = 0x99;
    s.firstBlockNumber = 0x01020304;
    StreamEncoder enc(s);
    BlockSamples samples;
    for (int c = 0; c < kChannels; ++c) samples.channel[c].assign(100, 0);
    samples.channel[1][30] = -8388608;  // 0x800000
    samples.channel[2][99] = 8388607;   // 0x7FFFFF
    std::vector<uint8_t> out;
    ASSERT_EQ(enc.encodeBlock(samples, out), 0);
    ASSERT_EQ(out.size(), 935u);
    EXPECT_EQ(out[22], 0x99);                 // S[1] at 12 + 10
    EXPECT_EQ(out[32], 0x04);                 // S[2], low byte of the block number
    EXPECT_EQ(out[62], 0x01);                 // S[5]
    EXPECT_EQ(out[3 + 250 + 9 * 5 + 3], 0x80);  // row 30, channel 1
    EXPECT_EQ(out[3 + 250 + 9 * 74 + 6], 0x7F);  // row 99, channel 2
    EXPECT_EQ(out[3 + 250 + 9 * 74 + 8], 0xFF);
    EXPECT_EQ(out[931], 0x7F);  // first delimiter byte
}

TEST(StreamEncoder, RoundTripsSamplesAndStatusAtEveryRate) {
    for (int rate : {1, 2, 24, 25, 26, 100, 250, 1107}) {
        SCOPED_TRACE(rate);
        EncoderSettings s;
        s.sampleRate = rate;
        s.firstBlockNumber = 0xFFFFFFFE;  // wraps to 0 within the run
        s.configNumber = 0xA1B2C3D4;
        s.restartNumber = 0x00E5F607;
        s.startStatus = 0x3C;
        StreamEncoder enc(s);
        SignalGenerator gen{uint64_t(rate)};
        std::vector<uint8_t> stream;
        std::vector<BlockSamples> sent;
        for (int i = 0; i < 8; ++i) {
            BlockSamples b;
            gen.fill(b, rate);
            ASSERT_GE(enc.encodeBlock(b, stream), 0);
            sent.push_back(b);  // as encoded, after any change against false delimiters
        }
        const auto blocks = splitBlocks(stream);
        ASSERT_EQ(blocks.size(), 8u);
        std::map<int, uint8_t> configLane, restartLane;
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            const DecodedBlock b = decode(blocks[i], rate);
            EXPECT_TRUE(b.checksumOk);
            EXPECT_EQ(b.samples, sent[i].channel);
            const uint32_t number = statusBlockNumber(b.status);
            EXPECT_EQ(number, uint32_t(0xFFFFFFFE + i));
            EXPECT_EQ(b.status[kStDevice], s.device);
            configLane[int(number & 3)] = b.status[kStConfigByte];
            restartLane[int(number & 3)] = b.status[kStRestartByte];
        }
        EXPECT_EQ(configLane, (std::map<int, uint8_t>{{0, 0xD4}, {1, 0xC3}, {2, 0xB2}, {3, 0xA1}}));
        EXPECT_EQ(restartLane, (std::map<int, uint8_t>{{0, 0x07}, {1, 0xF6}, {2, 0xE5}, {3, 0x3C}}));
    }
}

TEST(StreamEncoder, CarriesTheConfigurationAndRepeatsIt) {
    EncoderSettings s;
    s.stationName = "ST\x10X";  // a DLE in a name is escaped
    s.channelNames = {"BHZ", "BHN", "BHE", "LHZ"};
    s.sampleRate = 0x0110;
    s.delay = 0x1010;
    s.configNumber = 0x10203010;
    StreamEncoder enc(s);
    SignalGenerator gen(7);
    std::vector<uint8_t> stream;
    const std::size_t cycle = configurationSequence(s).size();
    ASSERT_GE(enc.encodeBlocks(int(2 * cycle + 5), gen, stream), 0);

    ConfigStreamDecoder d;
    int completions = 0;
    ConfigurationRecord c;  // as completed: the next cycle's begin clears the collected record
    for (const auto& block : splitBlocks(stream)) {
        const DecodedBlock b = decode(block, s.sampleRate);
        const bool was = d.complete();
        d.feed(b.status[kStConfigStream]);
        if (d.complete() && !was) {
            ++completions;
            c = d.collected();
        }
    }
    EXPECT_EQ(completions, 2);
    EXPECT_EQ(c.configNumber, 0x10203010u);
    EXPECT_STREQ(c.stationName, "ST\x10X");
    EXPECT_EQ(c.sampleRate, 0x0110u);
    EXPECT_EQ(c.delay, 0x1010u);
    EXPECT_STREQ(c.channelName[3], "LHZ");
    EXPECT_EQ(std::memcmp(c.sensorText[2], "SENSOR_2", 8), 0);
    EXPECT_EQ(d.overlongRecords() + d.shortRecords(), 0u);

    // Without repetition, filler bytes (never DLE) follow one configuration.
    s.repeatConfiguration = false;
    StreamEncoder once(s);
    once.queueConfiguration();
    std::vector<uint8_t> stream2;
    ASSERT_GE(once.encodeBlocks(int(cycle + 3), gen, stream2), 0);
    const auto blocks = splitBlocks(stream2);
    for (std::size_t i = cycle; i < blocks.size(); ++i) {
        EXPECT_EQ(decode(blocks[i], s.sampleRate).status[kStConfigStream], kConfigFiller);
    }
}

TEST(StreamEncoder, TimeMarksAndCounter) {
    EncoderSettings s;
    s.sampleRate = 25;
    s.firstBlockNumber = 1000;
    s.firstMarkSeconds = 5000;
    s.markInterval = 10;
    StreamEncoder enc(s);
    SignalGenerator gen(3);
    std::vector<uint8_t> stream;
    ASSERT_GE(enc.encodeBlocks(21, gen, stream), 0);
    const auto blocks = splitBlocks(stream);
    ASSERT_EQ(blocks.size(), 21u);
    for (int i = 0; i < 21; ++i) {
        const DecodedBlock b = decode(blocks[std::size_t(i)], 25);
        const uint8_t expectedCounter = uint8_t(1 + i / 10);
        EXPECT_EQ(b.status[kStMarkCounter], expectedCounter) << i;
        EXPECT_EQ(statusMarkSeconds(b.status), 5000u + uint32_t(i / 10) * 10) << i;
    }
    EXPECT_EQ(enc.blockTime(1010), 5011);

    // A mark in every block: the counter runs 1..255 and never shows 0.
    s.markInterval = 1;
    StreamEncoder every(s);
    stream.clear();
    ASSERT_GE(every.encodeBlocks(300, gen, stream), 0);
    uint8_t previous = 0;
    for (const auto& block : splitBlocks(stream)) {
        const uint8_t counter = decode(block, 25).status[kStMarkCounter];
        EXPECT_NE(counter, 0);
        EXPECT_NE(counter, previous);
        previous = counter;
    }
}

TEST(StreamEncoder, AvoidsFalseDelimitersInsideBlocks) {
    // Every sample 0x7F7F7F and 0x7F in the status bytes: runs everywhere.
    EncoderSettings s;
    s.sampleRate = 30;
    s.device = 0x7F;
    s.firstBlockNumber = 0x7F7F7F7F;
    StreamEncoder enc(s);
    enc.setStatusHook([](uint32_t, std::array<uint8_t, kStatusBytes>& st) { st.fill(0x7F); });
    BlockSamples samples;
    for (auto& c : samples.channel) c.assign(30, 0x7F7F7F);
    std::vector<uint8_t> stream;
    const int adjusted = enc.encodeBlock(samples, stream);
    ASSERT_GT(adjusted, 0);
    EXPECT_EQ(enc.adjustedSamples(), uint64_t(adjusted));
    EXPECT_EQ(findDelimiterRun(stream.data(), stream.size() - 5), -1);
    const auto blocks = splitBlocks(stream);
    ASSERT_EQ(blocks.size(), 1u);
    const DecodedBlock b = decode(blocks[0], 30);
    EXPECT_TRUE(b.checksumOk);
    EXPECT_EQ(b.samples, samples.channel);  // the caller sees the changed samples
    for (const auto& c : samples.channel) {
        for (int32_t v : c) EXPECT_TRUE(v == 0x7F7F7F || v == 0x7F7F7E);
    }

    // Without avoidance the same block breaks into several "blocks".
    s.avoidFalseDelimiters = false;
    StreamEncoder raw(s);
    BlockSamples same;
    for (auto& c : same.channel) c.assign(30, 0x7F7F7F);
    std::vector<uint8_t> rawStream;
    ASSERT_EQ(raw.encodeBlock(same, rawStream), 0);
    DelimiterDetector d;
    int delimiters = 0;
    for (uint8_t x : rawStream) {
        d.push(x);
        delimiters += d.check();
    }
    EXPECT_GT(delimiters, 1);
}

TEST(StreamEncoder, DamagesOnRequestAndRejectsBadInput) {
    EncoderSettings s;
    StreamEncoder enc(s);
    SignalGenerator gen(11);
    std::vector<uint8_t> stream;

    enc.damageNextBlock({.badChecksum = true});
    ASSERT_GE(enc.encodeBlocks(1, gen, stream), 0);
    enc.damageNextBlock({.dropBytes = 10});
    ASSERT_GE(enc.encodeBlocks(1, gen, stream), 0);
    enc.skipBlockNumbers(3);
    ASSERT_GE(enc.encodeBlocks(1, gen, stream), 0);
    const auto blocks = splitBlocks(stream);
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].size(), 935u);
    EXPECT_FALSE(decode(blocks[0], 100).checksumOk);
    EXPECT_EQ(blocks[1].size(), 925u);
    EXPECT_EQ(statusBlockNumber(decode(blocks[2], 100).status), 5u);

    std::vector<uint8_t> garbage;
    StreamEncoder::appendGarbage(garbage, 5000, 99);
    EXPECT_EQ(std::count(garbage.begin(), garbage.end(), 0x7F), 0);
    std::vector<uint8_t> run;
    StreamEncoder::appendDelimiterRun(run, 6);
    EXPECT_EQ(run, std::vector<uint8_t>(6, 0x7F));

    // Bad input appends nothing and leaves the encoder where it was.
    const uint32_t next = enc.nextBlockNumber();
    const std::size_t size = stream.size();
    BlockSamples b;
    for (auto& c : b.channel) c.assign(100, 0);
    b.channel[1][5] = 1 << 23;  // outside 24 bits
    EXPECT_EQ(enc.encodeBlock(b, stream), -1);
    b.channel[1][5] = 0;
    b.channel[2].pop_back();  // unequal channels
    EXPECT_EQ(enc.encodeBlock(b, stream), -1);
    for (auto& c : b.channel) c.assign(1108, 0);
    EXPECT_EQ(enc.encodeBlock(b, stream), -1);
    for (auto& c : b.channel) c.clear();
    EXPECT_EQ(enc.encodeBlock(b, stream), -1);
    enc.settings().trailer = 0x7F;
    for (auto& c : b.channel) c.assign(100, 0);
    EXPECT_EQ(enc.encodeBlock(b, stream), -1);
    EXPECT_EQ(stream.size(), size);
    EXPECT_EQ(enc.nextBlockNumber(), next);
}

// Signed bits needed for a difference (Steim-2 field widths hold -2^(w-1)..2^(w-1)-1).
int bitsFor(int64_t d) {
    int bits = 1;
    while (d < -(int64_t(1) << (bits - 1)) || d > (int64_t(1) << (bits - 1)) - 1) ++bits;
    return bits;
}

TEST(SignalGenerator, ReproducibleWithin24BitsAndFillsEverySteim2Width) {
    SignalGenerator a(1234), b(1234), c(1235);
    bool differs = false;
    for (int i = 0; i < 1000; ++i) {
        const int32_t va = a.next(i % 3);
        EXPECT_EQ(va, b.next(i % 3));
        differs |= va != c.next(i % 3);
    }
    EXPECT_TRUE(differs);

    // Widths with the number of differences a Steim-2 word holds at that width.
    const int widths[] = {4, 5, 6, 8, 10, 15, 30};
    const int perWord[] = {7, 6, 5, 4, 3, 2, 1};
    SignalGenerator gen(42);
    for (int ch = 0; ch < kChannels; ++ch) {
        std::vector<int> bits;
        int32_t previous = gen.next(ch);
        for (int i = 0; i < 3000; ++i) {
            const int32_t v = gen.next(ch);
            EXPECT_GE(v, -(1 << 23));
            EXPECT_LE(v, (1 << 23) - 1);
            bits.push_back(bitsFor(int64_t(v) - previous));
            previous = v;
        }
        for (int w = 0; w < 7; ++w) {
            const int low = w == 0 ? 0 : widths[w - 1];
            bool found = false;
            for (std::size_t i = 0; i + std::size_t(perWord[w]) <= bits.size() && !found; ++i) {
                const int most = *std::max_element(bits.begin() + long(i), bits.begin() + long(i) + perWord[w]);
                found = most > low && most <= widths[w];
            }
            EXPECT_TRUE(found) << "channel " << ch << " width " << widths[w];
        }
    }
}

}  // namespace
}  // namespace velt::recorder
