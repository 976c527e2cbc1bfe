#include "serve_command.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "eeprom_image.h"
#include "platform/calendar.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "recorder/block_format.h"
#include "recorder/signal_generator.h"
#include "recorder/stream_encoder.h"
#include "write_command.h"

namespace veltsim {

namespace {

using velt::recorder::EncoderSettings;
using velt::recorder::StreamEncoder;

constexpr const char* kCommand = "serve";
constexpr const char* kWho = "veltsim serve";
constexpr int64_t kNanosPerSecond = 1'000'000'000;
constexpr int64_t kNanosPerMilli = 1'000'000;
constexpr int64_t kMaxSeconds = 366LL * 86400;
constexpr int64_t kMaxSpeed = 1000;
constexpr int64_t kMaxBlocks = kMaxSeconds * kMaxSpeed;
constexpr std::size_t kMaxLineChars = 127;        // a longer command line is cut
constexpr std::size_t kMaxQueuedBytes = 1 << 20;  // unsent bytes a client may hold back
constexpr std::size_t kReadChunk = 512;
constexpr int kBacklog = 4;
constexpr int kPtyCheckMillis = 100;  // how often a pseudo-terminal without client is looked at
constexpr int64_t kMaxPollMillis = 60'000;
// After the last block a pty client gets this long to read and close the
// device: closing a pseudo-terminal discards what its client has not read.
constexpr int64_t kLingerNanos = 2 * kNanosPerSecond;
constexpr std::size_t kGarbageBytes = 7;
constexpr uint32_t kRestartNumberMask = 0xFFFFFF;
constexpr uint8_t kPrompt = '>';
constexpr std::size_t kAnsweredChannels = 3;  // the channels CNF? names

struct ServeOptions {
    bool tcp = false;
    std::string tcpText;  // as given, for messages
    sockaddr_in tcpAddress{};
    std::string pty;      // the link to the slave device
    std::string eeprom;
    std::string sent;
    std::string log;
    int64_t speed = 1;              // blocks per second
    int64_t duration = 0;           // blocks to make; 0 = no end
    int64_t dropAfter = -1;         // nanoseconds into each connection; -1 = never
    int64_t dropAtWrite = 0;        // EPRW line (counted over all connections) that ends one; 0 = never
    int64_t stallAfter = -1;        // nanoseconds into each connection; -1 = never
    int64_t stall = -1;             // nanoseconds
    int64_t badChecksumEvery = 0;   // 0 = never
    int64_t garbageEvery = 0;       // 0 = never
    uint64_t seed = 1;
    EncoderSettings encoder;
};

int64_t monotonicNanos() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * kNanosPerSecond + ts.tv_nsec;
}

// Decimal seconds ("2", "0.5") as nanoseconds, 0 up to 366 days.
bool parseSeconds(const char* text, int64_t& nanos) {
    if (!text || !*text) return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (errno != 0 || *end != 0 || !(v >= 0) || v > double(kMaxSeconds)) return false;
    nanos = std::llround(v * double(kNanosPerSecond));
    return true;
}

// "[ADDR:]PORT" with a dotted IPv4 address, 127.0.0.1 when none is given.
bool parseTcpAddress(const std::string& text, sockaddr_in& address) {
    std::string host = "127.0.0.1";
    std::string port = text;
    const std::size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    int64_t number = 0;
    if (!parseInteger(port.c_str(), 10, 0, 65535, number)) return false;
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(number));
    return inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1;
}

