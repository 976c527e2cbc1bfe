// The power-cut layer the crash tests run on: after a cut, names and synced
// data are there, data written since the last sync is not.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "support/power_cut_mount.h"
#include "support/temp_dir.h"

namespace velt::test {
namespace {

std::vector<uint8_t> pattern(std::size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = uint8_t(i * 31 + seed);
    return bytes;
}

TEST(PowerCutFs, KeepsNamesAndSyncedDataDropsTheRest) {
    TempDir dir;
    const auto old = pattern(3000, 1), a = pattern(15000, 2), b = pattern(7000, 3), c = pattern(6000, 4);
    writeFile(dir.file("old"), old);
    PowerCutMount layer(dir.path());
    if (!layer.mounted()) GTEST_SKIP() << layer.problem();

    // C is made durable by the sync-everything control, before the rest is written.
    writeFile(dir.file("C"), c);
    const int control = ::open(layer.syncAllControl().c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(control, 0);
    EXPECT_EQ(::fsync(control), 0);
    ::close(control);

    // A: 10000 bytes synced, then 5000 appended and bytes 100..199 overwritten.
    const int fd = ::open(dir.file("A").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, a.data(), 10000), 10000);
    ASSERT_EQ(::fdatasync(fd), 0);
    ASSERT_EQ(::write(fd, a.data() + 10000, 5000), 5000);
    ASSERT_EQ(::pwrite(fd, b.data(), 100, 100), 100);
    ::close(fd);

    writeFile(dir.file("B"), b);
    ASSERT_EQ(::renameat2(AT_FDCWD, dir.file("old").c_str(), AT_FDCWD, dir.file("renamed").c_str(), RENAME_NOREPLACE), 0);

    ASSERT_TRUE(layer.cut()) << layer.problem();
    EXPECT_EQ(readFile(dir.file("A")), std::vector<uint8_t>(a.begin(), a.begin() + 10000));
    EXPECT_TRUE(std::filesystem::exists(dir.file("B")));
    EXPECT_TRUE(readFile(dir.file("B")).empty());
    EXPECT_EQ(readFile(dir.file("C")), c);
    EXPECT_FALSE(std::filesystem::exists(dir.file("old")));
    EXPECT_EQ(readFile(dir.file("renamed")), old);
}

}  // namespace
}  // namespace velt::test
