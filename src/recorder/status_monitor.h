// Everything a converter reports about one of its inputs goes through this
// interface; the window, the headless console and tests implement it. Every
// report names the input (0-based) first; an implementation ignores inputs it
// does not know. Reports come from the worker thread only and return nothing.
#pragma once

#include <cstdint>
#include <cstdio>

namespace velt::recorder {

class StatusMonitor {
public:
    virtual ~StatusMonitor() = default;
    /// @brief Wall-clock seconds of the last data block.
    virtual void setLastActive(int input, int64_t seconds) = 0;
    /// @brief File number of the last persisted position.
    virtual void setInputFile(int input, long file) = 0;
    /// @brief Byte offset of the last persisted position.
    virtual void setOffset(int input, long offset) = 0;
    /// @brief Device number from the status record.
    virtual void setDeviceNumber(int input, long value) = 0;
    /// @brief Configuration number assembled from the four lanes.
    virtual void setConfigNumber(int input, long value) = 0;
    /// @brief Number of the last block checked.
    virtual void setBlockNumber(int input, long value) = 0;
    /// @brief Time of the last data block, seconds since 1970 UTC.
    virtual void setLastBlockTime(int input, int64_t seconds) = 0;
    /// @brief Restart number assembled from the four lanes.
    virtual void setRestartNumber(int input, long value) = 0;
    /// @brief Station name of a collected configuration (text not kept by the caller).
    virtual void setStationName(int input, const char* name) = 0;
    /// @brief Channel name of a collected configuration.
    virtual void setChannelName(int input, int channel, const char* name) = 0;
    /// @brief A state-machine log line ("13 CONFIG -> DATAOPER 1000 90695").
    virtual void logLine(int input, const char* text) = 0;
    /// @brief 1 while the input idles waiting for data, 0 when data flow again.
    virtual void setWaiting(int input, int flag) = 0;
    /// @brief Reading position, reported every 1000 bytes.
    virtual void setPosition(int input, long file, long offset) = 0;
    /// @brief Number of FILELIST rows of the input waiting for the database
    /// to answer again; reported when it changes (0 once they are written).
    virtual void setRowsWaiting(int input, long rows) { (void)input, (void)rows; }
    /// @brief Files begun and bytes written since the start by one of the
    /// input's outputs (`output`: "qrx", "int4", "mseed"); reported before
    /// each flush().
    virtual void setOutputTally(int input, const char* output, uint64_t files, uint64_t bytes) {
        (void)input, (void)output, (void)files, (void)bytes;
    }
    /// @brief Hands on whatever the implementation gathered and has not shown
    /// yet; the worker calls it before it idles and every few thousand passes.
    virtual void flush() {}
};

/// A monitor that ignores every report; used where nobody listens.
class NullStatusMonitor : public StatusMonitor {
public:
    void setLastActive(int, int64_t) override {}
    void setInputFile(int, long) override {}
    void setOffset(int, long) override {}
    void setDeviceNumber(int, long) override {}
    void setConfigNumber(int, long) override {}
    void setBlockNumber(int, long) override {}
    void setLastBlockTime(int, int64_t) override {}
    void setRestartNumber(int, long) override {}
    void setStationName(int, const char*) override {}
    void setChannelName(int, int, const char*) override {}
    void logLine(int, const char*) override {}
    void setWaiting(int, int) override {}
    void setPosition(int, long, long) override {}
};

/// Prints each report as one text line (the verbose headless mode).
class ConsoleStatusMonitor final : public StatusMonitor {
public:
    /// @brief Writes to `out` (not owned; standard output by default).
    explicit ConsoleStatusMonitor(std::FILE* out = stdout) : out_(out) {}
    void setLastActive(int input, int64_t seconds) override;
    void setInputFile(int input, long file) override;
    void setOffset(int input, long offset) override;
    void setDeviceNumber(int input, long value) override;
    void setConfigNumber(int input, long value) override;
    void setBlockNumber(int input, long value) override;
    void setLastBlockTime(int input, int64_t seconds) override;
    void setRestartNumber(int input, long value) override;
    void setStationName(int input, const char* name) override;
    void setChannelName(int input, int channel, const char* name) override;
    void logLine(int input, const char* line) override;
    void setWaiting(int, int) override {}
    void setPosition(int, long, long) override {}

private:
    std::FILE* out_;
};

}  // namespace velt::recorder
