// The SeedLink server on loopback TCP, each figure beside a baseline taken in
// the same run:
//  - LiveLatency: from committed() of a new one-record file to a 4.0 client
//    holding the whole packet. Baseline: the least a server thread can do,
//    woken by an eventfd, write()s as many bytes to a loopback socket that
//    the same client thread reads. Median and 99th percentile of both.
//  - DialUp/<records per file>: 100,000 records (3 per file as the store
//    writes them by default, or 1000) fetched by a 4.0 client (DATA ALL,
//    ENDFETCH) until "END". Baseline: the same files read with
//    open/read/close. Records per second of both.
//  - LiveClients: processor time of the server thread (its schedstat) per
//    second of station time while 10 stations at 100 sps commit a file of
//    3 records every 10 s each, played faster, and 50 clients follow every
//    station. Baseline: the same server, same stations, no client.
//
//   build-release/bin/seedlink_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "outputs/mseed_header.h"
#include "platform/calendar.h"
#include "platform/endian.h"
#include "platform/log.h"
#include "platform/wake_event.h"
#include "serve/seedlink_packet.h"
#include "serve/seedlink_server.h"
#include "serve/station_files.h"

namespace {

namespace fs = std::filesystem;
namespace m = velt::outputs::mseed;
using namespace velt::serve;

constexpr int kRecord = packet::kRecordLength;
constexpr int64_t kStart = 1'765'000'000;  // 2025-12-06
constexpr int kRunSeconds = 10;            // the store's default run: one file of 3 records each 10 s
constexpr const char* kChannels[] = {"HHZ", "HHN", "HHE"};
// Every station id here is "VE_STnnn": packets are 17 + 8 + 512 bytes.
constexpr std::size_t kPacketBytes = packet::kV4FixedHeaderSize + 8 + kRecord;

int64_t nowNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A Steim-2 data record of 1000 samples at 100 sps as the store writes it;
// the data frames are filler (the server never decodes them).
void makeRecord(uint8_t* r, const std::string& station, const char* channel, int64_t second) {
    char head[m::kOffYear + 1];
    std::snprintf(head, sizeof head, "000001D %-5.5s  %-3.3sVE", station.c_str(), channel);
    std::memcpy(r, head, m::kOffYear);
    const velt::platform::CivilTime t = velt::platform::utcFromSeconds(second);
    velt::platform::put_u16be(r + m::kOffYear, uint16_t(t.year));
    velt::platform::put_u16be(r + m::kOffDayOfYear, uint16_t(t.dayOfYear));
    r[m::kOffHour] = uint8_t(t.hour);
    r[m::kOffMinute] = uint8_t(t.minute);
    r[m::kOffSecond] = uint8_t(t.second);
    r[m::kOffTimeUnused] = 0;
    velt::platform::put_u16be(r + m::kOffFraction, 0);
    velt::platform::put_u16be(r + m::kOffSampleCount, 1000);
    velt::platform::put_u16be(r + m::kOffRateFactor, 100);
    velt::platform::put_u16be(r + m::kOffRateMultiplier, 1);
    std::memset(r + m::kOffActivityFlags, 0, m::kOffDataBegin - m::kOffActivityFlags);
    r[m::kOffBlocketteCount] = 1;
    velt::platform::put_u16be(r + m::kOffDataBegin, m::kDataOffset);
    velt::platform::put_u16be(r + m::kOffFirstBlockette, m::kFixedHeaderSize);
    const auto b1000 = velt::outputs::blockette1000();
    std::memcpy(r + m::kFixedHeaderSize, b1000.data(), b1000.size());
    std::memset(r + m::kFixedHeaderSize + b1000.size(), 0, m::kDataOffset - m::kFixedHeaderSize - b1000.size());
    for (int i = m::kDataOffset; i < kRecord; ++i) r[i] = uint8_t(second * 7 + i);
}

std::string numbered(const std::string& prefix, uint32_t number) {
    char name[16];
    std::snprintf(name, sizeof name, "%08" PRIX32, number);
    return prefix + name;
}

bool writeWhole(const std::string& path, const uint8_t* bytes, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool ok = ::write(fd, bytes, size) == ssize_t(size);
    return ::close(fd) == 0 && ok;
}

struct TempFolder {
    std::string path;
    TempFolder() {
        char name[] = "/tmp/velt-seedlink-bench.XXXXXX";
        if (::mkdtemp(name) != nullptr) path = name;
    }
    ~TempFolder() {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(path, ec);
    }
};

/// One station's numbered files, written as the store would: each file one
/// 10-second run of the three channels (or more records per file).
class StationWriter {
public:
    StationWriter(std::string prefix, std::string station) : prefix_(std::move(prefix)), station_(std::move(station)) {}
    /// @brief Writes the next file of `records` records. @return false on an I/O error.
    bool append(int records) {
        bytes_.resize(std::size_t(records) * kRecord);
        for (int i = 0; i < records; ++i) {
            makeRecord(bytes_.data() + std::size_t(i) * kRecord, station_, kChannels[sequence_ % 3],
                       kStart + int64_t(sequence_ / 3) * kRunSeconds);
            ++sequence_;
        }
        paths_.push_back(numbered(prefix_, file_++));
        return writeWhole(paths_.back(), bytes_.data(), bytes_.size());
    }
    uint32_t endFile() const { return file_; }
    uint64_t endSequence() const { return sequence_; }
    const std::string& prefix() const { return prefix_; }
    const std::vector<std::string>& paths() const { return paths_; }

private:
    std::string prefix_;
    std::string station_;
    uint32_t file_ = 0;
    uint64_t sequence_ = 0;
    std::vector<uint8_t> bytes_;
    std::vector<std::string> paths_;
};

void noDelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int connectLoopback(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    if (fd >= 0) noDelay(fd);
    return fd;
}

/// A blocking 4.0 client: sends command lines, reads replies and packets.
class Client {
public:
    explicit Client(uint16_t port) : fd_(connectLoopback(port)), buffer_(std::size_t(1) << 18) {
        timeval wait{10, 0};  // a lost packet fails the benchmark, never hangs it
        if (fd_ >= 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~Client() {
        if (fd_ >= 0) ::close(fd_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    int descriptor() const { return fd_; }
    bool send(std::string_view text) {
        return fd_ >= 0 && ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
    }

    /// @brief Reads `count` "\r\n"-ended reply lines.
    bool readLines(int count) {
        while (count > 0) {
            const std::string_view held(buffer_.data() + head_, tail_ - head_);
            const std::size_t end = held.find("\r\n");
            if (end != std::string_view::npos) {
                head_ += end + 2;
                --count;
            } else if (!fill()) {
                return false;
            }
        }
        return true;
    }

    enum class Got { Packet, End, Failed };
    /// @brief Reads one data packet (its sequence number in `sequence`) or "END".
    Got packet(uint64_t& sequence) {
        for (;;) {
            const std::string_view held(buffer_.data() + head_, tail_ - head_);
            if (held.size() >= packet::kDialUpEnd.size() && held.substr(0, 3) == packet::kDialUpEnd) {
                head_ += 3;
                return Got::End;
            }
            char format = 0, subformat = 0;
            uint32_t length = 0;
            const std::size_t header = parseV4Header(held, format, subformat, length, sequence, id_);
            if (header > 0 && held.size() >= header + length) {
                head_ += header + length;
                return format == '2' ? Got::Packet : Got::Failed;
            }
            if (held.size() >= 2 && held.substr(0, 2) != "SE") return Got::Failed;
            if (!fill()) return Got::Failed;
        }
    }

private:
    bool fill() {
        if (head_ == tail_) head_ = tail_ = 0;
        if (tail_ == buffer_.size()) {
            std::memmove(buffer_.data(), buffer_.data() + head_, tail_ - head_);
            tail_ -= head_;
            head_ = 0;
        }
        const ssize_t n = ::recv(fd_, buffer_.data() + tail_, buffer_.size() - tail_, 0);
        if (n <= 0) return false;
        tail_ += std::size_t(n);
        return true;
    }

    int fd_;
    std::vector<char> buffer_;
    std::size_t head_ = 0, tail_ = 0;
    std::string id_;
};

std::unique_ptr<SeedlinkServer> startServer(std::string& error) {
    auto server = std::make_unique<SeedlinkServer>(SeedlinkSettings{"127.0.0.1:0", 100, "bench"}, "velt/bench");
    if (server->open(error) != 0) return nullptr;
    return server;
}

/// Nanoseconds the thread `tid` of this process has run (its schedstat).
int64_t threadCpuNanos(int tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
    int64_t nanos = -1;
    in >> nanos;
    return nanos;
}

std::set<int> threadIds() {
    std::set<int> ids;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (const dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ids.insert(std::atoi(e->d_name));
        ::closedir(d);
    }
    return ids;
}

/// @brief Starts the server's thread. @return its thread id, -1 when it
/// cannot be told from the others.
int startServerThread(SeedlinkServer& server) {
    const std::set<int> before = threadIds();
    server.start();
    std::set<int> after = threadIds();
    for (int id : before) after.erase(id);
    return after.size() == 1 ? *after.begin() : -1;
}

struct Percentiles {
    double median = 0, p99 = 0;
};

Percentiles percentiles(std::vector<double> values) {
    if (values.empty()) return {};
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values[std::min(values.size() - 1, values.size() * 99 / 100)]};
}

// ---------------------------------------------------------------- latency

/// The baseline's server: a thread that sleeps until woken through an
/// eventfd, then writes `bytes` bytes to its end of a loopback connection.
class WakeAndWrite {
public:
    explicit WakeAndWrite(std::size_t bytes) : bytes_(bytes, 'x') {
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&a), size) != 0 ||
            ::listen(listener, 1) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &size) != 0)
            return;
        reader_ = connectLoopback(ntohs(a.sin_port));
        writer_ = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ::close(listener);
        noDelay(writer_);
        thread_ = std::thread([this] {
            while (!stop_.load()) {
                velt::platform::waitFor(-1, 0, &wake_, 1000);
                if (wake_.consume() && !stop_.load()) ::send(writer_, bytes_.data(), bytes_.size(), MSG_NOSIGNAL);
            }
        });
    }
    ~WakeAndWrite() {
        stop_ = true;
        wake_.signal();
        if (thread_.joinable()) thread_.join();
        if (reader_ >= 0) ::close(reader_);
        if (writer_ >= 0) ::close(writer_);
    }
    bool ok() const { return reader_ >= 0 && writer_ >= 0; }
    /// @brief Wakes the writer and reads its bytes. @return false on a short read.
    bool roundTrip(std::vector<char>& into) {
        wake_.signal();
        std::size_t got = 0;
        while (got < bytes_.size()) {
            const ssize_t n = ::recv(reader_, into.data() + got, bytes_.size() - got, 0);
            if (n <= 0) return false;
            got += std::size_t(n);
        }
        return true;
    }

private:
    std::string bytes_;
    int reader_ = -1, writer_ = -1;
    velt::platform::WakeEvent wake_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void BM_LiveLatency(benchmark::State& state) {
    TempFolder dir;
    StationWriter writer(dir.path + "/ms", "ST000");
    std::string error;
    auto server = startServer(error);
    if (!server || !writer.append(1)) return state.SkipWithError(("cannot start: " + error).c_str());
    const int station = server->addStation(std::make_unique<StationFiles>(writer.prefix()), writer.endFile(),
                                           writer.endSequence());
    server->start();
    Client client(server->port());
    if (!client.send("HELLO\r\nSLPROTO 4.0\r\nSTATION *\r\nDATA\r\nEND\r\n") || !client.readLines(5))
        return state.SkipWithError("handshake failed");
    WakeAndWrite baseline(kPacketBytes);
    std::vector<char> into(kPacketBytes);
    if (!baseline.ok()) return state.SkipWithError("no loopback connection");

    std::vector<double> served, plain;  // microseconds
    // One new record, then its packet read; then one baseline round trip.
    // @return the server's nanoseconds, or -1 when the packet did not come.
    const auto round = [&]() -> int64_t {
        if (!writer.append(1)) return -1;
        uint64_t sequence = 0;
        const int64_t t0 = nowNanos();
        server->committed(station, writer.endFile(), writer.endSequence());
        if (client.packet(sequence) != Client::Got::Packet || sequence + 1 != writer.endSequence()) return -1;
        const int64_t t1 = nowNanos();
        if (!baseline.roundTrip(into)) return -1;
        const int64_t t2 = nowNanos();
        served.push_back(double(t1 - t0) / 1e3);
        plain.push_back(double(t2 - t1) / 1e3);
        return t1 - t0;
    };
    for (int warmUp = 0; warmUp < 50; ++warmUp)
        if (round() < 0) return state.SkipWithError("packet lost in the warm-up");
    served.clear();
    plain.clear();
    for (auto _ : state) {
        const int64_t nanos = round();
        if (nanos < 0) return state.SkipWithError("packet lost");
        state.SetIterationTime(double(nanos) / 1e9);
    }
    const Percentiles s = percentiles(served), p = percentiles(plain);
    state.counters["server_median_us"] = s.median;
    state.counters["server_p99_us"] = s.p99;
    state.counters["plain_median_us"] = p.median;
    state.counters["plain_p99_us"] = p.p99;
    state.counters["ratio_median"] = s.median / p.median;
    state.counters["ratio_p99"] = s.p99 / p.p99;
    state.counters["packet_bytes"] = double(kPacketBytes);
}
BENCHMARK(BM_LiveLatency)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------- dial-up

constexpr int kDialUpRecords = 100'000;

void BM_DialUp(benchmark::State& state) {
    const int perFile = int(state.range(0));
    TempFolder dir;
    StationWriter writer(dir.path + "/ms", "ST000");
    for (int left = kDialUpRecords; left > 0; left -= perFile)
        if (!writer.append(std::min(left, perFile))) return state.SkipWithError("cannot write the files");
    std::string error;
    auto server = startServer(error);
    if (!server) return state.SkipWithError(error.c_str());
    server->addStation(std::make_unique<StationFiles>(writer.prefix()), writer.endFile(), writer.endSequence());
    const int tid = startServerThread(*server);
    if (tid < 0) return state.SkipWithError("cannot tell the server thread");

    std::vector<uint8_t> buffer(std::size_t(perFile) * kRecord);
    double servedSeconds = 0, plainSeconds = 0;
    int64_t serverCpu = 0;
    for (auto _ : state) {
        // Baseline: every file once, whole, as a reader of the store would.
        const int64_t p0 = nowNanos();
        uint64_t bytes = 0;
        for (const std::string& path : writer.paths()) {
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            ssize_t n;
            while ((n = ::read(fd, buffer.data(), buffer.size())) > 0) bytes += uint64_t(n);
            ::close(fd);
        }
        benchmark::DoNotOptimize(bytes);
        const int64_t p1 = nowNanos();
        if (bytes != uint64_t(kDialUpRecords) * kRecord) return state.SkipWithError("files short");

        const int64_t cpu0 = threadCpuNanos(tid);
        Client client(server->port());
        if (!client.send("SLPROTO 4.0\r\nSTATION *\r\nDATA ALL\r\nENDFETCH\r\n") || !client.readLines(3))
            return state.SkipWithError("handshake failed");
        uint64_t sequence = 0, expected = 0;
        Client::Got got;
        while ((got = client.packet(sequence)) == Client::Got::Packet)
            if (sequence != expected++) return state.SkipWithError("records out of order");
        const int64_t s1 = nowNanos();
        if (got != Client::Got::End || expected != uint64_t(kDialUpRecords))
            return state.SkipWithError("not every record came");
        serverCpu += threadCpuNanos(tid) - cpu0;
        plainSeconds += double(p1 - p0) / 1e9;
        servedSeconds += double(s1 - p1) / 1e9;
        state.SetIterationTime(double(s1 - p1) / 1e9);
    }
    const double records = double(state.iterations()) * kDialUpRecords;
    state.SetItemsProcessed(int64_t(records));
    state.counters["files"] = double(writer.paths().size());
    state.counters["server_records_per_s"] = records / servedSeconds;
    state.counters["plain_records_per_s"] = records / plainSeconds;
    state.counters["ratio"] = plainSeconds / servedSeconds;
    state.counters["server_cpu_ns_per_record"] = double(serverCpu) / records;
}
BENCHMARK(BM_DialUp)->Arg(3)->Arg(1000)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------- many live clients

constexpr int kStations = 10;
constexpr int kClients = 50;
constexpr int kSpeedUp = 50;          // station seconds per second of the run
constexpr double kPhaseSeconds = 10;  // of the run, each phase

/// Plays the stations for `runSeconds`: each commits one file of a run
/// every kRunSeconds / kSpeedUp, in turn; meanwhile every client's bytes are
/// read (and counted). @return the files committed, or -1 on an error.
int play(SeedlinkServer& server, std::vector<StationWriter>& writers, std::vector<std::unique_ptr<Client>>& clients,
         double runSeconds, uint64_t& bytesRead) {
    const int64_t period = int64_t(1e9 * kRunSeconds / kSpeedUp);
    const int64_t start = nowNanos(), end = start + int64_t(runSeconds * 1e9);
    std::vector<pollfd> fds;
    for (auto& c : clients) fds.push_back(pollfd{c->descriptor(), POLLIN, 0});
    std::vector<char> scratch(std::size_t(1) << 16);
    int commits = 0;
    for (int64_t due = start + period / kStations;; due += period / kStations) {
        for (int64_t now = nowNanos(); now < std::min(due, end); now = nowNanos()) {
            const int wait = int(std::max<int64_t>(1, (std::min(due, end) - now) / 1'000'000));
            if (fds.empty()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(wait));
                continue;
            }
            if (::poll(fds.data(), fds.size(), wait) < 0) return -1;
            for (pollfd& p : fds) {
                if (!(p.revents & POLLIN)) continue;
                const ssize_t n = ::recv(p.fd, scratch.data(), scratch.size(), MSG_DONTWAIT);
                if (n <= 0) return -1;
                bytesRead += uint64_t(n);
            }
        }
        if (due >= end) return commits;
        StationWriter& w = writers[std::size_t(commits % kStations)];
        if (!w.append(3)) return -1;
        server.committed(commits % kStations, w.endFile(), w.endSequence());
        ++commits;
    }
}

