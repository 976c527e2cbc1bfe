#include "serve/seedlink_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/log.h"
#include "serve/websocket.h"
#include "web/web_assets.h"

namespace velt::serve {

namespace {

constexpr const char* kWho = "SeedLink";
// A client whose queue took no byte for this long is let go.
constexpr int64_t kStalledMicros = int64_t(600) * 1'000'000;
constexpr std::string_view kWebSocketPath = "/seedlink";
constexpr std::string_view kProtocols[] = {"SeedLink4.0", "SeedLink3.1"};

int64_t nowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t wallMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool looksLikeHttp(std::string_view bytes) {
    for (std::string_view verb : {"GET ", "HEAD ", "POST ", "PUT ", "DELETE ", "OPTIONS ", "TRACE ", "CONNECT "})
        if (bytes.substr(0, verb.size()) == verb.substr(0, std::min(verb.size(), bytes.size())) &&
            bytes.size() >= 3)
            return true;
    return false;
}

}  // namespace

bool parseListenAddress(const std::string& text, std::string& host, uint16_t& port, std::string& error) {
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size()) {
        error = "\"" + text + "\" is not ADDR:PORT";
        return false;
    }
    host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const std::string digits = text.substr(colon + 1);
    long value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9' || value > 65535) {
            error = "port \"" + digits + "\" of \"" + text + "\" is not a number from 0 to 65535";
            return false;
        }
        value = value * 10 + (c - '0');
    }
    if (value > 65535 || host.empty()) {
        error = host.empty() ? "\"" + text + "\" names no address (use 0.0.0.0 for every one)"
                             : "port " + digits + " is above 65535";
        return false;
    }
    port = uint16_t(value);
    return true;
}

std::string pageAddress(const std::string& listen, uint16_t port) {
    std::string host, error;
    uint16_t configured = 0;
    if (!parseListenAddress(listen, host, configured, error)) host = listen;
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return "http://" + host + ":" + std::to_string(port) + "/";
}

struct SeedlinkServer::Connection final : SeedlinkSession::Sink {
    enum class Mode { Unknown, SeedLink, Http, WebSocket };
    int fd = -1;
    std::string address;
    int64_t connectedMicros = 0;
    int64_t lastProgress = 0;
    Mode mode = Mode::Unknown;
    bool refused = false;
    bool closeAfterFlush = false;
    bool writable = true;  // false while EPOLLOUT is awaited
    std::string out;
    std::size_t sent = 0;
    std::unique_ptr<SeedlinkSession> session;
    std::unique_ptr<HttpRequestHead> head;
    std::unique_ptr<WebSocketDecoder> socket;
    std::vector<uint8_t> frame;

    std::size_t queued() const { return out.size() - sent; }
    // The conversation is over (BYE, dial-up END): a WebSocket client gets a
    // close frame first, so that it sees a clean close and not a lost link.
    void finish() {
        if (mode == Mode::WebSocket) {
            frame.clear();
            socket->close(close_code::kNormal, frame);
            out.append(reinterpret_cast<const char*>(frame.data()), frame.size());
        }
        closeAfterFlush = true;
    }
    void message(std::string_view bytes, bool) override {
        if (mode != Mode::WebSocket) {
            out.append(bytes);
            return;
        }
        frame.clear();
        appendFrame(frame, Opcode::Binary, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        out.append(reinterpret_cast<const char*>(frame.data()), frame.size());
    }
};

SeedlinkServer::SeedlinkServer(SeedlinkSettings settings, std::string software) : settings_(std::move(settings)) {
    identity_.software = std::move(software);
    identity_.organization = settings_.organization;
    identity_.startedMicros = wallMicros();
}

SeedlinkServer::~SeedlinkServer() {
    stop();
    for (auto& c : connections_)
        if (c->fd >= 0) ::close(c->fd);
    if (listenFd_ >= 0) ::close(listenFd_);
    if (epollFd_ >= 0) ::close(epollFd_);
}

int SeedlinkServer::open(std::string& error) {
    std::string host;
    uint16_t port = 0;
    if (!parseListenAddress(settings_.listen, host, port, error)) return -1;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        error = "cannot resolve " + settings_.listen + ": " + ::gai_strerror(rc);
        return -1;
    }
    error = "no address for " + settings_.listen;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 64) == 0) {
            listenFd_ = fd;
            sockaddr_storage bound{};
            socklen_t length = sizeof bound;
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
            port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                     : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
            break;
        }
        error = "cannot listen on " + settings_.listen + ": " + std::strerror(errno);
        ::close(fd);
    }
    ::freeaddrinfo(found);
    if (listenFd_ < 0) return -1;
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = nullptr;
    ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &ev);
    ev.data.ptr = &wake_;
    ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wake_.descriptor(), &ev);
    error.clear();
    return 0;
}

