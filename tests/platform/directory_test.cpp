#include "platform/directory.h"
#include "platform/paths.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace velt::platform {
namespace {

using test::TempDir;
using test::writeBytes;

TEST(MatchesPatternTest, Wildcards) {
    struct Case {
        const char* pattern;
        const char* name;
        bool match;
    };
    const Case cases[] = {
        {"*.*", "A0000001.ABC", true},
        {"*.*", "tmpfile", true},  // every name, also without a dot
        {"*.*", "", true},
        {"*", "anything", true},
        {"A*.AB?", "a1234567.abc", true},
        {"A*.AB?", "A1234567.AB", false},
        {"A*.AB?", "B1234567.ABC", false},
        {"????????", "0000001F", true},
        {"????????", "0000001", false},
        {"????????", "000000100", false},
        {"*.ini", "live.INI", true},
        {"*.ini", "live.ini.bak", false},
        {"*a*b*c", "xxaxxbxxbxxc", true},
        {"*a*b*c", "xxaxxbxxcxxb", false},
        {"**", "", true},
        {"", "", true},
        {"", "x", false},
        {"x*", "", false},
        {"file", "FILE", true},
        {"f?le", "file", true},
        {"f?le", "fle", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(matchesPattern(c.pattern, c.name), c.match) << c.pattern << " vs " << c.name;
}

TEST(MatchesPatternTest, ManyStarsStayFast) {
    const std::string name(5000, 'a');
    EXPECT_FALSE(matchesPattern(std::string(200, '*') + "b", name));
    EXPECT_TRUE(matchesPattern("*a*a*a*a*a*a*a*a*a*a", name));
}

TEST(ListDirectoryTest, SortedMatchingNamesWithoutDots) {
    TempDir dir;
    for (const char* n : {"0000000B", "0000000A", "tmpfile", "notes.txt"}) writeBytes(dir.file(n), "x");
    ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0755), 0);
    std::vector<std::string> names{"stale"};
    ASSERT_EQ(listDirectory(dir.path(), "*.*", names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"0000000A", "0000000B", "notes.txt", "sub", "tmpfile"}));
    ASSERT_EQ(listDirectory(dir.path(), "????????", names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"0000000A", "0000000B"}));
    EXPECT_EQ(listDirectory(dir.file("missing"), "*", names), -1);
    EXPECT_TRUE(names.empty());
}

TEST(PathsTest, SeparatorsAndComponents) {
    EXPECT_EQ(normaliseSeparators("C:\\data\\rt\\"), "C:/data/rt/");
    EXPECT_EQ(normaliseSeparators("./a/b"), "./a/b");
    EXPECT_EQ(withTrailingSeparator("out"), "out/");
    EXPECT_EQ(withTrailingSeparator("out/"), "out/");
    EXPECT_EQ(withTrailingSeparator(""), "");

    EXPECT_EQ(sanitiseComponent("STA1"), "STA1");
    EXPECT_EQ(sanitiseComponent("../etc"), ".._etc");
    EXPECT_EQ(sanitiseComponent("a\\b"), "a_b");
    EXPECT_EQ(sanitiseComponent(std::string("a\0b\x1f\x7f\xe9", 6)), "a_b___");
    EXPECT_EQ(sanitiseComponent(""), "_");
    EXPECT_EQ(sanitiseComponent("."), "_");
    EXPECT_EQ(sanitiseComponent(".."), "_");
    EXPECT_EQ(sanitiseComponent("..."), "...");
}

TEST(PathsTest, MakeDirectoriesCreatesParents) {
    TempDir dir;
    const std::string deep = dir.file("a/b//c/");
    EXPECT_EQ(makeDirectories(deep), 0);
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("a/b/c").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777 & ~0755u, 0u);
    EXPECT_EQ(makeDirectories(deep), 0);  // exists already
    writeBytes(dir.file("plain"), "x");
    EXPECT_EQ(makeDirectories(dir.file("plain")), -1);
    EXPECT_EQ(makeDirectories(dir.file("plain/sub")), -1);
}

}  // namespace
}  // namespace velt::platform
