// How long a received block takes to reach its trace pixels: the monitor's
// worker (its default idle wait) on a TCP link from this program, which plays
// a 100-sps recorder sending one block every 100 ms. For every block the time
// from writing its last byte to the last line drawn for it is taken; the
// figures are for the drawing area's image, which the window copies to the
// screen at its next repaint (every 33 ms). Prints median, 99th percentile
// and maximum, and the same with the link polled without sleeping.
//
//   build-release/bin/veltview_latency [BLOCKS]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "recorder/signal_generator.h"
#include "recorder/stream_encoder.h"
#include "veltview/monitor.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace velt::veltview;

int64_t nowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

/// Keeps the time of the newest line drawn.
class TimingCanvas final : public Canvas {
public:
    void putText(int, int, const std::string&) override {}
    void fillBox(int, int, int, int, Ink) override {}
    void drawLine(int, int, int, int, Ink) override { lastDrawn.store(nowMicros()); }
    void setDot(int, int, Ink) override { lastDrawn.store(nowMicros()); }
    void setScaleLabels(int, const std::string&, const std::string&) override {}
    void setActiveChannel(int) override {}
    void setRateText(const std::string&) override {}
    std::atomic<int64_t> lastDrawn{0};
};

class QuietUi final : public MonitorUi {
public:
    void setDeviceLabel(const std::string&) override {}
    void setPauseText(const std::string&) override {}
    void setPaused(bool) override {}
    void setLinkText(const std::string&) override {}
    void showNotice(const std::string&) override {}
};

struct Figures {
    double median, p99, max;
};

Figures measure(int blocks, int idleWaitMs) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        std::perror("veltview_latency: listen");
        std::exit(1);
    }
    char dir[] = "/tmp/veltview-latency.XXXXXX";
    if (::mkdtemp(dir) == nullptr) std::exit(1);
    const std::string ini = std::string(dir) + "/veltView.ini";
    std::ofstream(ini) << "[VELTVIEW]\nINDEVICE=INET\nINDEVICECONFIGSTRING=127.0.0.1 " << ntohs(address.sin_port)
                       << "\n[LCDEEPROM]\nCONFIGFILE=" << dir << "/lcdeeprom.dat\n[ARCHIVE]\nCONFIGFILE=" << dir
                       << "/arch.ini\n";

    TimingCanvas canvas;
    MemoryMonitorFields fields;
    MemoryWriterWindow writers;
    QuietUi ui;
    Monitor monitor(ini, canvas, fields, writers, ui);
    monitor.setIdleWait(idleWaitMs);
    monitor.setReady();
    std::thread worker([&monitor] { monitor.run(); });
    const int client = ::accept(listener, nullptr, nullptr);

    velt::recorder::StreamEncoder encoder{velt::recorder::EncoderSettings{}};
    velt::recorder::SignalGenerator signal(1);
    constexpr int kWarmUpBlocks = 20;  // the monitor learns the stream first
    std::vector<double> millis;
    for (int b = 0; b < kWarmUpBlocks + blocks; ++b) {
        std::vector<uint8_t> block;
        encoder.encodeBlocks(1, signal, block);
        const int64_t sentAt = nowMicros();
        if (::send(client, block.data(), block.size(), MSG_NOSIGNAL) != ssize_t(block.size())) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const int64_t drawn = canvas.lastDrawn.load();
        if (b >= kWarmUpBlocks && drawn > sentAt) millis.push_back(double(drawn - sentAt) / 1000.0);
    }
    monitor.stop();
    worker.join();
    ::close(client);
    ::close(listener);
    std::system((std::string("rm -rf ") + dir).c_str());
    if (millis.empty()) return {-1, -1, -1};
    std::sort(millis.begin(), millis.end());
    return {millis[millis.size() / 2], millis[std::min(millis.size() - 1, millis.size() * 99 / 100)], millis.back()};
}

}  // namespace

int main(int argc, char** argv) {
    const int blocks = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;
    const auto print = [](const char* label, const Figures& f) {
        std::printf("%-28s last byte to last pixel: median %6.2f ms, 99th percentile %6.2f ms, max %6.2f ms\n", label,
                    f.median, f.p99, f.max);
    };
    print("veltview (default)", measure(blocks, Monitor::kIdleWaitMs));
    print("polling, never sleeping", measure(blocks, 0));
    return 0;
}
