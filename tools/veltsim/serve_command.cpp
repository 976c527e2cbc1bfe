// The link side of "veltsim serve": the TCP and pseudo-terminal endpoints,
// the one client served at a time, the poll loop that paces the recorder's
// blocks, and the faults the link plays (drops, stalls).
#include "serve_command.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "eeprom_image.h"
#include "platform/calendar.h"
#include "platform/log.h"
#include "platform/program.h"
#include "serve_options.h"
#include "simulated_recorder.h"

namespace veltsim {

namespace {

using serve::kNanosPerSecond;
using serve::kWho;
using serve::OutputQueue;
using serve::Recorder;
using serve::ServeOptions;
using velt::platform::StopSignals;

constexpr int64_t kNanosPerMilli = 1'000'000;
constexpr std::size_t kMaxLineChars = 127;  // a longer command line is cut
constexpr std::size_t kReadChunk = 512;
constexpr int kBacklog = 4;
constexpr int kPtyCheckMillis = 100;  // how often a pseudo-terminal without client is looked at
constexpr int64_t kMaxPollMillis = 60'000;
// After the last block a pty client gets this long to read and close the
// device: closing a pseudo-terminal discards what its client has not read.
constexpr int64_t kLingerNanos = 2 * kNanosPerSecond;

int64_t monotonicNanos() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * kNanosPerSecond + ts.tv_nsec;
}

// Opens a pseudo-terminal in raw mode (bytes pass unchanged, no echo). The
// slave is opened and closed once: from then on the master reports a
// hang-up whenever nobody holds the slave open, which is how a client's
// arrival and departure are seen. @return the master, or -1 (errno set).
int openPty(std::string& slave) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0) return -1;
    char name[128];
    termios raw{};
    int fd = -1;
    if (grantpt(master) == 0 && unlockpt(master) == 0 && ptsname_r(master, name, sizeof name) == 0 &&
        tcgetattr(master, &raw) == 0) {
        cfmakeraw(&raw);
        if (tcsetattr(master, TCSANOW, &raw) == 0) fd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    if (fd < 0) {
        const int error = errno;
        ::close(master);
        errno = error;
        return -1;
    }
    ::close(fd);
    slave = name;
    return master;
}

// Points `path` at `target` in one step: a new link renamed over the old.
bool linkAtomically(const std::string& target, const std::string& path) {
    const std::string temp = path + ".veltsim-new";
    ::unlink(temp.c_str());
    return ::symlink(target.c_str(), temp.c_str()) == 0 && ::rename(temp.c_str(), path.c_str()) == 0;
}

// One connected client: a TCP connection, or the pty master while someone
// holds the slave open.
struct Client {
    int fd = -1;
    bool socket = false;
    int64_t since = 0;  // when it connected
    OutputQueue out;
    std::string line;  // the command line being received
    bool dropPending = false;  // --drop-at-write reached: end before answering
};

// The endpoints, the one client and the recorder behind them.
class Server final {
public:
    Server(const ServeOptions& options, const eeprom::Image& image) : o_(options), recorder_(options, image) {}
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    /// @brief Opens the files, signals and endpoints and prints the
    /// listening lines. @return 0, or 1 after reporting why not.
    int open();
    /// @brief Serves until the end. @return 0 done or signalled, 1 failure.
    int run();

private:
    int fail(const char* what, const std::string& name) const;
    bool openPtyLink();
    bool ptyHasClient() const;
    void connect(int fd, bool socket, int64_t now);
    /// `dropped`: the simulator ends a connection its client still holds.
    bool disconnect(const char* why, bool dropped = false);
    void lingerUntilRead() const;
    bool stalled(int64_t now) const;
    int timeoutMillis(int64_t now) const;
    bool serveClient(short revents);
    void takeInput(const uint8_t* data, std::size_t size);
    void logLine(const std::string& line);

    const ServeOptions& o_;
    Recorder recorder_;
    int listener_ = -1;
    int ptyMaster_ = -1;
    std::string ptySlave_;
    std::optional<Client> client_;
    std::FILE* sent_ = nullptr;
    std::FILE* log_ = nullptr;
    int64_t lingerUntil_ = -1;
    int64_t writes_ = 0;  // EPRW lines received, over all connections
};

Server::~Server() {
    if (client_ && client_->socket) ::close(client_->fd);
    for (int fd : {listener_, ptyMaster_}) {
        if (fd >= 0) ::close(fd);
    }
    char target[256];
    const ssize_t n = o_.pty.empty() ? -1 : ::readlink(o_.pty.c_str(), target, sizeof target - 1);
    if (n > 0 && ptySlave_ == std::string_view(target, std::size_t(n))) ::unlink(o_.pty.c_str());
    if (sent_) std::fclose(sent_);
    if (log_) std::fclose(log_);
}

int Server::fail(const char* what, const std::string& name) const {
    std::fprintf(stderr, "veltsim serve: %s %s: %s\n", what, name.c_str(), std::strerror(errno));
    return 1;
}

