#include "platform/log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velt::platform {
namespace {

std::vector<std::string> lines;
void keep(LogLevel, const std::string& line) { lines.push_back(line); }

TEST(LogTest, NamesLevelAndSpeakerAndHonoursTheLevel) {
    lines.clear();
    setLogSink(keep);
    VELT_LOG_ERROR("INP0 miniSEED", "cannot create %s", "out/tmpfile");
    VELT_LOG_DEBUG("INP0 4-int", "not kept at the default level");
    setLogLevel(LogLevel::Debug);
    VELT_LOG_DEBUG("INP1 QRX", "%d blocks", 3);
    setLogLevel(LogLevel::Info);
    setLogSink(nullptr);
    EXPECT_EQ(lines, (std::vector<std::string>{"error: INP0 miniSEED: cannot create out/tmpfile",
                                               "debug: INP1 QRX: 3 blocks"}));
}

}  // namespace
}  // namespace velt::platform
