// The SeedLink conversation as clients hold it: byte-exact replies for the
// 3.1 and 4.0 handshakes, packets as each version frames them, resuming by
// sequence number (24-bit numbers widened across a wrap), dial-up ends.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "outputs/mseed_header.h"
#include "platform/calendar.h"
#include "platform/endian.h"
#include "serve/seedlink_session.h"
#include "support/temp_dir.h"

namespace velt::serve {
namespace {

namespace m = outputs::mseed;

// A 512-byte data record of station KLMN2 (no network), 100 samples at 100/s.
std::vector<uint8_t> record(const char* channel, int64_t second) {
    std::vector<uint8_t> r(m::kRecordLength, 0);
    std::snprintf(reinterpret_cast<char*>(r.data()), 21, "000001D KLMN2  %-3s  ", channel);
    const platform::CivilTime t = platform::utcFromSeconds(second);
    platform::put_u16be(r.data() + m::kOffYear, uint16_t(t.year));
    platform::put_u16be(r.data() + m::kOffDayOfYear, uint16_t(t.dayOfYear));
    r[m::kOffHour] = uint8_t(t.hour);
    r[m::kOffMinute] = uint8_t(t.minute);
    r[m::kOffSecond] = uint8_t(t.second);
    platform::put_u16be(r.data() + m::kOffSampleCount, 100);
    platform::put_u16be(r.data() + m::kOffRateFactor, 100);
    platform::put_u16be(r.data() + m::kOffRateMultiplier, 1);
    return r;
}

constexpr int64_t kStart = 1'765'000'000;  // 2025-12-06

struct Messages final : SeedlinkSession::Sink {
    std::vector<std::string> list;
    void message(std::string_view bytes, bool) override { list.emplace_back(bytes); }
    std::string text() const {
        std::string all;
        for (const std::string& m : list) all += m;
        return all;
    }
};

struct Directory final : StationDirectory {
    std::vector<StationFiles*> list;
    std::vector<StationFiles*> stations() override { return list; }
    std::vector<ConnectionSummary> connections() override { return {}; }
};

// Two files of three records each (HHZ, HHN, HHE), one second apart;
// the record after them numbered `endSequence`.
class SessionTest : public ::testing::Test {
protected:
    void SetUp() override { makeFiles(6); }
    void makeFiles(uint64_t endSequence) {
        for (int file = 0; file < 2; ++file) {
            std::vector<uint8_t> bytes;
            for (const char* c : {"HHZ", "HHN", "HHE"}) {
                const auto r = record(c, kStart + file);
                bytes.insert(bytes.end(), r.begin(), r.end());
            }
            char name[16];
            std::snprintf(name, sizeof name, "%08X", file);
            test::writeFile(dir.file(std::string("ms") + name), bytes);
        }
        station = std::make_unique<StationFiles>(dir.file("ms"));
        station->advance(2, endSequence);
        directory.list = {station.get()};
    }
    std::string say(const std::string& lines) {
        out.list.clear();
        session.receive(lines);
        return out.text();
    }
    std::vector<std::string> packets() {
        out.list.clear();
        session.pump(1 << 20);
        return out.list;
    }