int SeedlinkServer::addStation(std::unique_ptr<StationFiles> station, uint32_t endFile, uint64_t endSequence) {
    station->advance(endFile, endSequence);
    stations_.push_back(std::move(station));
    std::lock_guard lock(horizonMutex_);
    horizons_.emplace_back();
    return int(stations_.size() - 1);
}

void SeedlinkServer::committed(int station, uint32_t endFile, uint64_t endSequence) {
    {
        std::lock_guard lock(horizonMutex_);
        if (station < 0 || std::size_t(station) >= horizons_.size()) return;
        horizons_[std::size_t(station)] = Horizon{true, endFile, endSequence};
    }
    wake_.signal();
}

void SeedlinkServer::start() {
    if (listenFd_ < 0 || thread_.joinable()) return;
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
}

void SeedlinkServer::stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    wake_.signal();
    thread_.join();
}

void SeedlinkServer::applyHorizons() {
    std::vector<Horizon> pending;
    {
        std::lock_guard lock(horizonMutex_);
        pending = horizons_;
        for (Horizon& h : horizons_) h.pending = false;
    }
    for (std::size_t i = 0; i < pending.size(); ++i)
        if (pending[i].pending) stations_[i]->advance(pending[i].endFile, pending[i].endSequence);
}

void SeedlinkServer::run() {
    epoll_event events[64];
    int64_t lastSweep = nowMicros();
    while (!stopping_.load()) {
        const int n = ::epoll_wait(epollFd_, events, 64, 1000);
        bool newData = false;
        for (int i = 0; i < n; ++i) {
            void* tag = events[i].data.ptr;
            if (tag == nullptr) {
                accept();
            } else if (tag == &wake_) {
                wake_.consume();
                newData = true;
            } else {
                auto* c = static_cast<Connection*>(tag);
                if (c->fd < 0) continue;
                if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) readFrom(*c);
                if (c->fd >= 0 && (events[i].events & EPOLLOUT)) {
                    c->writable = true;
                    flush(*c);
                }
                if (c->fd >= 0) serve(*c);
            }
        }
        if (newData) {
            applyHorizons();
            for (auto& c : connections_)
                if (c->fd >= 0 && c->session && c->session->transferring()) serve(*c);
        }
        const int64_t now = nowMicros();
        if (now - lastSweep > 1'000'000) {
            lastSweep = now;
            for (auto& c : connections_)
                if (c->fd >= 0 && c->queued() > 0 && now - c->lastProgress > kStalledMicros)
                    close(*c, "it took nothing for 10 minutes");
        }
        std::erase_if(connections_, [](const std::unique_ptr<Connection>& c) { return c->fd < 0; });
        connectionCount_ = connections_.size();
    }
}

void SeedlinkServer::accept() {
    for (;;) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                VELT_LOG_WARNING(kWho, "accepting a connection on %s failed: %s", settings_.listen.c_str(),
                                 std::strerror(errno));
            return;
        }
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        char text[INET6_ADDRSTRLEN] = "?";
        uint16_t port = 0;
        if (peer.ss_family == AF_INET6) {
            const auto* a = reinterpret_cast<sockaddr_in6*>(&peer);
            ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
            port = ntohs(a->sin6_port);
        } else {
            const auto* a = reinterpret_cast<sockaddr_in*>(&peer);
            ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
            port = ntohs(a->sin_port);
        }
        c->address = std::string(text) + ":" + std::to_string(port);
        c->connectedMicros = wallMicros();
        c->lastProgress = nowMicros();
        c->refused = int(connections_.size()) >= settings_.maxConnections;
        if (c->refused)
            VELT_LOG_WARNING(kWho, "%s refused: %d connections already (the limit)", c->address.c_str(),
                             settings_.maxConnections);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = c.get();
        ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev);
        connections_.push_back(std::move(c));
        connectionCount_ = connections_.size();
    }
}

