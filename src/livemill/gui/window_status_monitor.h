// The status window's side of the StatusMonitor interface. Reports arrive on
// the worker thread, where no Qt object is touched: each becomes the newest
// value of its field for its input, and the window carries the changed
// fields to its own thread in batches (StatusWindow::report). A fast backlog
// conversion (tens of thousands of blocks a second) thus costs the window
// one small batch now and then, not a flood it could not keep up with, and
// nothing waits for a flush().
#pragma once

#include <string>

#include "livemill/gui/status_window.h"
#include "recorder/status_monitor.h"

namespace velt::livemill::gui {

class WindowStatusMonitor final : public recorder::StatusMonitor {
public:
    using Report = StatusWindow::Report;

    /// @brief Reports go to `window` (not owned; it outlives the monitor).
    explicit WindowStatusMonitor(StatusWindow& window) : window_(window) {}

    void setLastActive(int input, int64_t seconds) override { number(Report::LastActive, input, seconds); }
    void setInputFile(int input, long file) override { number(Report::InputFile, input, file); }
    void setOffset(int input, long offset) override { number(Report::Offset, input, offset); }
    void setDeviceNumber(int input, long value) override { number(Report::Device, input, value); }
    void setConfigNumber(int input, long value) override { number(Report::Config, input, value); }
    void setBlockNumber(int input, long value) override { number(Report::Block, input, value); }
    void setLastBlockTime(int input, int64_t seconds) override { number(Report::BlockTime, input, seconds); }
    void setRestartNumber(int input, long value) override { number(Report::Restart, input, value); }
    void setWaiting(int input, int flag) override { number(Report::Waiting, input, flag); }
    void setRowsWaiting(int input, long rows) override { number(Report::RowsWaiting, input, rows); }
    void setPosition(int input, long file, long offset) override {
        window_.report(Report::Position, input, {file, offset, {}});
    }
    void setStationName(int input, const char* name) override { text(Report::Station, input, name); }
    void logLine(int input, const char* line) override { text(Report::Log, input, line); }
    void setChannelName(int, int, const char*) override {}

private:
    void number(Report kind, int input, int64_t value) { window_.report(kind, input, {value, 0, {}}); }
    void text(Report kind, int input, const char* value) { window_.report(kind, input, {0, 0, value ? value : ""}); }

    StatusWindow& window_;
};

}  // namespace velt::livemill::gui