int Server::open() {
    ::signal(SIGPIPE, SIG_IGN);  // a client that left shows as an error of send or write
    // SIGINT and SIGTERM wake the poll loop through the stop event, which
    // ends the run with status 0.
    StopSignals::install();
    if (StopSignals::wake().descriptor() < 0) return fail("cannot watch", "SIGINT and SIGTERM");
    if (!o_.sent.empty() && !(sent_ = std::fopen(o_.sent.c_str(), "wb"))) return fail("cannot create", o_.sent);
    if (!o_.log.empty() && !(log_ = std::fopen(o_.log.c_str(), "w"))) return fail("cannot create", o_.log);
    if (o_.tcp) {
        const int on = 1;
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (listener_ < 0 || setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            bind(listener_, reinterpret_cast<const sockaddr*>(&o_.tcpAddress), sizeof o_.tcpAddress) != 0 ||
            listen(listener_, kBacklog) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &length) != 0)
            return fail("cannot listen on", o_.tcpText);
        char host[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &bound.sin_addr, host, sizeof host);
        std::printf("veltsim serve: listening on %s:%u\n", host, unsigned(ntohs(bound.sin_port)));
    }
    if (!o_.pty.empty()) {
        struct stat st{};
        if (::lstat(o_.pty.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            std::fprintf(stderr, "veltsim serve: %s exists and is not a symbolic link\n", o_.pty.c_str());
            return 1;
        }
        if (!openPtyLink()) return fail("cannot make a pseudo-terminal at", o_.pty);
        std::printf("veltsim serve: listening on pty %s\n", o_.pty.c_str());
    }
    std::fflush(stdout);
    return 0;
}

// A fresh pseudo-terminal behind the link, in place of the last one.
bool Server::openPtyLink() {
    if (ptyMaster_ >= 0) ::close(ptyMaster_);
    ptyMaster_ = openPty(ptySlave_);
    return ptyMaster_ >= 0 && linkAtomically(ptySlave_, o_.pty);
}

bool Server::ptyHasClient() const {
    pollfd p{ptyMaster_, POLLIN, 0};
    return ::poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP);
}

void Server::connect(int fd, bool socket, int64_t now) {
    client_.emplace();
    client_->fd = fd;
    client_->socket = socket;
    client_->since = now;
    if (!recorder_.begun()) recorder_.begin(now);
    VELT_LOG_INFO(kWho, "client connected on %s", socket ? "TCP" : o_.pty.c_str());
}

