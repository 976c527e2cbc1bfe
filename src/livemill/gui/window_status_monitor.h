// The status window's side of the StatusMonitor interface. Reports arrive on
// the worker thread; no Qt object is touched there. Each report is recorded
// in a batch, and batches are handed to the user-interface thread by queued
// invocation, where they are applied in order. A batch is sent at least every
// 50 ms while reports flow, and at once for log lines and waiting changes, so
// a fast backlog conversion cannot flood the event queue and every report
// still reaches the window.
#pragma once

#include <QPointer>

#include <chrono>
#include <string>
#include <vector>

#include "livemill/gui/status_window.h"
#include "recorder/status_monitor.h"

namespace velt::livemill::gui {

class WindowStatusMonitor final : public recorder::StatusMonitor {
public:
    /// @brief Reports go to `window` (not owned; reports after it is gone are dropped).
    explicit WindowStatusMonitor(StatusWindow* window) : window_(window) {}
    ~WindowStatusMonitor() override { send(); }

    void setLastActive(int input, int64_t seconds) override { add({Op::LastActive, input, seconds}); }
    void setInputFile(int input, long file) override { add({Op::InputFile, input, file}); }
    void setOffset(int input, long offset) override { add({Op::Offset, input, offset}); }
    void setDeviceNumber(int input, long value) override { add({Op::Device, input, value}); }
    void setConfigNumber(int input, long value) override { add({Op::Config, input, value}); }
    void setBlockNumber(int input, long value) override { add({Op::Block, input, value}); }
    void setLastBlockTime(int input, int64_t seconds) override { add({Op::BlockTime, input, seconds}); }
    void setRestartNumber(int input, long value) override { add({Op::Restart, input, value}); }
    void setStationName(int input, const char* name) override { add({Op::Station, input, 0, 0, name}); }
    void setChannelName(int, int, const char*) override {}
    void logLine(int input, int code, const char* text) override { add({Op::Log, input, code, 0, text}, true); }
    void setCounter(int input, long value) override { add({Op::Counter, input, value}); }
    void setWaiting(int input, int flag) override { add({Op::Waiting, input, flag}, true); }
    void setPosition(int input, long file, long offset) override { add({Op::Position, input, file, offset}); }

    /// @brief Hands the reports gathered so far to the window.
    void send();

private:
    enum class Op { LastActive, InputFile, Offset, Device, Config, Block, BlockTime, Restart, Station, Log, Counter,
                    Waiting, Position };
    struct Report {
        Op op;
        int input;
        int64_t a = 0;
        int64_t b = 0;
        std::string text;
    };
    void add(Report report, bool urgent = false);
    static void apply(StatusWindow& window, const std::vector<Report>& batch);

    QPointer<StatusWindow> window_;
    std::vector<Report> pending_;
    std::chrono::steady_clock::time_point lastSend_{};
};

}  // namespace velt::livemill::gui