    test::TempDir dir;
    std::unique_ptr<StationFiles> station;
    Directory directory;
    ServerIdentity identity{"velt/test", "Test network", 0};
    Messages out;
    SeedlinkSession session{identity, directory, out};
};

TEST_F(SessionTest, Version3HandshakeAsLibraryClientsSendIt) {
    const std::string hello = say("HELLO\r\n");
    EXPECT_EQ(hello, SeedlinkSession::helloLine(identity) + "\r\nTest network\r\n");
    EXPECT_EQ(hello.rfind("SeedLink v4.0 (velt/test) :: SLPROTO:4.0 SLPROTO:3.1 ", 0), 0u);
    EXPECT_EQ(say("STATION  KLMN2 QQ\r\n"), "ERROR\r\n");  // unknown network, plain reply
    EXPECT_EQ(say("CAPABILITIES EXTREPLY\r\n"), "OK\r\n");
    EXPECT_EQ(say("STATION NOPE XX\r\nSELECT HHZ\r\n"),  // one line each, the reason inside
              "ERROR\runknown station XX_NOPE\r\nERROR\rthe station before was not accepted\r\n");
    EXPECT_EQ(say("STATION  KLMN2 XX\r\n"), "OK\r\n");  // two blanks, as one Python client sends
    EXPECT_EQ(say("SELECT HHZ.D\r\n"), "OK\r\n");
    EXPECT_EQ(say("DATA 2\r\n"), "OK\r\n");
    EXPECT_EQ(say("END\r\n"), "");
    const auto sent = packets();
    ASSERT_EQ(sent.size(), 1u);  // sequence 3 is the second file's HHZ
    EXPECT_EQ(sent[0].substr(0, 8), "SL000003");
    EXPECT_EQ(sent[0].size(), 520u);
    EXPECT_EQ(sent[0].substr(8 + 15, 3), "HHZ");
    EXPECT_EQ(say("STATION X Y\r\n"), "");  // no commands once data flow
}

TEST_F(SessionTest, Version4PipelinedHandshakeAndPackets) {
    const std::string replies = say(
        "HELLO\rSLPROTO 4.0\rUSERAGENT client/1.0 lib/2\rSTATION XX_KLMN*\rSELECT *_H_H_E\rDATA ALL\rEND\r");
    EXPECT_EQ(replies.substr(replies.find("Test network\r\n") + 14), "OK\r\nOK\r\nOK\r\nOK\r\nOK\r\n");
    const auto sent = packets();
    ASSERT_EQ(sent.size(), 2u);
    char format = 0, subformat = 0;
    uint32_t length = 0;
    uint64_t sequence = 0;
    std::string id;
    const std::size_t header = parseV4Header(sent[1], format, subformat, length, sequence, id);
    EXPECT_EQ(header, 17u + 8u);
    EXPECT_EQ(std::string() + format + subformat, "2D");
    EXPECT_EQ(length, 512u);
    EXPECT_EQ(sequence, 5u);
    EXPECT_EQ(id, "XX_KLMN2");
    EXPECT_EQ(sent[1].substr(header + 15, 3), "HHE");
    // INFO during the transfer: one JSON packet, errors in 4.0 words.
    out.list.clear();
    session.receive("INFO STREAMS\r\n");
    ASSERT_EQ(out.list.size(), 1u);
    parseV4Header(out.list[0], format, subformat, length, sequence, id);
    EXPECT_EQ(std::string() + format + subformat, "JI");
    EXPECT_NE(out.list[0].find("\"id\":\"_H_H_Z\""), std::string::npos);
    SeedlinkSession fresh{identity, directory, out};
    out.list.clear();
    fresh.receive("SLPROTO 4.0\r\nSELECT\r\nNONSENSE\r\n");
    EXPECT_EQ(out.text(), "OK\r\nERROR ARGUMENTS empty SELECT is not allowed in v4\r\nERROR UNSUPPORTED unknown command NONSENSE\r\n");
}

TEST_F(SessionTest, TwentyFourBitSequenceNumbersAreWidenedAcrossTheWrap) {
    makeFiles((uint64_t(1) << 24) + 2);  // records numbered FFFFFC .. 1000001
    say("STATION KLMN2\r\nDATA FFFFFE\r\nEND\r\n");
    auto sent = packets();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0].substr(0, 8), "SLFFFFFE");
    EXPECT_EQ(sent[2].substr(0, 8), "SL000000");
    SeedlinkSession other{identity, directory, out};
    other.receive("DATA 1000001\r\n");  // uni-station: data at once, seq+1 past the wrap
    out.list.clear();
    other.pump(1 << 20);
    ASSERT_EQ(out.list.size(), 1u);
    EXPECT_EQ(out.list[0].substr(0, 8), "SL000001");
}

