// Header template of a run and its advance from record to record; the
// expected bytes are worked out by hand from the record layout.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "outputs/mseed_header.h"
#include "platform/calendar.h"
#include "platform/endian.h"

namespace velt::outputs {
namespace {

using platform::get_u16be;

std::string text(const MseedHeader& h, int off, int len) {
    return std::string(reinterpret_cast<const char*>(h.bytes.data() + off), std::size_t(len));
}

struct Start {
    int year, doy, hour, minute, second, fraction;
};

Start startOf(const MseedHeader& h) {
    const uint8_t* b = h.bytes.data();
    return {get_u16be(b + 20), get_u16be(b + 22), b[24], b[25], b[26], get_u16be(b + 28)};
}

recorder::ConfigurationRecord config(const char* station, uint32_t rate, uint32_t delay) {
    recorder::ConfigurationRecord c;
    std::memset(c.stationName, 0, sizeof c.stationName);
    std::strncpy(c.stationName, station, sizeof c.stationName - 1);
    std::strcpy(c.channelName[0], "HZ");
    std::strcpy(c.channelName[1], "SHNORTH");
    c.sampleRate = rate;
    c.delay = delay;
    return c;
}

TEST(MseedHeader, RunHeaderFieldsAndDelayRounding) {
    // 2007-03-15 12:00:00 UTC, day 74; delay 54819 us -> 11:59:59.945181,
    // rounded half up to 945 ms.
    const int64_t noon = platform::secondsFromUtc(2007, 3, 15, 12, 0, 0);
    const MseedHeader h = buildRunHeader(config("ABCDEFG", 100, 54819), 0, noon, 2);
    const uint8_t* b = h.bytes.data();
    EXPECT_EQ(text(h, 0, 8), "002001D ");
    EXPECT_EQ(text(h, 8, 5), "ABCDE");
    EXPECT_EQ(text(h, 13, 2), "  ");
    EXPECT_EQ(text(h, 15, 3), "HZ ");
    EXPECT_EQ(text(h, 18, 2), "  ");
    const Start s = startOf(h);
    EXPECT_EQ(s.year, 2007);
    EXPECT_EQ(s.doy, 74);
    EXPECT_EQ(s.hour, 11);
    EXPECT_EQ(s.minute, 59);
    EXPECT_EQ(s.second, 59);
    EXPECT_EQ(b[27], 0);
    EXPECT_EQ(s.fraction, 9450);
    EXPECT_EQ(get_u16be(b + 30), 0);
    EXPECT_EQ(get_u16be(b + 32), 100);
    EXPECT_EQ(get_u16be(b + 34), 1);
    EXPECT_EQ(b[36] | b[37] | b[38], 0);
    EXPECT_EQ(b[39], 1);
    EXPECT_EQ(platform::get_u32be(b + 40), 0u);
    EXPECT_EQ(get_u16be(b + 44), 64);
    EXPECT_EQ(get_u16be(b + 46), 48);

    // Channel names are cut to 3; channels without a name entry are blank.
    EXPECT_EQ(text(buildRunHeader(config("S", 100, 0), 1, noon, 0), 15, 3), "SHN");
    EXPECT_EQ(text(buildRunHeader(config("S", 100, 0), 9, noon, 0), 15, 3), "   ");
    EXPECT_EQ(text(buildRunHeader(config("S", 100, 0), 0, noon, 0), 8, 5), "S    ");

    // Rounding half up: 998.5 ms -> 999, 998.499 ms -> 998, and 999.5 ms
    // becomes the next whole second.
    const MseedHeader half = buildRunHeader(config("S", 100, 1500), 0, noon, 0);
    EXPECT_EQ(startOf(half).second, 59);
    EXPECT_EQ(startOf(half).fraction, 9990);
    EXPECT_EQ(startOf(buildRunHeader(config("S", 100, 1501), 0, noon, 0)).fraction, 9980);
    const MseedHeader carry = buildRunHeader(config("S", 100, 500), 0, noon, 0);
    EXPECT_EQ(startOf(carry).hour, 12);
    EXPECT_EQ(startOf(carry).second, 0);
    EXPECT_EQ(startOf(carry).fraction, 0);
}

TEST(MseedHeader, AdvanceAddsTicksAndCountsSequence) {
    const int64_t noon = platform::secondsFromUtc(2007, 3, 15, 12, 0, 0);
    MseedHeader h = buildRunHeader(config("ABC", 100, 0), 0, noon, 0);
    h.bytes[31] = 99;  // a sample count left in the template is cleared
    advanceHeader(h, 721);  // 7.21 s at 100/s
    Start s = startOf(h);
    EXPECT_EQ(s.minute, 0);
    EXPECT_EQ(s.second, 7);
    EXPECT_EQ(s.fraction, 2100);
    EXPECT_EQ(text(h, 0, 7), "000002D");
    EXPECT_EQ(get_u16be(h.bytes.data() + 30), 0);

    // 3 samples/s: 3333.33 ticks per sample; the remainder is carried so that
    // three one-sample records make exactly one second.
    MseedHeader t = buildRunHeader(config("ABC", 3, 0), 0, noon, 0);
    advanceHeader(t, 1);
    EXPECT_EQ(startOf(t).fraction, 3333);
    advanceHeader(t, 1);
    EXPECT_EQ(startOf(t).fraction, 6666);
    advanceHeader(t, 1);
    EXPECT_EQ(startOf(t).second, 1);
    EXPECT_EQ(startOf(t).fraction, 0);

    // Factor 0 counts as one sample per second.
    MseedHeader z = buildRunHeader(config("ABC", 0, 0), 0, noon, 0);
    advanceHeader(z, 5);
    EXPECT_EQ(startOf(z).second, 5);

    // Sequence 999999 is followed by 000001.
    std::memcpy(h.bytes.data(), "999999", 6);
    advanceHeader(h, 1);
    EXPECT_EQ(text(h, 0, 6), "000001");
}

TEST(MseedHeader, AdvanceRollsOverMidnightAndYearEnd) {
    // 2023-12-31 23:59:55 (day 365): 10 s later is 2024 day 1 00:00:05.
    MseedHeader h = buildRunHeader(config("ABC", 100, 0), 0,
                                   platform::secondsFromUtc(2023, 12, 31, 23, 59, 55), 0);
    EXPECT_EQ(startOf(h).doy, 365);
    advanceHeader(h, 1000);
    Start s = startOf(h);
    EXPECT_EQ(s.year, 2024);
    EXPECT_EQ(s.doy, 1);
    EXPECT_EQ(s.hour, 0);
    EXPECT_EQ(s.second, 5);

    // 2024 is a leap year: 31 December is day 366, then 2025 day 1.
    MseedHeader leap = buildRunHeader(config("ABC", 1, 0), 0,
                                      platform::secondsFromUtc(2024, 12, 31, 23, 59, 59), 0);
    EXPECT_EQ(startOf(leap).doy, 366);
    advanceHeader(leap, 1);
    EXPECT_EQ(startOf(leap).year, 2025);
    EXPECT_EQ(startOf(leap).doy, 1);

    // 2100 is not: day 365 is its last.
    MseedHeader notLeap = buildRunHeader(config("ABC", 1, 0), 0,
                                         platform::secondsFromUtc(2100, 12, 31, 23, 0, 0), 0);
    EXPECT_EQ(startOf(notLeap).doy, 365);
    advanceHeader(notLeap, 3600);
    EXPECT_EQ(startOf(notLeap).year, 2101);
    EXPECT_EQ(startOf(notLeap).doy, 1);

    // Midnight within a year: 1 March 2023 follows day 59.
    MseedHeader mid = buildRunHeader(config("ABC", 100, 0), 0,
                                     platform::secondsFromUtc(2023, 2, 28, 23, 59, 58), 0);
    advanceHeader(mid, 721);
    EXPECT_EQ(startOf(mid).doy, 60);
    EXPECT_EQ(startOf(mid).second, 5);
    EXPECT_EQ(startOf(mid).fraction, 2100);
}

TEST(MseedHeader, Blockette1000) {
    const auto b = blockette1000();
    const uint8_t expected[8] = {0x03, 0xE8, 0, 0, 11, 1, 9, 0};
    EXPECT_EQ(std::memcmp(b.data(), expected, 8), 0);
}

}  // namespace
}  // namespace velt::outputs
