// Status reports of the headless converter: every state-machine log line at
// once, and one compact status line per input at most every `interval`
// seconds (only when something changed), so a service log stays readable.
// While FILELIST rows wait for the database the line carries
// "filelist-backlog N" before the idle mark " waiting: no new data, looks
// again at HH:MM:SS" (UTC, the end of the input's wait period).
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include "livemill/livemill_config.h"
#include "platform/clock.h"
#include "recorder/status_monitor.h"

namespace velt::livemill {

class HeadlessStatusMonitor final : public recorder::StatusMonitor {
public:
    /// @brief Writes to `out` (not owned); `clock` paces the status lines.
    HeadlessStatusMonitor(std::FILE* out, const platform::Clock& clock, int intervalSeconds = 5);

    void setLastActive(int input, int64_t seconds) override;
    void setInputFile(int input, long file) override;
    void setOffset(int input, long offset) override;
    void setDeviceNumber(int input, long value) override;
    void setConfigNumber(int input, long value) override;
    void setBlockNumber(int input, long value) override;
    void setLastBlockTime(int input, int64_t seconds) override;
    void setRestartNumber(int input, long value) override;
    void setStationName(int input, const char* name) override;
    void setChannelName(int, int, const char*) override {}
    void logLine(int input, const char* text) override;
    void setWaiting(int input, int flag) override;
    void setPosition(int, long, long) override {}
    void setRowsWaiting(int input, long rows) override;

    /// @brief Prints the status line of every input that changed since its last line.
    void printAll();
    /// @brief Prints the lines that changed and are due (interval passed).
    void flush() override;

private:
    struct InputStatus {
        long file = 0;
        long offset = 0;
        long device = 0;
        long config = 0;
        long block = 0;
        int64_t blockTime = 0;
        long restart = 0;
        std::string station;
        bool waiting = false;
        int64_t waitingSince = 0;
        long rowsWaiting = 0;  // FILELIST rows waiting for the database
        bool changed = false;
        int64_t lastPrinted = 0;
    };
    bool valid(int input) const { return input >= 0 && input < kMaxInputs; }
    void touched(int input);
    void print(int input);

    std::FILE* out_;
    const platform::Clock& clock_;
    int interval_;
    std::array<InputStatus, kMaxInputs> inputs_{};
};

}  // namespace velt::livemill