TEST_F(SessionTest, DialUpEndsWithEndAfterTheRecordsPresent) {
    say("STATION KLMN2 XX\r\nFETCH\r\nEND\r\n");
    EXPECT_EQ(packets(), std::vector<std::string>{"END"});  // FETCH without a number: nothing queued from now
    EXPECT_TRUE(session.finished());
    SeedlinkSession all{identity, directory, out};
    all.receive("SLPROTO 4.0\r\nSTATION *\r\nDATA ALL\r\nENDFETCH\r\n");
    out.list.clear();
    all.pump(1 << 20);
    ASSERT_EQ(out.list.size(), 7u);
    EXPECT_EQ(out.list.back(), "END");
}

// The store writes each channel's records in turn: records of one channel
// that start before a window's end, or before the time a 3.1 client resumes
// at, follow records of another that start after it.
TEST_F(SessionTest, WindowsAndResumesKeepEveryChannelsRecords) {
    std::vector<uint8_t> bytes;
    for (const char* c : {"HHZ", "HHN"})
        for (int second = 0; second < 3; ++second) {
            const auto r = record(c, kStart + second);
            bytes.insert(bytes.end(), r.begin(), r.end());
        }
    test::writeFile(dir.file("mixed00000000"), bytes);
    StationFiles mixed(dir.file("mixed"));
    mixed.advance(1, 6);  // HHZ 0..2 s numbered 0..2, HHN 0..2 s numbered 3..5
    directory.list = {&mixed};
    say("SLPROTO 4.0\r\nSTATION *\r\nDATA ALL 2025-12-06T05:46:40Z 2025-12-06T05:46:42Z\r\nEND\r\n");
    std::vector<uint64_t> numbers;
    for (const std::string& p : packets()) {
        char format = 0, subformat = 0;
        uint32_t length = 0;
        uint64_t sequence = 0;
        std::string id;
        if (parseV4Header(p, format, subformat, length, sequence, id) != 0) numbers.push_back(sequence);
        else EXPECT_EQ(p, "END");
    }
    EXPECT_EQ(numbers, (std::vector<uint64_t>{0, 1, 3, 4}));
    EXPECT_TRUE(session.finished());
    SeedlinkSession resumed{identity, directory, out};
    resumed.receive("STATION KLMN2\r\nDATA 000002 2025,12,06,05,46,41\r\nEND\r\n");
    out.list.clear();
    resumed.pump(1 << 20);
    ASSERT_EQ(out.list.size(), 4u);
    EXPECT_EQ(out.list[1].substr(0, 8), "SL000003");  // HHN 0 s, older than the time given
}

TEST_F(SessionTest, AnOverlongLineAndVersion3InfoAreAnsweredInTheirForm) {
    EXPECT_EQ(say(std::string(300, 'A') + "\r\nBYE\r\n"), "ERROR\r\n");
    EXPECT_TRUE(session.finished());
    SeedlinkSession info{identity, directory, out};
    out.list.clear();
    info.receive("INFO STREAMS\r\n");
    ASSERT_FALSE(out.list.empty());
    std::string xml;
    for (const std::string& p : out.list) {
        ASSERT_EQ(p.size(), 520u);
        ASSERT_EQ(p.substr(0, 6), "SLINFO");
        xml += p.substr(8 + 56, std::size_t(platform::get_u16be(reinterpret_cast<const uint8_t*>(p.data()) + 8 + 30)));
    }
    EXPECT_EQ(out.list.back().substr(0, 8), "SLINFO  ");
    EXPECT_EQ(xml.rfind("<?xml", 0), 0u);
    EXPECT_NE(xml.find("<station name=\"KLMN2\" network=\"XX\""), std::string::npos);
    EXPECT_NE(xml.find("seedname=\"HHE\""), std::string::npos);
    EXPECT_EQ(xml.substr(xml.size() - 12), "</seedlink>\n");
}

}  // namespace
}  // namespace velt::serve
