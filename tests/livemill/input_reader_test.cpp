// The input reader over real directories: where it starts, how it moves
// from file to file, and what it stores for a restart.
#include "livemill/input_reader.h"

#include <gtest/gtest.h>

#include "platform/ini_file.h"
#include "support/temp_dir.h"

namespace velt::test {
namespace {

using livemill::InputReader;
using conversion::StreamPosition;

class InputReaderTest : public ::testing::Test {
protected:
    InputReaderTest() : ini(dir.file("in.ini")), rt(dir.path() + "/rt") {
        std::filesystem::create_directory(rt);
        // No trailing separator, and written with backslashes as on other systems.
        std::string configured = rt;
        for (auto& c : configured) if (c == '/') c = '\\';
        platform::writeProfileString(ini, "INPUT", "INDIR", configured);
    }
    void file(long number, const std::string& bytes) {
        writeFile(rt + "/" + rtName(number), std::vector<uint8_t>(bytes.begin(), bytes.end()));
    }
    static std::string drain(InputReader& r) {
        std::string out;
        while (r.available() > 0) out.push_back(char(r.readByte()));
        return out;
    }

    TempDir dir;
    std::string ini;
    std::string rt;
    platform::ManualClock clock;
};

TEST_F(InputReaderTest, StoredFileNumberIsHexWithHAndDecimalWithout) {
    file(0x1A, "abc");
    for (const char* stored : {"1Ah", "1ah", "26"}) {
        platform::writeProfileString(ini, "WORK", "FILENUM", stored);
        InputReader r(ini, clock);
        EXPECT_EQ(r.fileNumber(), 0x1A) << stored;
        r.open();
        EXPECT_EQ(drain(r), "abc");
    }
    EXPECT_EQ(InputReader::parseFileNumber("zzh"), 0);
    EXPECT_EQ(InputReader::parseFileNumber(""), 0);
}

TEST_F(InputReaderTest, WithoutANumberStartsAtTheLowestAndNeverSkipsAGap) {
    file(3, "three");
    file(5, "five");
    writeFile(rt + "/tmpfile", {'x'});  // the monitor's growing file: after the highest number
    platform::writeProfileString(ini, "WORK", "FILENUM", "0");
    InputReader r(ini, clock);
    EXPECT_EQ(r.fileNumber(), 3);
    r.open();
    EXPECT_EQ(drain(r), "three");
    clock.advance(60);
    EXPECT_EQ(drain(r), "");  // 4 is missing: neither 5 nor tmpfile is read in its place
    file(4, "four");
    clock.advance(19);
    EXPECT_EQ(drain(r), "");  // the next look comes 20 s after the last
    clock.advance(1);
    EXPECT_EQ(drain(r), "fourfivex");
    EXPECT_EQ(r.fileNumber(), 6);
}

TEST_F(InputReaderTest, EmptyDirectoryStartsWithTheFirstFileThatAppears) {
    InputReader r(ini, clock);
    r.open();
    EXPECT_EQ(r.available(), 0);
    file(0x40, "late");
    EXPECT_EQ(r.available(), 0);
    clock.advance(20);
    EXPECT_EQ(drain(r), "late");
    EXPECT_EQ(r.fileNumber(), 0x40);
}

TEST_F(InputReaderTest, OffsetAndSeekPositions) {
    file(1, "0123456789");
    file(2, "abcdefghij");
    platform::writeProfileString(ini, "WORK", "FILENUM", "1h");
    platform::writeProfileString(ini, "WORK", "OFFSET", "4");
    InputReader r(ini, clock);
    r.open();
    EXPECT_EQ(drain(r), "456789abcdefghij");
    StreamPosition p;
    r.getPosition(p);
    EXPECT_EQ(p, (StreamPosition{2, 10}));
    r.seek({1, 7});
    ASSERT_GT(r.available(), 0);
    EXPECT_EQ(r.peekByte(), '7');
    r.readByte();
    r.getPosition(p);
    EXPECT_EQ(p, (StreamPosition{1, 8}));
}

TEST_F(InputReaderTest, PersistKeepsOffsetCurrentAndNeverGoesToAnEarlierFile) {
    auto stored = [&] {
        return std::make_pair(platform::readProfileString(ini, "WORK", "FILENUM", "", 100),
                              platform::readProfileInt(ini, "WORK", "OFFSET", -1));
    };
    {
        InputReader r(ini, clock, /*persistInterval=*/0);
        EXPECT_EQ(r.persist({0x1A, 935}), 0);
        EXPECT_EQ(stored(), std::make_pair(std::string("1Ah"), 935L));
        // Within the same file the offset follows, also for numbers below 10.
        EXPECT_EQ(r.persist({0x1A, 1870}), 0);
        EXPECT_EQ(stored().second, 1870);
        EXPECT_EQ(r.persist({0x19, 5}), 1);
        EXPECT_EQ(stored(), std::make_pair(std::string("1Ah"), 1870L));
    }
    {
        // Throttled: held in memory, written by flush() at the stop.
        InputReader r(ini, clock, /*persistInterval=*/3600);
        EXPECT_EQ(r.persist({0x1B, 10}), 0);  // first one goes out at once
        EXPECT_EQ(r.persist({0x1B, 20}), 0);
        EXPECT_EQ(stored().second, 10);
    }
    EXPECT_EQ(stored(), std::make_pair(std::string("1Bh"), 20L));
    // An input without an INI file never writes anything.
    InputReader none("", clock, 0);
    EXPECT_EQ(none.persist({5, 5}), 0);
}

TEST_F(InputReaderTest, FollowsAFileThatGrowsUntilTheNextOneExists) {
    file(7, "abc");
    platform::writeProfileString(ini, "WORK", "FILENUM", "7h");
    InputReader r(ini, clock);
    r.open();
    EXPECT_EQ(drain(r), "abc");
    writeFile(rt + "/" + rtName(7), {'d', 'e'}, std::ios::app);
    clock.advance(20);
    EXPECT_EQ(drain(r), "de");
    writeFile(rt + "/" + rtName(7), {'f'}, std::ios::app);
    file(8, "gh");
    clock.advance(20);
    EXPECT_EQ(drain(r), "fgh");
}

TEST_F(InputReaderTest, ReadsTheMonitorsGrowingFileAsTheNumberItWillGet) {
    // The monitor appends to tmpfile, renames it to its number when full and
    // starts a new one.
    const std::string tmp = rt + "/tmpfile";
    const auto append = [&](const std::string& bytes) {
        writeFile(tmp, std::vector<uint8_t>(bytes.begin(), bytes.end()), std::ios::app);
    };
    const auto number = [&](long n) { std::filesystem::rename(tmp, rt + "/" + rtName(n)); };
    const auto position = [](InputReader& r) {
        StreamPosition p;
        r.getPosition(p);
        return p;
    };
    platform::writeProfileString(ini, "WORK", "FILENUM", "3E8h");
    {
        InputReader r(ini, clock, /*persistInterval=*/0);
        EXPECT_NE(r.open(), 0);
        append("ab");
        r.lookNow();
        EXPECT_EQ(drain(r), "ab");
        append("cd");
        EXPECT_EQ(drain(r), "cd");
        EXPECT_EQ(position(r), (StreamPosition{0x3E8, 4}));
        EXPECT_EQ(r.persist({0x3E8, 3}), 0);  // stored while the bytes are in tmpfile
        number(0x3E8);
        append("ef");
        r.lookNow();
        EXPECT_EQ(drain(r), "ef");
        EXPECT_EQ(position(r), (StreamPosition{0x3E9, 2}));
    }
    // A restart from there goes on in the numbered file, then in tmpfile.
    InputReader r(ini, clock);
    r.open();
    EXPECT_EQ(drain(r), "def");
    // Number 3E9 taken by another file: the monitor takes the next free one,
    // and the reader goes on with it without reading the other file.
    file(0x3E9, "XX");
    number(0x3EA);
    append("g");
    r.lookNow();
    EXPECT_EQ(drain(r), "g");
    EXPECT_EQ(position(r), (StreamPosition{0x3EB, 1}));
    r.seek({0x3E9, 1});  // a position taken before it was numbered
    ASSERT_GT(r.available(), 0);
    EXPECT_EQ(r.peekByte(), 'f');
}

}  // namespace
}  // namespace velt::test
