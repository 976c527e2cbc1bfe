// The SeedLink server: one thread, one epoll loop, every client with a
// bounded queue. Stations are miniSEED stores (StationFiles); the converting
// thread reports each store's new durable horizon with committed(), which
// wakes the loop through an eventfd, and every client that is caught up gets
// the new records at once.
//
// A slow or stalled client costs nothing but its own queue: records are read
// from the files when it has room, so it falls back on the files however far
// behind it is, and conversion never waits for it. The same port takes
// WebSocket clients ("GET /seedlink", subprotocols SeedLink4.0 and
// SeedLink3.1; every reply and packet one binary frame) and the program's
// status pages (StatusPages): the page itself, its script and what the
// program answers at its own paths, one request a connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/wake_event.h"
#include "serve/seedlink_session.h"
#include "serve/station_files.h"

namespace velt::serve {

struct SeedlinkSettings {
    std::string listen;  // "ADDR:PORT"; empty: no server
    int maxConnections = 100;
    std::string organization;
    /// false: HTTP only (status pages); a SeedLink client is turned away.
    bool seedlink = true;
};

/// An answer of a program's own HTTP path.
struct HttpAnswer {
    std::string contentType;
    std::string body;
};

/// What a program answers over HTTP beside SeedLink: /status.json, /metrics
/// and whatever else its page asks for. Called on the server's thread, so an
/// implementation copies its status under its own short lock.
class StatusPages {
public:
    virtual ~StatusPages() = default;
    /// @brief The answer to GET `path`; `query` is what followed '?' (may be
    /// empty). @return false when the program has no such path.
    virtual bool answer(std::string_view path, std::string_view query, HttpAnswer& answer) = 0;
};

/// @brief Splits "ADDR:PORT" ("[v6]:PORT" too). @return false, with the
/// reason in `error`, when it is not an address and port.
bool parseListenAddress(const std::string& text, std::string& host, uint16_t& port, std::string& error);

/// @brief The answers every program's status has: /status.json and
/// /metrics (Prometheus text), made by `json` and `metrics` only when asked
/// for. @return false for any other path.
template <typename Json, typename Metrics>
bool answerStatus(std::string_view path, HttpAnswer& answer, Json json, Metrics metrics) {
    if (path == "/status.json") {
        answer = {"application/json", json()};
        return true;
    }
    if (path == "/metrics") {
        answer = {"text/plain; version=0.0.4; charset=utf-8", metrics()};
        return true;
    }
    return false;
}

/// @brief "http://HOST:PORT/" for a LISTEN setting and the port bound (for messages).
std::string pageAddress(const std::string& listen, uint16_t port);

class SeedlinkServer final : public StationDirectory {
public:
    /// Bytes a client's queue holds before records wait in the files.
    static constexpr std::size_t kQueueBytes = std::size_t(256) << 10;
    /// Command bytes a client may send before they are answered.
    static constexpr std::size_t kMaxInputBytes = 4096;

    SeedlinkServer(SeedlinkSettings settings, std::string software);
    /// @brief Stops the thread and closes every connection.
    ~SeedlinkServer() override;
    SeedlinkServer(const SeedlinkServer&) = delete;
    SeedlinkServer& operator=(const SeedlinkServer&) = delete;

    /// @brief Binds the listening socket where the settings say.
    /// @return 0, or -1 with the reason (naming the address) in `error`.
    int open(std::string& error);
    /// @brief Adds a station before start(). @return its index for committed().
    int addStation(std::unique_ptr<StationFiles> station, uint32_t endFile, uint64_t endSequence);
    /// @brief Any thread: the station's store made files below `endFile`
    /// durable, the next record numbered `endSequence`.
    void committed(int station, uint32_t endFile, uint64_t endSequence);
    /// @brief Before start(): serves the status page (/, /status.js) and
    /// `pages`' paths (not owned; null: none).
    void setPages(StatusPages* pages) { pages_ = pages; }
    void start();
    void stop();

    /// @brief The port bound (useful with port 0).
    uint16_t port() const { return port_; }
    std::size_t connectionCount() const { return connectionCount_.load(); }
    /// @brief On the server's thread only (in StatusPages::answer): the
    /// SeedLink clients, WebSocket ones among them; not HTTP requests.
    std::size_t clientCount() const;
    /// @brief On the server's thread only (in StatusPages::answer): "NET_STA"
    /// of station `station`, "" until its first record is durable.
    std::string stationId(int station) const;

private:
    struct Connection;
    struct Horizon {
        bool pending = false;
        uint32_t endFile = 0;
        uint64_t endSequence = 0;
    };

    void run();
    void accept();
    void readFrom(Connection& c);
    void handleHttp(Connection& c);
    void answerPage(Connection& c, const std::string& method, std::string_view path, std::string_view query);
    void serve(Connection& c);
    void flush(Connection& c);
    void close(Connection& c, const char* why);
    void applyHorizons();
    void watch(Connection& c);

    std::vector<StationFiles*> stations() override;
    std::vector<ConnectionSummary> connections() override;

    SeedlinkSettings settings_;
    ServerIdentity identity_;
    StatusPages* pages_ = nullptr;
    int listenFd_ = -1;
    int epollFd_ = -1;
    uint16_t port_ = 0;
    platform::WakeEvent wake_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::vector<std::unique_ptr<StationFiles>> stations_;
    std::mutex horizonMutex_;
    std::vector<Horizon> horizons_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::atomic<std::size_t> connectionCount_{0};
};

}  // namespace velt::serve
