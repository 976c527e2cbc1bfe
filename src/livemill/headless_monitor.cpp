#include "livemill/headless_monitor.h"

#include "conversion/stream_converter.h"
#include "platform/calendar.h"

namespace velt::livemill {

HeadlessStatusMonitor::HeadlessStatusMonitor(std::FILE* out, const platform::Clock& clock, int intervalSeconds)
    : out_(out), clock_(clock), interval_(intervalSeconds) {}

void HeadlessStatusMonitor::touched(int input) {
    InputStatus& s = inputs_[std::size_t(input)];
    s.changed = true;
    if (clock_.now() - s.lastPrinted >= interval_) print(input);
}

void HeadlessStatusMonitor::print(int input) {
    InputStatus& s = inputs_[std::size_t(input)];
    const platform::CivilTime t = platform::utcFromSeconds(s.blockTime);
    char backlog[40] = "";
    if (s.rowsWaiting > 0) std::snprintf(backlog, sizeof backlog, " filelist-backlog %ld", s.rowsWaiting);
    // An input without new data looks again after the wait period.
    char waiting[64] = "";
    if (s.waiting) {
        const platform::CivilTime next = platform::utcFromSeconds(s.waitingSince + conversion::StreamConverter::kWaitPeriod);
        std::snprintf(waiting, sizeof waiting, " waiting: no new data, looks again at %02d:%02d:%02d", next.hour,
                      next.minute, next.second);
    }
    std::fprintf(out_,
                 "INP%d station %s device %ld config %ld restart %ld block %ld time %04d-%02d-%02d %02d:%02d:%02d "
                 "file %lX offset %ld%s%s\n",
                 input, s.station.empty() ? "-" : s.station.c_str(), s.device, s.config, s.restart, s.block, t.year,
                 t.month, t.day, t.hour, t.minute, t.second, s.file, s.offset, backlog, waiting);
    std::fflush(out_);
    s.changed = false;
    s.lastPrinted = clock_.now();
}

void HeadlessStatusMonitor::printAll() {
    for (int i = 0; i < kMaxInputs; ++i)
        if (inputs_[std::size_t(i)].changed) print(i);
}

void HeadlessStatusMonitor::flush() {
    const int64_t now = clock_.now();
    for (int i = 0; i < kMaxInputs; ++i) {
        const InputStatus& s = inputs_[std::size_t(i)];
        if (s.changed && now - s.lastPrinted >= interval_) print(i);
    }
}

void HeadlessStatusMonitor::setLastActive(int input, int64_t) {
    if (valid(input)) touched(input);
}
void HeadlessStatusMonitor::setInputFile(int input, long file) {
    if (valid(input)) inputs_[std::size_t(input)].file = file, touched(input);
}
void HeadlessStatusMonitor::setOffset(int input, long offset) {
    if (valid(input)) inputs_[std::size_t(input)].offset = offset, touched(input);
}
void HeadlessStatusMonitor::setDeviceNumber(int input, long value) {
    if (valid(input)) inputs_[std::size_t(input)].device = value;
}
void HeadlessStatusMonitor::setConfigNumber(int input, long value) {
    if (valid(input)) inputs_[std::size_t(input)].config = value;
}
void HeadlessStatusMonitor::setBlockNumber(int input, long value) {
    if (valid(input)) inputs_[std::size_t(input)].block = value;
}
void HeadlessStatusMonitor::setLastBlockTime(int input, int64_t seconds) {
    if (valid(input)) inputs_[std::size_t(input)].blockTime = seconds;
}
void HeadlessStatusMonitor::setRestartNumber(int input, long value) {
    if (valid(input)) inputs_[std::size_t(input)].restart = value;
}
void HeadlessStatusMonitor::setStationName(int input, const char* name) {
    if (valid(input)) inputs_[std::size_t(input)].station = name;
}
void HeadlessStatusMonitor::setWaiting(int input, int flag) {
    if (!valid(input) || inputs_[std::size_t(input)].waiting == (flag != 0)) return;
    inputs_[std::size_t(input)].waiting = flag != 0;
    inputs_[std::size_t(input)].waitingSince = clock_.now();
    inputs_[std::size_t(input)].changed = true;
    // An input that has caught up says so at once, unless it spoke within the
    // interval: one that follows a live recorder catches up every second.
    if (flag && clock_.now() - inputs_[std::size_t(input)].lastPrinted >= interval_) print(input);
}
void HeadlessStatusMonitor::setRowsWaiting(int input, long rows) {
    if (valid(input)) inputs_[std::size_t(input)].rowsWaiting = rows, touched(input);
}
void HeadlessStatusMonitor::logLine(int input, const char* text) {
    std::fprintf(out_, "INP%d %s\n", input, text);
    std::fflush(out_);
}

}  // namespace velt::livemill
