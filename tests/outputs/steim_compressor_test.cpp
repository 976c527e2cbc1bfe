// Steim-2 compression: hand-worked word layouts, and round trips through an
// independent reader (libmseed) that must unpack every record without a
// complaint about the integration constants.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "mseed_test_support.h"
#include "outputs/mseed_header.h"
#include "outputs/steim_compressor.h"
#include "platform/calendar.h"
#include "platform/endian.h"

namespace velt::outputs {
namespace {

using platform::get_u32be;

struct Packed {
    int records = 0;
    std::vector<uint8_t> bytes;
};

recorder::ConfigurationRecord testConfig(uint32_t rate) {
    recorder::ConfigurationRecord c;
    std::strcpy(c.stationName, "ABC");
    std::strcpy(c.channelName[0], "SHZ");
    c.sampleRate = rate;
    c.delay = 0;
    return c;
}

const int64_t kStart = platform::secondsFromUtc(2021, 6, 1, 8, 0, 0);

Packed pack(const std::vector<int32_t>& samples, uint32_t rate = 100) {
    MseedHeader header = buildRunHeader(testConfig(rate), 0, kStart, 0);
    const auto b1000 = blockette1000();
    Packed p;
    p.bytes.assign(SteimCompressor::maxRecords(samples.size()) * 512, 0xAA);
    SteimCompressor compressor;
    p.records = compressor.compress(samples.data(), samples.size(), header, 512, p.bytes.data(),
                                    p.bytes.size(), b1000.data(), b1000.size());
    if (p.records >= 0) p.bytes.resize(std::size_t(p.records) * 512);
    return p;
}

// Word k of data frame f (1..7) of record r.
uint32_t word(const Packed& p, int r, int f, int k) {
    return get_u32be(p.bytes.data() + r * 512 + f * 64 + k * 4);
}

// Every record unpacks as Steim-2 without messages; the samples joined up
// equal the input, and each record starts where the previous one ended.
void expectRoundTrip(const std::vector<int32_t>& samples, const Packed& p, uint32_t rate = 100) {
    const test::DecodedFile d = test::decodeRecords(p.bytes.data(), p.bytes.size());
    EXPECT_EQ(d.failures, 0);
    EXPECT_TRUE(d.messages.empty()) << d.messages.front();
    std::vector<int32_t> joined;
    int64_t before = 0;
    for (const auto& r : d.records) {
        EXPECT_EQ(r.encoding, 11);
        EXPECT_EQ(r.recordLength, 512);
        EXPECT_EQ(r.station, "ABC");
        EXPECT_EQ(r.channel, "SHZ");
        EXPECT_DOUBLE_EQ(r.rate, double(rate));
        EXPECT_EQ(r.sampleCount, int64_t(r.samples.size()));
        // Header time: whole 0.0001-s ticks of the exact time of the first sample.
        const int64_t ticks = before * 10000 / rate;
        EXPECT_EQ(r.startMicros, kStart * 1000000 + ticks * 100) << "record after " << before;
        before += r.sampleCount;
        joined.insert(joined.end(), r.samples.begin(), r.samples.end());
    }
    EXPECT_EQ(joined, samples);
}

TEST(SteimCompressor, WordLayoutsWorkedByHand) {
    // Differences 0, -512, -512: a -512 needs 15 bits, so 0 and -512 share a
    // 2 x 15 word; the last -512 goes alone into a 30-bit word at the end.
    Packed p = pack({0, -512, -1024});
    ASSERT_EQ(p.records, 1);
    EXPECT_EQ(word(p, 0, 1, 0), 0x02800000u);  // codes: words 3 and 4 = 2
    EXPECT_EQ(word(p, 0, 1, 1), 0u);           // X0
    EXPECT_EQ(word(p, 0, 1, 2), 0xFFFFFC00u);  // Xn = -1024
    EXPECT_EQ(word(p, 0, 1, 3), 0x80007E00u);  // top 10, fields 0 and -512
    EXPECT_EQ(word(p, 0, 1, 4), 0x7FFFFE00u);  // top 01, field -512
    EXPECT_EQ(word(p, 0, 1, 5), 0u);
    EXPECT_EQ(platform::get_u16be(p.bytes.data() + 30), 3);
    expectRoundTrip({0, -512, -1024}, p);

    // -16384 is a 30-bit difference and never shares a word.
    p = pack({0, -16384});
    EXPECT_EQ(word(p, 0, 1, 0), 0x02800000u);
    EXPECT_EQ(word(p, 0, 1, 3), 0x40000000u);
    EXPECT_EQ(word(p, 0, 1, 4), 0x7FFFC000u);

    // Five 4-bit differences, then one of 8 bits: the five go out as one
    // 5 x 6-bit word (code 3, top 00), the 100 alone in a 30-bit word.
    p = pack({1, 2, 3, 4, 5, 105});
    EXPECT_EQ(word(p, 0, 1, 0), 0x03800000u);  // word 3 code 3, word 4 code 2
    EXPECT_EQ(word(p, 0, 1, 1), 1u);
    EXPECT_EQ(word(p, 0, 1, 2), 105u);
    EXPECT_EQ(word(p, 0, 1, 3), 0x01041041u);
    EXPECT_EQ(word(p, 0, 1, 4), 0x40000064u);

    // Four 8-bit differences fill a word of code 1 with no top bits.
    p = pack({100, 0, 127, -1});
    EXPECT_EQ(word(p, 0, 1, 0), 0x01000000u);
    EXPECT_EQ(word(p, 0, 1, 3), 0x649C7F80u);  // 100, -100, 127, -128
}

TEST(SteimCompressor, EveryClassAndBoundaryRoundTrips) {
    // Differences on both sides of every class limit, each class repeated so
    // that full words of every layout occur, plus the largest 24-bit swings.
    const int64_t limits[] = {7, 8, 15, 16, 31, 32, 127, 128, 511, 512, 16383, 16384};
    std::vector<int32_t> samples;
    int64_t x = 0;
    for (int64_t lim : limits) {
        for (int rep = 0; rep < 8; ++rep) {
            for (int64_t d : {lim, -lim, -lim - 1, lim + 1}) {
                x += d;
                samples.push_back(int32_t(x));
            }
        }
    }
    for (int32_t v : {8388607, -8388608, 8388607, -8388608, 0}) samples.push_back(v);
    const Packed p = pack(samples);
    ASSERT_GT(p.records, 1);
    expectRoundTrip(samples, p);
}

TEST(SteimCompressor, ConstantSignalFillsRecordsWithSevenPerWord) {
    // The first difference (the value itself) needs a 30-bit word; from then
    // on 103 words x 7 = 721 samples per record.
    const std::vector<int32_t> samples(715 + 721 * 2 + 10, 100000);
    const Packed p = pack(samples);
    ASSERT_EQ(p.records, 4);
    const test::DecodedFile d = test::decodeRecords(p.bytes.data(), p.bytes.size());
    ASSERT_EQ(d.records.size(), 4u);
    EXPECT_EQ(d.records[0].sampleCount, 715);
    EXPECT_EQ(d.records[1].sampleCount, 721);
    EXPECT_EQ(d.records[2].sampleCount, 721);
    EXPECT_EQ(d.records[3].sampleCount, 10);
    // 721 samples at 100/s advance the start by 7.21 s.
    EXPECT_EQ(d.records[2].startMicros - d.records[1].startMicros, 7210000);
    expectRoundTrip(samples, p);
    // The unused words of the last record stay zero.
    EXPECT_EQ(word(p, 3, 1, 5), 0u);
    EXPECT_EQ(word(p, 3, 7, 15), 0u);
}

TEST(SteimCompressor, NoisySignalAtSeveralRates) {
    std::mt19937 rng(20240607);
    for (uint32_t rate : {1u, 20u, 100u, 200u, 1000u, 1107u}) {
        std::normal_distribution<double> noise(0.0, 40.0);
        std::vector<int32_t> samples;
        double level = 0;
        for (int i = 0; i < 5000; ++i) {
            level += noise(rng);
            if (i % 997 == 500) level += 3e6;  // a spike now and then
            if (i % 997 == 501) level -= 3e6;
            samples.push_back(int32_t(level));
        }
        const Packed p = pack(samples, rate);
        SCOPED_TRACE(rate);
        expectRoundTrip(samples, p, rate);
    }
}

TEST(SteimCompressor, RefusesWhatDoesNotFit) {
    MseedHeader header = buildRunHeader(testConfig(100), 0, kStart, 0);
    const auto b1000 = blockette1000();
    std::vector<int32_t> samples(104, 1);
    std::vector<uint8_t> out(1024, 0);
    SteimCompressor c;
    EXPECT_EQ(c.compress(samples.data(), 0, header, 512, out.data(), out.size(), b1000.data(), 8), 0);
    // 104 samples may need two records.
    EXPECT_EQ(c.compress(samples.data(), 104, header, 512, out.data(), 512, b1000.data(), 8), -1);
    EXPECT_EQ(c.compress(samples.data(), 104, header, 4096, out.data(), 1024, b1000.data(), 8), -1);
    std::vector<uint8_t> big(32, 0);
    EXPECT_EQ(c.compress(samples.data(), 104, header, 512, out.data(), 1024, big.data(), 17), -1);
    EXPECT_EQ(std::count(out.begin(), out.end(), 0), 1024);
    EXPECT_EQ(c.compress(samples.data(), 104, header, 512, out.data(), 1024, b1000.data(), 8), 1);
}

}  // namespace
}  // namespace velt::outputs