void BM_LiveClients(benchmark::State& state) {
    TempFolder dir;
    std::vector<StationWriter> writers;
    for (int s = 0; s < kStations; ++s) {
        char name[8];
        std::snprintf(name, sizeof name, "ST%03d", s);
        writers.emplace_back(dir.path + "/" + name + "_", name);
        for (int f = 0; f < 10; ++f)
            if (!writers.back().append(3)) return state.SkipWithError("cannot write the files");
    }
    std::string error;
    auto server = startServer(error);
    if (!server) return state.SkipWithError(error.c_str());
    for (StationWriter& w : writers)
        server->addStation(std::make_unique<StationFiles>(w.prefix()), w.endFile(), w.endSequence());
    const int tid = startServerThread(*server);
    if (tid < 0) return state.SkipWithError("cannot tell the server thread");

    for (auto _ : state) {
        std::vector<std::unique_ptr<Client>> clients;
        uint64_t bytes = 0;
        int64_t cpu0 = threadCpuNanos(tid);
        const int idleCommits = play(*server, writers, clients, kPhaseSeconds, bytes);
        const int64_t idleCpu = threadCpuNanos(tid) - cpu0;

        for (int c = 0; c < kClients; ++c) {
            clients.push_back(std::make_unique<Client>(server->port()));
            if (!clients.back()->send("SLPROTO 4.0\r\nUSERAGENT bench\r\nSTATION *\r\nDATA\r\nEND\r\n") ||
                !clients.back()->readLines(4))
                return state.SkipWithError("handshake failed");
        }
        cpu0 = threadCpuNanos(tid);
        const int busyCommits = play(*server, writers, clients, kPhaseSeconds, bytes);
        const int64_t busyCpu = threadCpuNanos(tid) - cpu0;
        if (idleCommits < 0 || busyCommits < 0) return state.SkipWithError("a client or a file failed");
        // The last commit's packets may still be on their way.
        const uint64_t expected = uint64_t(busyCommits) * 3 * kClients * kPacketBytes;
        if (bytes + 3 * kClients * kPacketBytes < expected) return state.SkipWithError("packets lost");

        const double stationSeconds = kPhaseSeconds * kSpeedUp;
        state.SetIterationTime(kPhaseSeconds);
        state.counters["server_cpu_pct"] = 100.0 * double(busyCpu) / 1e9 / stationSeconds;
        state.counters["no_clients_cpu_pct"] = 100.0 * double(idleCpu) / 1e9 / stationSeconds;
        state.counters["ratio"] = double(busyCpu) / double(std::max<int64_t>(1, idleCpu));
        state.counters["us_per_commit"] = double(busyCpu) / 1e3 / busyCommits;
        state.counters["packets"] = double(bytes / kPacketBytes);
        state.counters["speed_up"] = kSpeedUp;
    }
}
BENCHMARK(BM_LiveClients)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    // Every client that leaves is logged; only warnings matter here.
    velt::platform::setLogLevel(velt::platform::LogLevel::Warning);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