// @return 0 parsed, 1 help shown, 2 usage error (already reported).
int parseOptions(int argc, char** argv, ServeOptions& o) {
    for (int i = 0; i < argc; ++i) {
        Option option;
        if (const int rc = nextOption(kCommand, argc, argv, i, option); rc != 0) return rc;
        if (option.help) {
            printServeHelp(stdout);
            return 1;
        }
        const std::string& name = option.name;
        const char* value = option.value.c_str();
        const int shared = parseStreamOption(kCommand, name, value, o.encoder);
        if (shared == 0) continue;
        if (shared != 1) return shared;
        int64_t v = 0;
        if (name == "--tcp") {
            if (!parseTcpAddress(value, o.tcpAddress)) return usageError(kCommand, "bad --tcp ([ADDR:]PORT)", value);
            o.tcp = true;
            o.tcpText = value;
        } else if (name == "--pty" || name == "--eeprom" || name == "--sent" || name == "--log") {
            std::string& file = name == "--pty" ? o.pty : name == "--eeprom" ? o.eeprom : name == "--sent" ? o.sent : o.log;
            file = value;
            if (file.empty()) return usageError(kCommand, "empty file name for", name.c_str());
        } else if (name == "--speed") {
            if (!parseInteger(value, 10, 1, kMaxSpeed, v)) return usageError(kCommand, "bad --speed (1..1000)", value);
            o.speed = v;
        } else if (name == "--duration") {
            if (!parseInteger(value, 10, 1, kMaxBlocks, v)) return usageError(kCommand, "bad --duration", value);
            o.duration = v;
        } else if (name == "--drop-after") {
            if (!parseSeconds(value, o.dropAfter) || o.dropAfter == 0)
                return usageError(kCommand, "bad --drop-after (seconds above 0)", value);
        } else if (name == "--drop-at-write") {
            if (!parseInteger(value, 10, 1, INT64_MAX, v)) return usageError(kCommand, "bad --drop-at-write (1 or more)", value);
            o.dropAtWrite = v;
        } else if (name == "--stall-after") {
            if (!parseSeconds(value, o.stallAfter)) return usageError(kCommand, "bad --stall-after (seconds)", value);
        } else if (name == "--stall") {
            if (!parseSeconds(value, o.stall) || o.stall == 0)
                return usageError(kCommand, "bad --stall (seconds above 0)", value);
        } else if (name == "--bad-checksum-every" || name == "--garbage-every") {
            if (!parseInteger(value, 10, 1, kMaxBlocks, v)) return usageError(kCommand, "bad block count for", name.c_str());
            (name == "--garbage-every" ? o.garbageEvery : o.badChecksumEvery) = v;
        } else if (name == "--seed") {
            if (!parseInteger(value, 10, 0, INT64_MAX, v)) return usageError(kCommand, "bad --seed", value);
            o.seed = uint64_t(v);
        } else {
            return usageError(kCommand, "unknown option", name.c_str());
        }
    }
    if (!o.tcp && o.pty.empty()) return usageError(kCommand, "--tcp [ADDR:]PORT or --pty PATH is required", nullptr);
    if ((o.stallAfter < 0) != (o.stall < 0)) return usageError(kCommand, "--stall-after and --stall go together", nullptr);
    return 0;
}

// The bytes waiting for a client, whole blocks and answers in the order made.
struct OutputQueue {
    std::vector<uint8_t> bytes;
    std::size_t done = 0;  // bytes of `bytes` already sent

    std::size_t pending() const { return bytes.size() - done; }
    bool full() const { return pending() >= kMaxQueuedBytes; }
    void append(std::string_view text) { bytes.insert(bytes.end(), text.begin(), text.end()); }
    void consume(std::size_t count) {
        done += count;
        if (done == bytes.size()) {
            bytes.clear();
            done = 0;
        } else if (done >= kMaxQueuedBytes) {
            bytes.erase(bytes.begin(), bytes.begin() + long(done));
            done = 0;
        }
    }
};

// All of `text` as a hexadecimal number.
bool parseHex(std::string_view text, unsigned& value) {
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value, 16);
    return error == std::errc() && at == end;
}

// The recorder itself: the settings it streams, its EEPROM, the current
// session and the answers to command lines.
class Recorder final {
public:
    Recorder(const ServeOptions& options, const eeprom::Image& image)
        : options_(options), settings_(options.encoder), signal_(options.seed), image_(image) {}

