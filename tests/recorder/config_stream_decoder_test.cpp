#include "recorder/config_stream_decoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "recorder/stream_encoder.h"
#include "support/recording_monitor.h"

namespace velt::recorder {
namespace {

void feedAll(ConfigStreamDecoder& d, const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) d.feed(b);
}

std::vector<uint8_t> text(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

TEST(ConfigurationRecord, DefaultsAtConstruction) {
    const ConfigurationRecord r;
    EXPECT_EQ(r.configNumber, 0x123456A0u);
    EXPECT_STREQ(r.stationName, "VELTTEST");
    EXPECT_EQ(r.sampleRate, 100u);
    EXPECT_EQ(r.delay, 0xD623u);
    EXPECT_STREQ(r.channelName[2], "CHAN_2");
    EXPECT_STREQ(r.channelName[3], "");
    EXPECT_EQ(std::memcmp(r.sensorText[1], "SNAMCM_1", 8), 0);
    EXPECT_EQ(r.sensorText[1][8], 0);
    EXPECT_EQ(r.sensorText[3][0], 0);
    EXPECT_EQ(r.channelParams[0][0], 0x20);
    EXPECT_EQ(r.channelParams[2][8], 0x60 + 8);
    EXPECT_EQ(r.channelParams[3][0], 0);
    EXPECT_EQ(r.channelTextLength[2], 10u);
    EXPECT_EQ(r.channelTextLength[3], 0u);
    EXPECT_EQ(r.channelText[2][9], (0xF0 + 9) % 256);  // wraps modulo 256
    EXPECT_EQ(r.channelText[2][10], 0);
}

TEST(ConfigStreamDecoder, FramingAndEscaping) {
    ConfigStreamDecoder d;
    // DLE DLE inside a record is one data byte 0x10.
    feedAll(d, {0x10, 0xFE, 0x41, 0x10, 0x10, 0x42, 0x10, 0x03});
    EXPECT_STREQ(d.live().stationName, "A\x10"
                                       "B");

    // DLE + a byte that is neither DLE, ETX nor an opening code drops both.
    feedAll(d, {0x10, 0xFE, 'X', 0x10, 0x55, 'Y', 0x10, 0x03});
    EXPECT_STREQ(d.live().stationName, "XY");

    // A record interrupted by a new opening code is abandoned.
    feedAll(d, {0x10, 0xFE, 'O', 'L', 'D', 0x10, 0xFE, 'N', 'E', 'W', 0x10, 0x03});
    EXPECT_STREQ(d.live().stationName, "NEW");

    // Names are cut: station to 10, channel to 5 characters.
    feedAll(d, configRecord(kCodeStationName, text("ABCDEFGHIJKL")));
    EXPECT_STREQ(d.live().stationName, "ABCDEFGHIJ");
    std::vector<uint8_t> channel = {1};
    for (char c : std::string("LONGNAME")) channel.push_back(uint8_t(c));
    feedAll(d, configRecord(kCodeChannelName, channel));
    EXPECT_STREQ(d.live().channelName[1], "LONGN");

    // The encoder's framing doubles every DLE in the payload.
    EXPECT_EQ(configRecord(kCodeDelay, {0x10, 0x27}), std::vector<uint8_t>({0x10, 0xEF, 0x10, 0x10, 0x27, 0x10, 0x03}));
    feedAll(d, configRecord(kCodeDelay, {0x10, 0x27}));
    EXPECT_EQ(d.live().delay, 0x2710u);
}

TEST(ConfigStreamDecoder, LiveAndCollectedCopies) {
    test::RecordingStatusMonitor monitor;
    ConfigStreamDecoder d;
    d.setMonitor(&monitor, 3);

    // Outside begin/end only the live copy changes, and nothing is reported.
    feedAll(d, configRecord(kCodeStationName, text("LIVE")));
    feedAll(d, configRecord(kCodeSampleRate, {0x00, 0xC8, 0x00}));
    feedAll(d, configRecord(kCodeEnd, {0x78, 0x56, 0x34, 0x12}));
    EXPECT_STREQ(d.live().stationName, "LIVE");
    EXPECT_EQ(d.live().sampleRate, 200u);
    EXPECT_EQ(d.live().configNumber, 0x12345678u);
    EXPECT_STREQ(d.collected().stationName, "VELTTEST");
    EXPECT_EQ(d.collected().sampleRate, 100u);
    EXPECT_EQ(d.collected().configNumber, 0x123456A0u);
    EXPECT_FALSE(d.complete());
    EXPECT_TRUE(monitor.calls.empty());

    // Begin clears the collected fields except rate and channel parameters.
    feedAll(d, configRecord(kCodeBegin, {}));
    EXPECT_EQ(d.collected().configNumber, 0u);
    EXPECT_STREQ(d.collected().stationName, "");
    EXPECT_STREQ(d.collected().channelName[0], "");
    EXPECT_EQ(d.collected().delay, 0u);
    EXPECT_EQ(d.collected().sensorText[0][0], 0);
    EXPECT_EQ(d.collected().channelTextLength[0], 0u);
    EXPECT_EQ(d.collected().channelText[0][0], 0);
    EXPECT_EQ(d.collected().sampleRate, 100u);
    EXPECT_EQ(d.collected().channelParams[0][0], 0x20);

    feedAll(d, configRecord(kCodeStationName, text("STA")));
    feedAll(d, configRecord(kCodeChannelName, {2, 'B', 'H', 'Z'}));
    feedAll(d, configRecord(kCodeSampleRate, {0xAA, 0x53, 0x04}));  // b0 unused: 0x0453 = 1107
    feedAll(d, configRecord(kCodeDelay, {0x34, 0x12}));
    feedAll(d, configRecord(kCodeSensorText, {1, 'S', 'T', 'S', '-', '2', 0, 0, 0}));
    feedAll(d, configRecord(kCodeChannelParams, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    feedAll(d, configRecord(kCodeIgnored, {1, 2, 3}));
    feedAll(d, configRecord(kCodePosition, {1, 0x3F, 0x80, 0, 0, 0x40, 0, 0, 0, 0x42, 0xC8, 0, 0}));
    EXPECT_FALSE(d.complete());
    feedAll(d, configRecord(kCodeEnd, {0x01, 0x00, 0x26, 0x20}));
    EXPECT_TRUE(d.complete());

    const ConfigurationRecord& c = d.collected();
    EXPECT_EQ(c.configNumber, 0x20260001u);
    EXPECT_STREQ(c.stationName, "STA");
    EXPECT_STREQ(c.channelName[2], "BHZ");
    EXPECT_EQ(c.sampleRate, 1107u);
    EXPECT_EQ(c.delay, 0x1234u);
    EXPECT_EQ(std::memcmp(c.sensorText[1], "STS-2\0\0\0", 8), 0);
    EXPECT_EQ(c.channelParams[0][8], 9);
    EXPECT_EQ(d.live().configNumber, 0x20260001u);

    // Names are reported while collecting, with the input index.
    ASSERT_EQ(monitor.calls.size(), 2u);
    EXPECT_EQ(monitor.calls[0].op, "setStationName");
    EXPECT_EQ(monitor.calls[0].input, 3);
    EXPECT_EQ(monitor.calls[0].text, "STA");
    EXPECT_EQ(monitor.calls[1].op, "setChannelName");
    EXPECT_EQ(monitor.calls[1].a, 2);
    EXPECT_EQ(monitor.calls[1].text, "BHZ");

    // reset() keeps the contents but forgets the completion.
    d.reset();
    EXPECT_FALSE(d.complete());
    EXPECT_STREQ(d.collected().stationName, "STA");
}

TEST(ConfigStreamDecoder, BadRecordsChangeNothing) {
    ConfigStreamDecoder d;
    const ConfigurationRecord before = d.live();
    // Channel index 6 or more: records 3, 7 and 8 do nothing.
    feedAll(d, configRecord(kCodeChannelName, {6, 'X'}));
    feedAll(d, configRecord(kCodeSensorText, {7, 1, 2, 3, 4, 5, 6, 7, 8}));
    feedAll(d, configRecord(kCodeChannelParams, {200, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(std::memcmp(&before.channelName, &d.live().channelName, sizeof before.channelName), 0);
    EXPECT_EQ(std::memcmp(&before.sensorText, &d.live().sensorText, sizeof before.sensorText), 0);
    EXPECT_EQ(std::memcmp(&before.channelParams, &d.live().channelParams, sizeof before.channelParams), 0);

    // Too short for their numbers: ignored and counted, no stale bytes used.
    feedAll(d, configRecord(kCodeSampleRate, {0x00, 0x05}));
    feedAll(d, configRecord(kCodeEnd, {0x01, 0x02}));
    EXPECT_EQ(d.live().sampleRate, 100u);
    EXPECT_EQ(d.live().configNumber, 0x123456A0u);
    EXPECT_EQ(d.shortRecords(), 2u);

    // Beyond 30 payload bytes the whole record is dropped; the buffer is never overrun.
    feedAll(d, configRecord(kCodeBegin, {}));
    feedAll(d, configRecord(kCodeStationName, std::vector<uint8_t>(31, 'Z')));
    feedAll(d, configRecord(kCodeEnd, std::vector<uint8_t>(200, 0x01)));
    EXPECT_EQ(d.overlongRecords(), 2u);
    EXPECT_STREQ(d.live().stationName, "VELTTEST");
    EXPECT_FALSE(d.complete());
    // Exactly 30 bytes still fit.
    feedAll(d, configRecord(kCodeStationName, std::vector<uint8_t>(30, 'Q')));
    EXPECT_STREQ(d.live().stationName, "QQQQQQQQQQ");
    // A following good record works again.
    feedAll(d, configRecord(kCodeEnd, {4, 3, 2, 1}));
    EXPECT_TRUE(d.complete());
    EXPECT_EQ(d.collected().configNumber, 0x01020304u);
}

TEST(ConfigStreamDecoder, BytesBetweenRecordsAreHarmless) {
    ConfigStreamDecoder d;
    // Long filler outside records, a stray ETX, then a record.
    feedAll(d, std::vector<uint8_t>(100, kConfigFiller));
    feedAll(d, {0x10, 0x03});
    feedAll(d, configRecord(kCodeStationName, text("AFTER")));
    EXPECT_STREQ(d.live().stationName, "AFTER");
    EXPECT_EQ(d.overlongRecords(), 0u);
}

}  // namespace
}  // namespace velt::recorder
