// livemill's SeedLink server: every input with a miniSEED store is one
// station, served from the store's numbered files. The store tells the
// server at each commit which files are durable and how their records are
// numbered, so a client sees a record only once a restart cannot change it.
// The same port serves the status page (/, /status.json, /metrics) from a
// StatusBoard that sees every report of the worker.
#pragma once

#include <memory>
#include <string>

#include "livemill/status_board.h"
#include "recorder/status_monitor.h"
#include "serve/seedlink_server.h"

namespace velt::livemill {

class Worker;

class SeedlinkService final {
public:
    /// @brief `settingsFile` names where LISTEN was read, for messages.
    SeedlinkService(serve::SeedlinkSettings settings, std::string settingsFile);
    ~SeedlinkService();

    bool enabled() const { return !settings_.listen.empty(); }
    /// @brief Binds LISTEN. @return 0, or -1 with a line naming the file,
    /// the key and the reason in `error`.
    int open(std::string& error);
    /// @brief Before the worker is made: the monitor it reports to. With the
    /// server on, a StatusBoard that keeps every report for the status page
    /// and hands it on to `inner`; else `inner`.
    recorder::StatusMonitor& monitorFor(recorder::StatusMonitor& inner, int inputCount);
    /// @brief After worker.setUp(): makes each input's miniSEED store a
    /// station and starts serving. Inputs without one are not served.
    void attach(Worker& worker);
    uint16_t port() const { return server_ ? server_->port() : 0; }

private:
    serve::SeedlinkSettings settings_;
    std::string settingsFile_;
    std::unique_ptr<serve::SeedlinkServer> server_;
    std::unique_ptr<StatusBoard> board_;
};

}  // namespace velt::livemill