    bool begun() const { return encoder_.has_value(); }
    /// @brief True once --duration blocks were made.
    bool finished() const { return options_.duration > 0 && made_ >= uint64_t(options_.duration); }
    /// @brief Starts streaming the first session.
    void begin(int64_t now) { startSession(now); }
    /// @brief When the next block is due (monotonic nanoseconds), -1 when none is.
    int64_t nextBlockAt() const {
        if (!streaming_ || finished()) return -1;
        return sessionStart_ + sessionBlocks_ * kNanosPerSecond / options_.speed;
    }
    /// @brief Makes every block due by `now`, into `out`; with no client
    /// (null) or a full queue the block is lost and its number skipped.
    void produce(int64_t now, OutputQueue* out);
    /// @brief Acts on one command line and queues its answer in `out`.
    void command(std::string_view line, int64_t now, OutputQueue& out);

private:
    void startSession(int64_t now);
    bool every(int64_t n) const { return n > 0 && made_ % uint64_t(n) == 0; }
    void appendConfiguration(OutputQueue& out) const;
    void storeValue(std::string_view line);
    void writeByte(std::string_view line);
    template <class T>
    void change(T& field, const T& value) {
        changed_ = changed_ || field != value;
        field = value;
    }

    const ServeOptions& options_;
    EncoderSettings settings_;  // what the next session streams
    velt::recorder::SignalGenerator signal_;
    eeprom::Image image_;
    std::optional<StreamEncoder> encoder_;
    bool streaming_ = false;
    bool changed_ = false;  // names or rate changed since the session began
    int64_t sessionStart_ = 0;
    int64_t sessionBlocks_ = 0;
    uint64_t made_ = 0;  // blocks of all sessions, sent or lost
};

void Recorder::startSession(int64_t now) {
    if (encoder_) {
        settings_.restartNumber = (settings_.restartNumber + 1) & kRestartNumberMask;
        if (changed_) ++settings_.configNumber;
    }
    changed_ = false;
    EncoderSettings s = settings_;
    // The converter stamps the block carrying mark M with M + 1: the first
    // block of the session gets the current second.
    s.firstMarkSeconds = uint32_t(velt::platform::systemClock().now() - 1);
    encoder_.emplace(s);
    streaming_ = true;
    sessionStart_ = now;
    sessionBlocks_ = 0;
}

void Recorder::produce(int64_t now, OutputQueue* out) {
    for (int64_t due = nextBlockAt(); due >= 0 && due <= now; due = nextBlockAt()) {
        ++sessionBlocks_;
        ++made_;
        if (!out || out->full()) {
            encoder_->skipBlockNumbers(1);
            continue;
        }
        if (every(options_.badChecksumEvery)) encoder_->damageNextBlock({.badChecksum = true});
        // A block the layout cannot carry (a run of 0x7F in its status bytes) is lost.
        if (encoder_->encodeBlocks(1, signal_, out->bytes) < 0) encoder_->skipBlockNumbers(1);
        if (every(options_.garbageEvery)) StreamEncoder::appendGarbage(out->bytes, kGarbageBytes, made_);
    }
}

void Recorder::command(std::string_view line, int64_t now, OutputQueue& out) {
    if (line == "RST") {
        startSession(now);
        return;
    }
    if (line == "STOP") {
        streaming_ = false;  // the blocks queued so far go out whole, the prompt after them
    } else if (streaming_) {
        return;  // calibration commands and anything else: logged only
    } else if (line == "CNF?") {
        appendConfiguration(out);
    } else if (line == "EPR?") {
        std::string dump;
        eeprom::appendDump(image_, dump);
        out.append(dump);
    } else if (line.starts_with("EPRW")) {
        writeByte(line);
    } else {
        storeValue(line);
    }
    out.bytes.push_back(kPrompt);
}

