#include "recorder/status_monitor.h"

#include "platform/calendar.h"

namespace velt::recorder {

namespace {

void printTime(std::FILE* out, const char* label, int input, const platform::CivilTime& t) {
    const int year2 = ((t.year % 100) + 100) % 100;
    std::fprintf(out, "%s %d %2.2d:%2.2d:%2.2d %2.2d/%2.2d/%2.2d\n", label, input, t.hour, t.minute, t.second,
                 t.day, t.month, year2);
}

const char* text(const char* s) { return s ? s : ""; }

}  // namespace

void ConsoleStatusMonitor::setLastActive(int input, int64_t seconds) {
    printTime(out_, "lAct:", input, platform::localFromSeconds(seconds));
}

void ConsoleStatusMonitor::setInputFile(int input, long file) { std::fprintf(out_, "opIn %d file: %ld", input, file); }

void ConsoleStatusMonitor::setOffset(int, long offset) { std::fprintf(out_, "off %ld \n", offset); }

void ConsoleStatusMonitor::setDeviceNumber(int input, long value) {
    std::fprintf(out_, "DevNum %d  %ld \n", input, value);
}

void ConsoleStatusMonitor::setConfigNumber(int input, long value) {
    std::fprintf(out_, "ConfNum %d  %ld \n", input, value);
}

void ConsoleStatusMonitor::setBlockNumber(int input, long value) {
    std::fprintf(out_, "BlockNum %d %ld \n", input, value);
}

void ConsoleStatusMonitor::setLastBlockTime(int input, int64_t seconds) {
    printTime(out_, "lBlTm:", input, platform::utcFromSeconds(seconds));
}

void ConsoleStatusMonitor::setRestartNumber(int input, long value) {
    std::fprintf(out_, "RestNum %d %ld \n", input, value);
}

void ConsoleStatusMonitor::setStationName(int input, const char* name) {
    std::fprintf(out_, "StName %d %s \n", input, text(name));
}

void ConsoleStatusMonitor::setChannelName(int input, int channel, const char* name) {
    std::fprintf(out_, "ChName %d  %d %s \n", input, channel, text(name));
}

void ConsoleStatusMonitor::logLine(int input, const char* line) {
    std::fprintf(out_, "INP%d %s\n", input, text(line));
    std::fflush(out_);  // log lines are rare and a service log wants them at once
}

}  // namespace velt::recorder
