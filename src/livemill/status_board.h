// The converter's status for its HTTP pages: a status monitor that keeps the
// last report of every input and hands each report on to the monitor it
// wraps (the window or the console), and the answers /status.json and
// /metrics, built on the server's thread from a copy taken under a short
// lock, so that a request never holds up the conversion.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "livemill/livemill_config.h"
#include "platform/clock.h"
#include "recorder/status_monitor.h"
#include "serve/seedlink_server.h"

namespace velt::livemill {

class StatusBoard final : public recorder::StatusMonitor, public serve::StatusPages {
public:
    /// The tally of one output of an input.
    struct Output {
        std::string kind;  // "qrx", "int4", "mseed"
        uint64_t files = 0;
        uint64_t bytes = 0;
    };
    /// What is known of one input.
    struct Input {
        std::string station;
        std::vector<std::string> channels;
        long device = 0, configuration = 0, restart = 0, block = 0;
        int64_t lastBlockTime = 0;  // 0: no block yet
        long file = 0, offset = 0;  // reading position
        bool waiting = false;
        long rowsWaiting = 0;
        std::vector<Output> outputs;
        int seedlinkStation = -1;  // index at the server, -1: not served
    };

    /// @brief `server` (not owned) is asked for its clients and station names.
    StatusBoard(int inputCount, const serve::SeedlinkServer& server, const platform::Clock& clock);

    /// @brief Reports go on to `inner` (not owned) as well, until the next call.
    recorder::StatusMonitor& wrap(recorder::StatusMonitor& inner);
    /// @brief Input `input` is the server's station `station`.
    void setSeedlinkStation(int input, int station);

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
    void logLine(int input, const char* text) override;
    void setWaiting(int input, int flag) override;
    void setPosition(int input, long file, long offset) override;
    void setRowsWaiting(int input, long rows) override;
    void setOutputTally(int input, const char* output, uint64_t files, uint64_t bytes) override;
    void flush() override;

    bool answer(std::string_view path, std::string_view query, serve::HttpAnswer& answer) override;

    /// @brief /status.json and /metrics of what is known now.
    std::string statusJson() const;
    std::string metricsText() const;

private:
    template <typename Change>
    void update(int input, Change change);
    std::vector<Input> snapshot() const;

    const int inputCount_;
    const serve::SeedlinkServer& server_;
    const platform::Clock& clock_;
    const int64_t started_;
    recorder::StatusMonitor* inner_ = nullptr;
    mutable std::mutex mutex_;
    std::array<Input, kMaxInputs> inputs_;
};

}  // namespace velt::livemill
