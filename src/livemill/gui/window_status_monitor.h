// The status window's side of the StatusMonitor interface. Reports arrive on
// the worker thread, where no Qt object is touched: each report updates the
// latest value of its field for its input, and the changed fields are handed
// to the user-interface thread by queued invocation, where the window's
// store-and-show operations apply them. The window shows only the latest value
// of each field, so a burst of reports during a fast backlog conversion (tens
// of thousands of blocks a second) costs the user-interface thread one small
// batch every 50 ms instead of a flood it could not keep up with. Log lines
// and waiting changes are sent at once, and whatever is left when the worker
// idles is sent by flush().
#pragma once

#include <QPointer>

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "livemill/gui/status_window.h"
#include "recorder/status_monitor.h"

namespace velt::livemill::gui {

class WindowStatusMonitor final : public recorder::StatusMonitor {
public:
    /// @brief Reports go to `window` (not owned; it must outlive the monitor's sends).
    explicit WindowStatusMonitor(StatusWindow* window) : window_(window) {}
    ~WindowStatusMonitor() override { send(); }

    void setLastActive(int input, int64_t seconds) override { set(input, LastActive, seconds); }
    void setInputFile(int input, long file) override { set(input, InputFile, file); }
    void setOffset(int input, long offset) override { set(input, Offset, offset); }
    void setDeviceNumber(int input, long value) override { set(input, Device, value); }
    void setConfigNumber(int input, long value) override { set(input, Config, value); }
    void setBlockNumber(int input, long value) override { set(input, Block, value); }
    void setLastBlockTime(int input, int64_t seconds) override { set(input, BlockTime, seconds); }
    void setRestartNumber(int input, long value) override { set(input, Restart, value); }
    void setStationName(int input, const char* name) override;
    void setChannelName(int, int, const char*) override {}
    void logLine(int input, const char* text) override;
    void setWaiting(int input, int flag) override { set(input, Waiting, flag, true); }
    void setPosition(int input, long file, long offset) override;

    /// @brief Hands every changed field to the window now.
    void send();
    void flush() override { send(); }

private:
    enum Field { LastActive, InputFile, Offset, Device, Config, Block, BlockTime, Restart, Waiting,
                 PositionFile, PositionOffset, Station, Log, kFields };
    struct Latest {
        std::array<int64_t, kFields> value{};
        std::string station;
        std::string log;
        uint32_t dirty = 0;
    };
    struct Update {
        int input;
        Latest fields;
    };
    static bool valid(int input) { return input >= 0 && input < StatusWindow::kSlots; }
    void set(int input, Field field, int64_t value, bool urgent = false);
    void changed(bool urgent);
    static void apply(StatusWindow& window, const std::vector<Update>& batch);

    QPointer<StatusWindow> window_;
    std::array<Latest, StatusWindow::kSlots> latest_{};
    std::chrono::steady_clock::time_point lastSend_{};
};

}  // namespace velt::livemill::gui
