#include "platform/file_util.h"

#include "platform/directory.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace velt::platform {
namespace {

using test::readBytes;
using test::TempDir;
using test::writeBytes;

TEST(FileUtilTest, RenameNoReplaceNeverOverwrites) {
    TempDir dir;
    const std::string from = dir.file("from"), to = dir.file("to");
    writeBytes(from, "new data");
    writeBytes(to, "old data");
    EXPECT_EQ(renameNoReplace(from, to), 1);
    EXPECT_EQ(readBytes(from), "new data");
    EXPECT_EQ(readBytes(to), "old data");

    const std::string free = dir.file("free");
    EXPECT_EQ(renameNoReplace(from, free), 0);
    EXPECT_FALSE(fileExists(from));
    EXPECT_EQ(readBytes(free), "new data");

    EXPECT_EQ(renameNoReplace(dir.file("absent"), dir.file("x")), -1);
    EXPECT_FALSE(fileExists(dir.file("x")));
}

TEST(FileUtilTest, CreateFileAtomicallyNeverReplaces) {
    TempDir dir;
    const std::string path = dir.file("05032024-100000-BHZ.STA");
    EXPECT_EQ(createFileAtomically(path, "first"), 0);
    EXPECT_EQ(createFileAtomically(path, "second"), 1);
    EXPECT_EQ(readBytes(path), "first");
    // No temporary file is left beside it.
    std::vector<std::string> names;
    ASSERT_EQ(listDirectory(dir.path(), "*", names), 0);
    EXPECT_EQ(names, std::vector<std::string>{"05032024-100000-BHZ.STA"});
}

TEST(FileUtilTest, FreeNameCountsUp) {
    TempDir dir;
    const std::string base = dir.file("00000001");
    EXPECT_EQ(freeName(base), base);
    writeBytes(base, "");
    EXPECT_EQ(freeName(base), base + ".1");
    writeBytes(base + ".1", "");
    writeBytes(base + ".3", "");
    EXPECT_EQ(freeName(base), base + ".2");
}

TEST(FileUtilTest, ExistsAndSize) {
    TempDir dir;
    const std::string f = dir.file("f");
    EXPECT_FALSE(fileExists(f));
    EXPECT_EQ(fileSize(f), -1);
    writeBytes(f, std::string(1234, 'z'));
    EXPECT_TRUE(fileExists(f));
    EXPECT_EQ(fileSize(f), 1234);
}

TEST(FileUtilTest, AtomicWriteReplacesWholeFileAndLeavesNoTemporary) {
    TempDir dir;
    const std::string f = dir.file("data.bin");
    const std::string bytes("a\0b\r\n", 5);
    ASSERT_EQ(writeFileAtomically(f, bytes), 0);
    EXPECT_EQ(readBytes(f), bytes);
    struct stat st {};
    ASSERT_EQ(::stat(f.c_str(), &st), 0);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0644u & ~mask);
    ASSERT_EQ(::chmod(f.c_str(), 0640), 0);
    ASSERT_EQ(writeFileAtomically(f, "shorter"), 0);
    EXPECT_EQ(readBytes(f), "shorter");
    ASSERT_EQ(::stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    EXPECT_EQ(writeFileAtomically(dir.file("missing/x"), "y"), -1);
    EXPECT_EQ(writeFileAtomically("", "y"), -1);
    std::vector<std::string> names;
    ASSERT_EQ(listDirectory(dir.path(), "*", names), 0);
    EXPECT_EQ(names, std::vector<std::string>{"data.bin"});
}

}  // namespace
}  // namespace velt::platform