void SeedlinkServer::readFrom(Connection& c) {
    char buffer[kMaxInputBytes];
    for (;;) {
        const ssize_t got = ::recv(c.fd, buffer, sizeof buffer, 0);
        if (got == 0) return close(c, "the client closed the connection");
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            if (errno == EINTR) continue;
            return close(c, std::strerror(errno));
        }
        if (c.closeAfterFlush) continue;  // what comes after the last answer is not read
        std::string_view bytes(buffer, std::size_t(got));
        if (c.mode == Connection::Mode::Unknown) {
            if (looksLikeHttp(bytes)) {
                c.mode = Connection::Mode::Http;
                c.head = std::make_unique<HttpRequestHead>();
            } else if (!settings_.seedlink) {
                return close(c, "not an HTTP request (this port serves only the status page)");
            } else {
                c.mode = Connection::Mode::SeedLink;
                if (!c.refused) c.session = std::make_unique<SeedlinkSession>(identity_, *this, c);
            }
        }
        if (c.refused && c.mode == Connection::Mode::SeedLink) {
            if (bytes.find_first_of("\r\n") == std::string_view::npos) continue;
            c.out += "ERROR LIMIT too many connections\r\n";
            c.closeAfterFlush = true;
        } else if (c.mode == Connection::Mode::Http) {
            const std::size_t used = c.head->push(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            bytes.remove_prefix(used);
            handleHttp(c);
            if (c.mode == Connection::Mode::WebSocket && !bytes.empty()) {
                std::vector<std::string> messages;
                std::vector<uint8_t> frames;
                c.socket->push(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), messages, frames);
                c.out.append(reinterpret_cast<const char*>(frames.data()), frames.size());
                for (const std::string& m : messages) c.session->receive(m + "\n");
            }
        } else if (c.mode == Connection::Mode::WebSocket) {
            std::vector<std::string> messages;
            std::vector<uint8_t> frames;
            c.socket->push(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), messages, frames);
            c.out.append(reinterpret_cast<const char*>(frames.data()), frames.size());
            for (const std::string& m : messages) c.session->receive(m + "\n");
            if (c.socket->closed()) c.closeAfterFlush = true;
        } else {
            c.session->receive(bytes);
        }
        if (c.session && c.session->finished()) c.finish();
        flush(c);
        if (c.fd < 0) return;
    }
}

void SeedlinkServer::handleHttp(Connection& c) {
    const HttpHeadStatus status = c.head->status();
    if (status == HttpHeadStatus::Incomplete) return;
    if (status != HttpHeadStatus::Complete) {
        c.out += httpErrorResponse(httpStatusFor(status));
        c.closeAfterFlush = true;
        return;
    }
    const HttpRequest& request = c.head->request();
    const std::string_view target = request.target;
    const std::size_t query = target.find('?');
    const std::string_view path = target.substr(0, query);
    if (path != kWebSocketPath || !settings_.seedlink) {
        answerPage(c, request.method, path, query == std::string_view::npos ? "" : target.substr(query + 1));
        c.closeAfterFlush = true;
        return;
    }
    if (c.refused) {
        c.out += httpErrorResponse(503, "too many connections");
        c.closeAfterFlush = true;
        return;
    }
    const UpgradeDecision decision = checkUpgrade(request, kProtocols);
    c.out += upgradeResponse(decision);
    if (decision.outcome != UpgradeOutcome::Accepted) {
        c.closeAfterFlush = true;
        return;
    }
    c.mode = Connection::Mode::WebSocket;
    c.socket = std::make_unique<WebSocketDecoder>(SeedlinkSession::kMaxLine + 16);
    c.session = std::make_unique<SeedlinkSession>(identity_, *this, c);
    // The subprotocol names the version: a 4.0 client may leave out SLPROTO.
    if (decision.protocol == kProtocols[0]) c.session->speakVersion4();
}