void Recorder::appendConfiguration(OutputQueue& out) const {
    std::string text = "StName: " + settings_.stationName + "\r\n";
    for (std::size_t c = 0; c < kAnsweredChannels; ++c) {
        text += "ChName(" + std::to_string(c) + "): ";
        if (c < settings_.channelNames.size()) text += settings_.channelNames[c];
        text += "\r\n";
    }
    text += "SPS: " + std::to_string(settings_.sampleRate) + "\r\n";
    out.append(text);
}

// "STN=NAME", "CH0=NAME" .. "CH2=NAME", "SPS=RATE": a valid value is kept
// for the next session; anything else changes nothing.
void Recorder::storeValue(std::string_view line) {
    if (line.size() < 4 || line[3] != '=') return;
    const std::string_view key = line.substr(0, 3);
    const std::string value(line.substr(4));
    if (key == "STN") {
        if (validStationName(value)) change(settings_.stationName, value);
    } else if (key == "CH0" || key == "CH1" || key == "CH2") {
        const std::size_t c = std::size_t(key[2] - '0');
        if (c < settings_.channelNames.size() && validChannelName(value)) change(settings_.channelNames[c], value);
    } else if (key == "SPS") {
        int64_t rate = 0;
        if (parseInteger(value.c_str(), 10, 1, velt::recorder::kMaxSampleRate, rate)) change(settings_.sampleRate, int(rate));
    }
}

// "EPRWaaa=hh": the byte at address aaa (three hexadecimal digits) becomes hh.
void Recorder::writeByte(std::string_view line) {
    constexpr std::size_t kLength = 10, kAddress = 4, kAddressDigits = 3, kEquals = 7, kValue = 8, kValueDigits = 2;
    unsigned address = 0, value = 0;
    if (line.size() != kLength || line[kEquals] != '=' || !parseHex(line.substr(kAddress, kAddressDigits), address) ||
        !parseHex(line.substr(kValue, kValueDigits), value) || address >= eeprom::kImageBytes)
        return;
    if (image_[address] == value) return;
    image_[address] = uint8_t(value);
    if (!options_.eeprom.empty() && eeprom::saveImage(options_.eeprom, image_) != 0)
        VELT_LOG_ERROR(kWho, "cannot save %s: %s", options_.eeprom.c_str(), std::strerror(errno));
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
    int signals_ = -1;
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
    for (int fd : {signals_, listener_, ptyMaster_}) {
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
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &stop, nullptr) != 0 || (signals_ = signalfd(-1, &stop, SFD_NONBLOCK | SFD_CLOEXEC)) < 0)
        return fail("cannot watch", "SIGINT and SIGTERM");
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

        pollfd fds[2] = {{signals_, POLLIN, 0}, {-1, 0, 0}};
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

