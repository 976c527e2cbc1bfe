// A StatusMonitor for tests that records every call in order, so a test can
// check which reports were made with which values and which log lines were
// written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "recorder/status_monitor.h"

namespace velt::test {

class RecordingStatusMonitor final : public recorder::StatusMonitor {
public:
    struct Call {
        std::string op;    // operation name, e.g. "setBlockNumber"
        int input = 0;
        int64_t a = 0;     // first numeric argument (channel for setChannelName, file for setPosition)
        int64_t b = 0;     // second numeric argument (offset for setPosition)
        std::string text;  // name or log text
    };

    std::vector<Call> calls;

    /// @brief Number of calls of `op`.
    int count(const std::string& op) const;
    /// @brief The last call of `op`, or nullptr when there was none.
    const Call* last(const std::string& op) const;
    /// @brief Texts of every logLine call, in order.
    std::vector<std::string> logTexts() const;
    /// @brief Number of logLine calls whose text begins with `prefix`.
    int countLines(const std::string& prefix) const;
    /// @brief Numeric first arguments of every call of `op`, in order.
    std::vector<int64_t> values(const std::string& op) const;
    /// @brief Numeric first argument of the last call of `op`, or `none` when there was none.
    int64_t lastValue(const std::string& op, int64_t none) const;
    void clear() { calls.clear(); }

    void setLastActive(int input, int64_t seconds) override { add("setLastActive", input, seconds); }
    void setInputFile(int input, long file) override { add("setInputFile", input, file); }
    void setOffset(int input, long offset) override { add("setOffset", input, offset); }
    void setDeviceNumber(int input, long value) override { add("setDeviceNumber", input, value); }
    void setConfigNumber(int input, long value) override { add("setConfigNumber", input, value); }
    void setBlockNumber(int input, long value) override { add("setBlockNumber", input, value); }
    void setLastBlockTime(int input, int64_t seconds) override { add("setLastBlockTime", input, seconds); }
    void setRestartNumber(int input, long value) override { add("setRestartNumber", input, value); }
    void setStationName(int input, const char* name) override { add("setStationName", input, 0, 0, name); }
    void setChannelName(int input, int channel, const char* name) override {
        add("setChannelName", input, channel, 0, name);
    }
    void logLine(int input, const char* text) override;
    void setWaiting(int input, int flag) override { add("setWaiting", input, flag); }
    void setPosition(int input, long file, long offset) override { add("setPosition", input, file, offset); }
    void setRowsWaiting(int input, long rows) override { add("setRowsWaiting", input, rows); }

private:
    void add(const char* op, int input, int64_t a, int64_t b = 0, const char* text = nullptr);
};

}  // namespace velt::test
