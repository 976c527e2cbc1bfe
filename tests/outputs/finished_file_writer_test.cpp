#include "outputs/finished_file_writer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdio>

#include "mseed_test_support.h"

namespace velt::outputs {
namespace {

// Far more files than descriptors, written both ways: after flush() every
// file is there under its name with its bytes, and nothing else is.
TEST(FinishedFileWriter, EveryFileIsNamedWithItsBytesUnderALowDescriptorLimit) {
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit low = saved;
    low.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    for (const bool unnamed : {true, false}) {
        test::ScratchDir dir;
        std::vector<std::string> expected;
        {
            FinishedFileWriter writer(dir.path(), "test", unnamed);
            for (int i = 0; i < 300; ++i) {
                char name[16];
                std::snprintf(name, sizeof name, "%08X", i);
                expected.push_back(name);
                writer.submit(dir.file(name), dir.file(std::string("tmpfile.") + name),
                              std::vector<uint8_t>(std::size_t(512 + i), uint8_t(i)));
            }
            EXPECT_EQ(writer.flush(), 0);
        }
        EXPECT_EQ(test::listNames(dir.path()), expected) << "unnamed " << unnamed;
        for (int i = 0; i < 300; i += 37)
            EXPECT_EQ(test::readFile(dir.file(expected[std::size_t(i)])),
                      std::vector<uint8_t>(std::size_t(512 + i), uint8_t(i)));
    }
    ::setrlimit(RLIMIT_NOFILE, &saved);
}

}  // namespace
}  // namespace velt::outputs