// Closing a pseudo-terminal discards what its client has not read yet: a
// drop waits (at most kLingerNanos) until the client has read the bytes
// sent, as a cable pulled after they arrived would.
void Server::lingerUntilRead() const {
    const int fd = ::open(ptySlave_.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    constexpr int kStepMillis = 10;
    for (int64_t waited = 0; waited < kLingerNanos; waited += kStepMillis * 1'000'000) {
        ::usleep(kStepMillis * 1000);  // the bytes reach the client's queue a moment after the write
        int unread = 0;
        if (::ioctl(fd, FIONREAD, &unread) != 0 || unread == 0) break;
    }
    ::close(fd);
}

// Ends the client's connection; on the pty the client leaves with the old
// pseudo-terminal, so that the next one starts without stale bytes.
// @return false when no new pseudo-terminal could be made.
bool Server::disconnect(const char* why, bool dropped) {
    VELT_LOG_INFO(kWho, "client %s", why);
    const bool socket = client_->socket;
    if (socket) ::close(client_->fd);
    else if (dropped) lingerUntilRead();
    client_.reset();
    if (socket || openPtyLink()) return true;
    fail("cannot make a pseudo-terminal at", o_.pty);
    return false;
}

bool Server::stalled(int64_t now) const {
    const int64_t from = client_->since + o_.stallAfter;
    return o_.stallAfter >= 0 && now >= from && now < from + o_.stall;
}

int Server::timeoutMillis(int64_t now) const {
    int64_t next = recorder_.nextBlockAt();
    const auto sooner = [&next](int64_t t) {
        if (next < 0 || t < next) next = t;
    };
    if (client_) {
        if (o_.dropAfter >= 0) sooner(client_->since + o_.dropAfter);
        if (stalled(now)) sooner(client_->since + o_.stallAfter + o_.stall);
    } else if (ptyMaster_ >= 0) {
        sooner(now + kPtyCheckMillis * kNanosPerMilli);
    }
    if (lingerUntil_ >= 0) sooner(lingerUntil_);
    if (next < 0) return -1;
    return int(std::clamp<int64_t>((next - now + kNanosPerMilli - 1) / kNanosPerMilli, 0, kMaxPollMillis));
}

int Server::run() {
    for (;;) {
        const int64_t now = monotonicNanos();
        if (!client_ && ptyMaster_ >= 0 && ptyHasClient()) connect(ptyMaster_, false, now);
        if (client_ && (client_->dropPending || (o_.dropAfter >= 0 && now >= client_->since + o_.dropAfter)) &&
            !disconnect("dropped", true))
            return 1;
        recorder_.produce(now, client_ ? &client_->out : nullptr);
        if (recorder_.finished() && (!client_ || client_->out.pending() == 0)) {
            if (!client_ || client_->socket) return 0;
            if (lingerUntil_ < 0) lingerUntil_ = now + kLingerNanos;
            if (now >= lingerUntil_) return 0;
        }

        pollfd fds[2] = {{StopSignals::wake().descriptor(), POLLIN, 0}, {-1, 0, 0}};
        if (client_) {
            fds[1].fd = client_->fd;
            if (!client_->out.full()) fds[1].events |= POLLIN;
            if (client_->out.pending() > 0 && !stalled(now)) fds[1].events |= POLLOUT;
        } else if (listener_ >= 0) {
            fds[1] = {listener_, POLLIN, 0};
        }
        if (::poll(fds, 2, timeoutMillis(now)) < 0) {
            if (errno == EINTR) continue;
            return fail("cannot wait for", "the link");
        }
        if (fds[0].revents) return 0;  // SIGINT or SIGTERM
        if (!fds[1].revents) continue;
        if (client_) {
            if (!serveClient(fds[1].revents) && !disconnect("left")) return 1;
        } else {
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            const int on = 1;  // prompts go out at once, not with the next block
            if (fd >= 0 && setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0) connect(fd, true, monotonicNanos());
            else if (fd >= 0) ::close(fd);
        }
    }
}

// @return false when the client has gone.
bool Server::serveClient(short revents) {
    bool received = false;
    if (revents & POLLIN) {
        uint8_t data[kReadChunk];
        const ssize_t n = ::read(client_->fd, data, sizeof data);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
        if (n > 0) {
            takeInput(data, std::size_t(n));
            received = true;
        }
    }
    if (client_->dropPending) return true;  // the answer to the last write is never sent
    // Input may have ended the session's streaming or queued an answer; the
    // queue is written only when poll said there is room.
    if ((revents & POLLOUT) && client_->out.pending() > 0 && !stalled(monotonicNanos())) {
        OutputQueue& out = client_->out;
        const uint8_t* data = out.bytes.data() + out.done;
        const ssize_t n = client_->socket ? ::send(client_->fd, data, out.pending(), MSG_NOSIGNAL)
                                          : ::write(client_->fd, data, out.pending());
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (n > 0) {
            if (sent_ && std::fwrite(data, 1, std::size_t(n), sent_) != std::size_t(n)) {
                VELT_LOG_ERROR(kWho, "cannot write %s: %s; no longer kept", o_.sent.c_str(), std::strerror(errno));
                std::fclose(sent_);
                sent_ = nullptr;
            }
            out.consume(std::size_t(n));
        }
    }
    // A hang-up is final once nothing more can be read.
    return received || !(revents & (POLLHUP | POLLERR));
}

// Lines end with LF; CR is dropped; characters beyond kMaxLineChars are lost.
void Server::takeInput(const uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        const char c = char(data[i]);
        if (c == '\n') {
            logLine(client_->line);
            recorder_.command(client_->line, monotonicNanos(), client_->out);
            const bool write = client_->line.starts_with("EPRW");
            client_->line.clear();
            if (write && ++writes_ == o_.dropAtWrite) {
                client_->dropPending = true;
                return;  // what follows is lost with the link
            }
        } else if (c != '\r' && client_->line.size() < kMaxLineChars) {
            client_->line += c;
        }
    }
}

// "2026-01-01T12:00:00.250Z LINE", bytes outside 0x20..0x7E and the
// backslash written as \xHH.
void Server::logLine(const std::string& line) {
    if (!log_) return;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const velt::platform::CivilTime t = velt::platform::utcFromSeconds(ts.tv_sec);
    std::fprintf(log_, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ ", t.year, t.month, t.day, t.hour, t.minute, t.second,
                 int(ts.tv_nsec / kNanosPerMilli));
    for (unsigned char c : line) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            std::fputc(c, log_);
        } else {
            std::fprintf(log_, "\\x%02X", c);
        }
    }
    std::fputc('\n', log_);
    std::fflush(log_);
}

}  // namespace

int runServe(int argc, char** argv) {
    ServeOptions o;
    const int parsed = serve::parseOptions(argc, argv, o);
    if (parsed == 1) return 0;
    if (parsed != 0) return parsed;

    eeprom::Image image = eeprom::makeImage(o.encoder);
    if (!o.eeprom.empty()) {
        const int loaded = eeprom::loadImage(o.eeprom, image);
        if (loaded < 0) {
            std::fprintf(stderr, "veltsim serve: %s is not a 512-byte image\n", o.eeprom.c_str());
            return 1;
        }
        if (loaded == 1 && eeprom::saveImage(o.eeprom, image) != 0) {
            std::fprintf(stderr, "veltsim serve: cannot write %s: %s\n", o.eeprom.c_str(), std::strerror(errno));
            return 1;
        }
    }
    Server server(o, image);
    const int opened = server.open();
    return opened != 0 ? opened : server.run();
}

}  // namespace veltsim