std::string SeedlinkServer::stationId(int station) const {
    if (station < 0 || std::size_t(station) >= stations_.size() || !stations_[std::size_t(station)]->known()) return {};
    return stations_[std::size_t(station)]->id();
}

void SeedlinkServer::answerPage(Connection& c, const std::string& method, std::string_view path,
                                std::string_view query) {
    const web::Asset* asset = pages_ != nullptr ? web::findAsset(path) : nullptr;
    HttpAnswer answer;
    const bool known = asset != nullptr || (pages_ != nullptr && pages_->answer(path, query, answer));
    if (!known) {
        c.out += httpErrorResponse(404, settings_.seedlink ? "this port serves SeedLink, WebSocket clients at "
                                                             "/seedlink, and the status page at /"
                                                           : "this port serves the status page at /");
    } else if (method != "GET") {
        c.out += httpErrorResponse(405);
    } else if (c.refused) {
        c.out += httpErrorResponse(503, "too many connections");
    } else if (asset != nullptr) {
        c.out += httpResponse(200, asset->contentType, asset->bytes, "no-cache");
    } else {
        c.out += httpResponse(200, answer.contentType, answer.body, "no-store");
    }
}

void SeedlinkServer::serve(Connection& c) {
    if (!c.session || !c.session->transferring() || c.closeAfterFlush) return;
    while (c.fd >= 0 && c.writable && c.queued() < kQueueBytes) {
        const bool more = c.session->pump(kQueueBytes - c.queued());
        if (c.session->finished()) c.finish();
        flush(c);
        if (!more) break;
    }
}

void SeedlinkServer::flush(Connection& c) {
    while (c.queued() > 0 && c.writable) {
        const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.queued(), MSG_NOSIGNAL);
        if (n > 0) {
            c.sent += std::size_t(n);
            c.lastProgress = nowMicros();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            c.writable = false;
            watch(c);
            return;
        }
        return close(c, std::strerror(errno));
    }
    if (c.queued() == 0) {
        c.out.clear();
        c.sent = 0;
        if (c.closeAfterFlush) return close(c, "finished");
    } else if (c.sent > kQueueBytes) {
        c.out.erase(0, c.sent);
        c.sent = 0;
    }
}

void SeedlinkServer::watch(Connection& c) {
    epoll_event ev{};
    ev.events = EPOLLIN | (c.writable ? 0u : uint32_t(EPOLLOUT));
    ev.data.ptr = &c;
    ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, c.fd, &ev);
}

void SeedlinkServer::close(Connection& c, const char* why) {
    if (c.fd < 0) return;
    if (c.session && c.session->packetsSent() > 0)
        VELT_LOG_INFO(kWho, "%s (%s) disconnected after %llu packets: %s", c.address.c_str(),
                      c.session->userAgent().empty() ? "no user agent" : c.session->userAgent().c_str(),
                      static_cast<unsigned long long>(c.session->packetsSent()), why);
    ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, c.fd, nullptr);
    ::close(c.fd);
    c.fd = -1;
}

std::size_t SeedlinkServer::clientCount() const {
    return std::size_t(std::count_if(connections_.begin(), connections_.end(),
                                     [](const std::unique_ptr<Connection>& c) { return c->fd >= 0 && c->session; }));
}

std::vector<StationFiles*> SeedlinkServer::stations() {
    std::vector<StationFiles*> list;
    for (auto& s : stations_) list.push_back(s.get());
    return list;
}

std::vector<ConnectionSummary> SeedlinkServer::connections() {
    std::vector<ConnectionSummary> list;
    for (auto& c : connections_) {
        if (c->fd < 0 || !c->session) continue;
        list.push_back(ConnectionSummary{c->address, c->session->userAgent(), c->session->protocol(),
                                         c->connectedMicros, c->session->packetsSent(),
                                         c->session->transferring()});
    }
    return list;
}

}  // namespace velt::serve
