#include "platform/ini_file.h"

#include "platform/directory.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <climits>
#include <sys/stat.h>
#include <unistd.h>

namespace velt::platform {
namespace {

using test::readBytes;
using test::TempDir;
using test::writeBytes;

const std::string kSettings =
    "; station settings\n"
    "# second comment style\n"
    "orphan=before any section\n"
    "[COMMON]\n"
    "  Key1 =  value one  \n"
    "NUM=12abc\n"
    "NEG= -34\n"
    "PLUS=+7\n"
    "BAD=abc\n"
    "EMPTY=\n"
    "key1=second\n"
    "not a key line\n"
    ";SKIPPED=1\n"
    "[ common ]\n"
    "ONLY2=x\n"
    "[WORK]\n"
    "FILENUM=5\n";

class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override { writeBytes(path, kSettings); }
    std::string read(std::string_view section, std::string_view key, std::size_t size = 256) {
        return readProfileString(path, section, key, "dflt", size);
    }

    TempDir dir;
    std::string path = dir.file("settings.ini");
};

TEST_F(IniFileTest, ReadsTrimmedValuesCaseInsensitivelyFirstMatchWins) {
    EXPECT_EQ(read("COMMON", "KEY1"), "value one");
    EXPECT_EQ(read("common", "key1"), "value one");
    EXPECT_EQ(read(" Common ", " kEy1 "), "value one");
    EXPECT_EQ(read("WORK", "FILENUM"), "5");
    EXPECT_EQ(read("COMMON", "EMPTY"), "");
}

TEST_F(IniFileTest, AbsentFileSectionOrKeyGivesDefault) {
    EXPECT_EQ(read("COMMON", "MISSING"), "dflt");
    EXPECT_EQ(read("NOSECTION", "KEY1"), "dflt");
    EXPECT_EQ(readProfileString(dir.file("none.ini"), "COMMON", "KEY1", "dflt", 256), "dflt");
    EXPECT_EQ(readProfileInt(dir.file("none.ini"), "WORK", "FILENUM", 42), 42);
    // Comments, lines without '=', keys before the first section and keys of a
    // later section of the same name are not found.
    EXPECT_EQ(read("COMMON", "SKIPPED"), "dflt");
    EXPECT_EQ(read("COMMON", "not a key line"), "dflt");
    EXPECT_EQ(read("", "orphan"), "dflt");
    EXPECT_EQ(read("COMMON", "ONLY2"), "dflt");
    // A directory is not a settings file.
    EXPECT_EQ(readProfileString(dir.path(), "COMMON", "KEY1", "dflt", 256), "dflt");
}

TEST_F(IniFileTest, CutsValueAndDefaultToBufferLessOne) {
    EXPECT_EQ(read("COMMON", "KEY1", 4), "val");
    EXPECT_EQ(read("COMMON", "KEY1", 10), "value one");
    EXPECT_EQ(read("COMMON", "KEY1", 9), "value on");
    EXPECT_EQ(read("COMMON", "MISSING", 3), "df");
    EXPECT_EQ(read("COMMON", "KEY1", 1), "");
    EXPECT_EQ(read("COMMON", "KEY1", 0), "");
}

TEST_F(IniFileTest, IntegersFromLeadingDigits) {
    EXPECT_EQ(readProfileInt(path, "COMMON", "NUM", 99), 12);
    EXPECT_EQ(readProfileInt(path, "COMMON", "NEG", 99), -34);
    EXPECT_EQ(readProfileInt(path, "COMMON", "PLUS", 99), 7);
    EXPECT_EQ(readProfileInt(path, "COMMON", "BAD", 99), 0);
    EXPECT_EQ(readProfileInt(path, "COMMON", "EMPTY", 99), 0);
    EXPECT_EQ(readProfileInt(path, "COMMON", "MISSING", 99), 99);

    EXPECT_EQ(leadingInteger("  \t-0012x"), -12);
    EXPECT_EQ(leadingInteger("0x10"), 0);
    EXPECT_EQ(leadingInteger("-"), 0);
    EXPECT_EQ(leadingInteger("+-3"), 0);
    EXPECT_EQ(leadingInteger("1 2"), 1);
    EXPECT_EQ(leadingInteger(std::to_string(LONG_MAX)), LONG_MAX);
    EXPECT_EQ(leadingInteger(std::to_string(LONG_MIN)), LONG_MIN);
    EXPECT_EQ(leadingInteger("99999999999999999999999"), LONG_MAX);
    EXPECT_EQ(leadingInteger("-99999999999999999999999"), LONG_MIN);
}

TEST_F(IniFileTest, ReplacingAKeyKeepsEveryOtherLine) {
    ASSERT_EQ(writeProfileString(path, "work", "filenum", "6"), 0);
    std::string expected = kSettings;
    expected.replace(expected.find("FILENUM=5"), 9, "filenum=6");
    EXPECT_EQ(readBytes(path), expected);

    // Only the first of two equal keys changes.
    ASSERT_EQ(writeProfileString(path, "COMMON", "KEY1", "new"), 0);
    expected.replace(expected.find("  Key1 =  value one  "), 21, "KEY1=new");
    EXPECT_EQ(readBytes(path), expected);
    EXPECT_NE(expected.find("key1=second\n"), std::string::npos);
}

TEST_F(IniFileTest, NewKeyGoesAfterTheSectionsLastKey) {
    writeBytes(path,
               "[A]\n"
               "X=1\n"
               "; trailing comment of A\n"
               "\n"
               "[B]\n"
               "Y=2");
    ASSERT_EQ(writeProfileString(path, "A", "Z", "3"), 0);
    ASSERT_EQ(writeProfileString(path, "B", "W", "4"), 0);
    ASSERT_EQ(writeProfileString(path, "C", "V", "5"), 0);
    EXPECT_EQ(readBytes(path),
              "[A]\n"
              "X=1\n"
              "Z=3\n"
              "; trailing comment of A\n"
              "\n"
              "[B]\n"
              "Y=2\n"
              "W=4\n"
              "[C]\n"
              "V=5\n");
}

TEST_F(IniFileTest, KeyIntoEmptySectionGoesRightAfterItsHeader) {
    writeBytes(path, "[A]\n; nothing yet\n[B]\n");
    ASSERT_EQ(writeProfileString(path, "A", "K", "v"), 0);
    EXPECT_EQ(readBytes(path), "[A]\nK=v\n; nothing yet\n[B]\n");
}

TEST_F(IniFileTest, WriteCreatesMissingFile) {
    const std::string fresh = dir.file("fresh.ini");
    ASSERT_EQ(writeProfileString(fresh, "DATA", "DIR", "/var/qrx"), 0);
    EXPECT_EQ(readBytes(fresh), "[DATA]\nDIR=/var/qrx\n");
    EXPECT_EQ(readProfileString(fresh, "data", "dir", "", 256), "/var/qrx");
}

TEST_F(IniFileTest, CrlfFileStaysCrlf) {
    writeBytes(path, "[COMMON]\r\nOUTDIR = C:\\data\\ \r\nFILENUM=7\r\n");
    EXPECT_EQ(read("COMMON", "OUTDIR"), "C:\\data\\");
    EXPECT_EQ(readProfileInt(path, "COMMON", "FILENUM", -1), 7);
    ASSERT_EQ(writeProfileString(path, "COMMON", "FILENUM", "8"), 0);
    ASSERT_EQ(writeProfileString(path, "COMMON", "NEW", "n"), 0);
    ASSERT_EQ(writeProfileString(path, "OTHER", "K", "k"), 0);
    EXPECT_EQ(readBytes(path),
              "[COMMON]\r\nOUTDIR = C:\\data\\ \r\nFILENUM=8\r\nNEW=n\r\n[OTHER]\r\nK=k\r\n");
}

TEST_F(IniFileTest, RefusesWhatCannotBeReadBack) {
    EXPECT_EQ(writeProfileString(path, "COMMON", "A=B", "v"), -1);
    EXPECT_EQ(writeProfileString(path, "COMMON", "", "v"), -1);
    EXPECT_EQ(writeProfileString(path, "COMMON", ";K", "v"), -1);
    EXPECT_EQ(writeProfileString(path, "COMMON", "[K", "v"), -1);
    EXPECT_EQ(writeProfileString(path, "COMMON", "K", "line\ninjected"), -1);
    EXPECT_EQ(writeProfileString(path, "CO]MMON", "K", "v"), -1);
    EXPECT_EQ(writeProfileString(path, "CO\nMMON", "K", "v"), -1);
    EXPECT_EQ(readBytes(path), kSettings);
}

TEST_F(IniFileTest, FailedWriteLeavesNoTraceAndSucceededOneNoTempFile) {
    EXPECT_EQ(writeProfileString(dir.file("no/such/dir.ini"), "A", "B", "C"), -1);
    EXPECT_EQ(writeProfileString(dir.path(), "A", "B", "C"), -1);  // a directory
    ASSERT_EQ(writeProfileString(path, "WORK", "FILENUM", "6"), 0);
    std::vector<std::string> names;
    ASSERT_EQ(listDirectory(dir.path(), "*", names), 0);
    EXPECT_EQ(names, std::vector<std::string>{"settings.ini"});
}

TEST_F(IniFileTest, WriteKeepsModeAndWritesThroughSymbolicLink) {
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    const std::string link = dir.file("link.ini");
    ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
    ASSERT_EQ(writeProfileString(link, "WORK", "FILENUM", "9"), 0);
    struct stat st {};
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(readProfileInt(path, "WORK", "FILENUM", -1), 9);
}

}  // namespace
}  // namespace velt::platform
