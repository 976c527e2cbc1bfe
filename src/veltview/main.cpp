// veltview: watches one recorder over a serial port or TCP, keeps what it
// sends in card-archive and real-time files (for livemill), and shows its
// status: in its window, or headless with one status line at a time on
// standard output and messages on standard error.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/log.h"
#include "platform/program.h"
#include "serve/seedlink_server.h"
#include "veltview/canvas.h"
#include "veltview/monitor.h"
#include "veltview/monitor_fields.h"
#include "veltview/status_page.h"
#include "veltview/writer_window.h"

#ifdef VELT_WITH_GUI
#include "gui_common/window_parts.h"
#include "veltview/gui/monitor_window.h"
#endif

namespace {

using namespace velt::veltview;

const char* const kUsage =
    "Usage: veltview [--config DIR] [--headless] [--duration SECONDS] [--debug]\n"
    "       veltview --version | --help\n"
    "\n"
    "Watches the recorder that veltView.ini names (INDEVICE, INDEVICECONFIGSTRING),\n"
    "writes what it sends to card-archive files (ARCHIVE/CONFIGFILE, default\n"
    "./arch.ini) and real-time files (QDATACOL/CONFIGFILE), and reconnects when the\n"
    "recorder goes away (after 1, 2, 4 ... at most 30 s).\n"
    "\n"
    "  --config DIR   work in DIR, where veltView.ini and the other settings are\n"
    "  --headless     no window and no start pause: a status line at most every\n"
    "                 10 s while the recorder sends, on standard output; messages\n"
    "                 on standard error (always so when the program was built\n"
    "                 without windows); a device's check box is its STARTMODE;\n"
    "                 SIGUSR1 is Next File, SIGUSR2 Next Card\n"
    "                 [HTTP] LISTEN=ADDR:PORT in veltView.ini serves a status page\n"
    "                 there: / (live traces), /status.json, /metrics (Prometheus)\n"
    "  --duration S   stop in order after S seconds\n"
    "  --idle-wait-ms N  longest sleep when nothing arrives (default 100; 0 polls\n"
    "                 the link without sleeping, for measuring what that costs)\n"
    "  --debug        also print debug messages, the serial link's write\n"
    "                 diagnostics among them (--debug-link is the same)\n"
    "  --version      the program's name and version\n"
    "  --help         this text\n"
    "\n"
    "The settings are checked first: veltView.ini and its sections, INDEVICE, the\n"
    "card-archive and real-time settings files it names, their DESTDIR folders and\n"
    "FILESIZE values; each problem is one line on standard error.\n"
    "SIGINT and SIGTERM stop in order: files are written and closed, exit status 0.\n"
    "Exit status 2: bad arguments or settings.\n";

// The handlers only touch atomics and write to an eventfd; errno is kept
// for the code they interrupt.
std::atomic<Monitor*> running{nullptr};
void onStop(int) {
    if (Monitor* m = running.load()) m->stop();
}
void onNextFile(int) {
    const int saved = errno;
    if (Monitor* m = running.load()) m->press(key_code::kNextFile);
    errno = saved;
}
void onNextCard(int) {
    const int saved = errno;
    if (Monitor* m = running.load()) m->press(key_code::kNextCard);
    errno = saved;
}

class ConsoleUi final : public MonitorUi {
public:
    void setDeviceLabel(const std::string& t) override { say("device", t); }
    void setPauseText(const std::string& t) override {
        if (!t.empty() && t.rfind("time to pause", 0) != 0) say("display", t);
    }
    void setPaused(bool) override {}
    void setLinkText(const std::string& t) override {
        if (t.rfind("connected", 0) == 0) lastNotice_.clear();  // a later failure is news again
        say("link", t);
    }
    // Printed once, not at every run that fails the same way.
    void showNotice(const std::string& t) override {
        if (t == lastNotice_) return;
        lastNotice_ = t;
        std::fprintf(stderr, "veltview: %s\n", t.c_str());
    }

private:
    std::string lastNotice_;
    void say(const char* what, const std::string& t) {
        std::printf("%s: %s\n", what, t.c_str());
        std::fflush(stdout);
    }
};

/// Keeps the fields and the writers' texts, and prints a status line at
/// most every 10 s when something changed.
class StatusLine final : public MonitorFields {
public:
    StatusLine(const velt::platform::Clock& clock, const MemoryWriterWindow& writers)
        : clock_(clock), writers_(writers) {}
    /// @brief The monitor whose card writer the line reports (its worker calls setField).
    void attach(const Monitor& monitor) { monitor_ = &monitor; }
    void setField(Field f, const std::string& t) override {
        fields_.setField(f, t);
        const int64_t now = clock_.now();
        if (now - printed_ < 10) return;
        printed_ = now;
        std::string card = "-";
        if (monitor_ != nullptr && monitor_->archive().currentDevice() >= 0)
            card = std::to_string(monitor_->archive().currentDevice()) + " file " +
                   std::to_string(monitor_->archive().fileNumber());
        std::printf("station %s time %s cs-err %s rt-file %s bytes %s (%s) card %s (%s)\n", value(Field::StationName),
                    value(Field::CurrentTime), fields_[Field::ChecksumErrors].empty() ? "0" : value(Field::ChecksumErrors),
                    writers_.realtimeFileNumber.empty() ? "-" : writers_.realtimeFileNumber.c_str(),
                    writers_.realtimeBytes.empty() ? "-" : writers_.realtimeBytes.c_str(),
                    writers_.realtimeState.empty() ? "off" : writers_.realtimeState.c_str(), card.c_str(),
                    writers_.archiveState.c_str());
        std::fflush(stdout);
    }

private:
    const char* value(Field f) const { return fields_[f].empty() ? "-" : fields_[f].c_str(); }
    const velt::platform::Clock& clock_;
    const MemoryWriterWindow& writers_;
    const Monitor* monitor_ = nullptr;
    MemoryMonitorFields fields_;
    int64_t printed_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    using velt::platform::StopSignals;
    bool headless = false;
    bool debugLink = false;
    std::string durationText, idleWaitText;
    velt::platform::CommandLine line("veltview", kUsage);
    line.flag("--headless", headless);
    line.flag("--debug-link", debugLink);
    line.option("--duration", "SECONDS", durationText);
    line.option("--idle-wait-ms", "N", idleWaitText);
    if (const int status = line.parse(argc, argv); status >= 0) return status;
    long duration = 0;
    if (!durationText.empty()) {
        char* end = nullptr;
        duration = std::strtol(durationText.c_str(), &end, 10);
        if (*end != '\0' || duration <= 0) return line.usageError("--duration needs a positive number of seconds");
    }
    int idleWait = Monitor::kIdleWaitMs;
    if (!idleWaitText.empty()) {
        char* end = nullptr;
        const long v = std::strtol(idleWaitText.c_str(), &end, 10);
        if (*end != '\0' || v < 0 || v > 10000) return line.usageError("--idle-wait-ms needs milliseconds, 0 to 10000");
        idleWait = int(v);
    }
    if (debugLink) velt::platform::setLogLevel(velt::platform::LogLevel::Debug);
    std::signal(SIGPIPE, SIG_IGN);
    // The settings are checked before anything is opened: one line per problem.
    const velt::platform::SettingsCheck check = checkMonitorSettings(velt::platform::inWorkingFolder("veltView.ini"));
    for (const velt::platform::SettingsProblem& p : check.problems())
        std::fprintf(stderr, "veltview: %s\n", p.text().c_str());
    if (!check.ok()) {
#ifdef VELT_WITH_GUI
        if (!headless) return velt::gui_common::showSettingsProblems(argc, argv, "VeltView v.2.5", check.text());
#endif
        return velt::platform::kExitUsage;
    }
#ifdef VELT_WITH_GUI
    if (!headless) {
        if (!readMonitorSettings(velt::platform::inWorkingFolder("veltView.ini")).httpListen.empty())
            std::fprintf(stderr, "veltview: veltView.ini [HTTP] LISTEN: the status page is served only with --headless\n");
        StopSignals::install();
        return velt::veltview::gui::runWithWindow(argc, argv, "./veltView.ini");
    }
#endif
    (void)headless;
    const velt::platform::Clock& clock = velt::platform::systemClock();
    RecordingCanvas canvas;  // nothing is drawn without a window
    MemoryWriterWindow writers;
    StatusLine fields(clock, writers);
    ConsoleUi ui;
    // The status page: a port that cannot be bound is said at once, and the
    // recorder is recorded all the same; the run then ends with status 2.
    MonitorStatusPage page(fields, writers, ui, clock);
    const std::string httpListen = readMonitorSettings(velt::platform::inWorkingFolder("veltView.ini")).httpListen;
    std::unique_ptr<velt::serve::SeedlinkServer> http;
    bool httpFailed = false;
    if (!httpListen.empty()) {
        velt::serve::SeedlinkSettings settings;
        settings.listen = httpListen;
        settings.seedlink = false;
        http = std::make_unique<velt::serve::SeedlinkServer>(settings, std::string("veltview/") +
                                                                           velt::platform::programVersion());
        std::string error;
        if (http->open(error) != 0) {
            std::fprintf(stderr, "veltview: veltView.ini [HTTP] LISTEN: %s; recording without the status page\n",
                         error.c_str());
            http.reset();
            httpFailed = true;
        }
    }
    const bool served = http != nullptr;
    Monitor monitor("./veltView.ini", canvas, served ? static_cast<MonitorFields&>(page) : fields,
                    served ? static_cast<WriterWindow&>(page) : writers, served ? static_cast<MonitorUi&>(page) : ui,
                    clock);
    if (http) {
        monitor.setSampleSink(&page.samples());
        http->setPages(&page);
        http->start();
        VELT_LOG_INFO("HTTP", "serving the status page at %s (port %u)",
                      velt::serve::pageAddress(httpListen, http->port()).c_str(), unsigned(http->port()));
    }
    monitor.setIdleWait(idleWait);
    monitor.setEndWithoutLink(true);
    running.store(&monitor);
    StopSignals::install(onStop);
    std::signal(SIGUSR1, onNextFile);
    std::signal(SIGUSR2, onNextCard);
    std::thread timer;
    if (duration > 0)
        timer = std::thread([&monitor, duration] {
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(duration);
            while (!monitor.stopping() && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            monitor.stop();
        });
    fields.attach(monitor);
    monitor.setReady();
    monitor.run();
    if (timer.joinable()) timer.join();
    running.store(nullptr);
    if (http) http->stop();
    return monitor.linkMissing() || httpFailed ? velt::platform::kExitUsage : velt::platform::kExitDone;
}