void printServeHelp(std::FILE* out) {
    std::fprintf(out,
                 "veltsim serve (--tcp [ADDR:]PORT | --pty PATH) [options]\n"
                 "  Plays a recorder at the far end of a link, for one client at a time.\n"
                 "  From the first connection on it streams one block per second (K with\n"
                 "  --speed K); blocks made while no client is connected, or while more than\n"
                 "  1 MiB waits unsent, are lost (their numbers are skipped).\n"
                 "  Once listening it prints \"veltsim serve: listening on ADDR:PORT\" and/or\n"
                 "  \"veltsim serve: listening on pty PATH\". SIGINT and SIGTERM end it (status 0).\n"
                 "  --tcp [ADDR:]PORT    listen on ADDR (default 127.0.0.1); port 0 picks a free\n"
                 "                       one; a new client waits until the current one has left\n"
                 "  --pty PATH           make PATH a symbolic link to a raw pseudo-terminal\n"
                 "                       (removed at exit); the client is whoever opens it; when\n"
                 "                       it leaves, PATH points to a fresh pseudo-terminal\n"
                 "  --speed K            blocks per second, 1..1000 (default 1)\n"
                 "  --duration N         end after N blocks, sent or lost (default: no end); a\n"
                 "                       pty client then has 2 s to read them and close PATH\n"
                 "  --eeprom FILE        the 512-byte station parameter image: read when FILE\n"
                 "                       exists, else made from the stream settings; written\n"
                 "                       after every change (default: kept in memory)\n"
                 "  --sent FILE          keep every byte sent\n"
                 "  --log FILE           keep every command line received, after its UTC time\n"
                 "                       (2026-01-01T12:00:00.250Z); other bytes than 20..7E\n"
                 "                       and the backslash are written \\xHH\n"
                 "faults:\n"
                 "  --drop-after S       end each connection S seconds (decimals allowed) after\n"
                 "                       it began; on the pty PATH then points to a fresh one\n"
                 "  --drop-at-write N    end the connection when the Nth EPRW line (counted from\n"
                 "                       the start) has changed the image, before its prompt\n"
                 "                       (a link lost in the middle of a save)\n"
                 "  --stall-after S --stall T\n"
                 "                       S seconds into each connection send nothing for T\n"
                 "                       seconds; what was made meanwhile follows at once\n"
                 "  --bad-checksum-every N  every Nth block carries a wrong checksum\n"
                 "  --garbage-every N    after every Nth block 7 bytes that are never 7F\n"
                 "stream:\n");
    printStreamOptionsHelp(out);
    std::fprintf(out,
                 "  --seed N             seed of the simulated signal (default 1)\n"
                 "commands: ASCII lines ended by LF; CR is ignored; a line is cut at 127\n"
                 "characters. Answers byte for byte (\\r\\n is CR LF; > is 3E, never followed\n"
                 "by a line end):\n"
                 "  while streaming:\n"
                 "    STOP               the blocks made so far go out whole, then >; stopped\n"
                 "    RST                a new session (below), no answer\n"
                 "    anything else      (CLB1P, CLB2R, CLE, ...) logged only, no answer\n"
                 "  while stopped:\n"
                 "    CNF?               StName: NAME\\r\\nChName(0): NAME\\r\\nChName(1): NAME\\r\\n\n"
                 "                       ChName(2): NAME\\r\\nSPS: RATE\\r\\n>\n"
                 "                       (the name of a channel the stream lacks is empty)\n"
                 "    STN=NAME CH0=NAME CH1=NAME CH2=NAME SPS=RATE\n"
                 "                       >; a valid value (1 to 10 or 1 to 5 printable\n"
                 "                       characters, a channel the stream has, rate 1..1107)\n"
                 "                       is kept for the next session\n"
                 "    EPR?               32 lines !AAAA: HH HH ... HH\\r\\n (address of the first\n"
                 "                       byte, then 16 bytes, upper-case hexadecimal), then >\n"
                 "    EPRWaaa=hh         >; byte aaa (000..1FF) becomes hh and the image file\n"
                 "                       is written; another form changes nothing\n"
                 "    RST                a new session, no answer\n"
                 "    STOP, empty line, anything else   >\n"
                 "  A new session streams at once: block numbers from 0, restart number one\n"
                 "  higher, configuration number one higher when a name or the rate changed,\n"
                 "  the new names and rate. STN=, CHn= and SPS= change the stream, EPRW the\n"
                 "  EEPROM image; neither changes the other.\n"
                 "  A fresh image: signature 55 AA, device, configuration and restart numbers,\n"
                 "  3 channels, rate code of the stream (7 for a rate other than 50, 100, 200),\n"
                 "  station, channel and sensor names of the stream, per channel (m/sec)/count,\n"
                 "  a calibration value and 1 s period, all three pointing to one response\n"
                 "  table of 20 bytes at A0, 3 pulse-calibration items, FF elsewhere.\n");
}

int runServe(int argc, char** argv) {
    ServeOptions o;
    const int parsed = parseOptions(argc, argv, o);
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
