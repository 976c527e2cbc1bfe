#include "recorder/status_monitor.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace velt::recorder {
namespace {

std::string captured(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string s;
    for (int c; (c = std::fgetc(f)) != EOF;) s += char(c);
    return s;
}

TEST(ConsoleStatusMonitor, PrintsEachReportInItsFormat) {
    // Local time in UTC so that both time formats are predictable.
    const char* oldTz = std::getenv("TZ");
    const std::string saved = oldTz ? oldTz : "";
    ::setenv("TZ", "UTC", 1);
    ::tzset();

    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    ConsoleStatusMonitor m(f);
    const int64_t t = 1767225600 + 3600 + 60 + 1;  // 2026-01-01 01:01:01
    m.setLastActive(2, t);
    m.setInputFile(1, 1000);  // no line end: the next report continues the line
    m.setOffset(1, 500);
    m.setDeviceNumber(0, 42);
    m.setConfigNumber(0, 539361281);
    m.setBlockNumber(0, 9);
    m.setLastBlockTime(0, 951782400 + 59);  // 2000-02-29 00:00:59
    m.setRestartNumber(0, 1);
    m.setStationName(0, "STA");
    m.setChannelName(0, 2, "BHZ");
    m.logLine(0, "14 BLOCKLENREQ -> CONFIGREQ 1000 0");
    m.setWaiting(0, 1);
    m.setPosition(0, 1, 2);
    EXPECT_EQ(captured(f),
              "lAct: 2 01:01:01 01/01/26\n"
              "opIn 1 file: 1000off 500 \n"
              "DevNum 0  42 \n"
              "ConfNum 0  539361281 \n"
              "BlockNum 0 9 \n"
              "lBlTm: 0 00:00:59 29/02/00\n"
              "RestNum 0 1 \n"
              "StName 0 STA \n"
              "ChName 0  2 BHZ \n"
              "INP0 14 BLOCKLENREQ -> CONFIGREQ 1000 0\n");
    std::fclose(f);

    if (oldTz) ::setenv("TZ", saved.c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
}

}  // namespace
}  // namespace velt::recorder
