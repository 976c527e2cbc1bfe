// cardmill: converts the card-archive files of selected recorders to 4-int
// and QRX4.0 files and copies them to the archive directory, in its window
// or from the command line.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cardmill/card_conversion.h"
#include "cardmill/card_directory.h"
#include "cardmill/cardmill_settings.h"
#include "platform/program.h"

#ifdef VELT_WITH_GUI
#include "cardmill/gui/converter_window.h"
#include "gui_common/window_parts.h"
#endif

namespace {

using namespace velt::cardmill;

const char* const kUsage =
    "Usage: cardmill [--config DIR]\n"
    "       cardmill --list [--config DIR]\n"
    "       cardmill --headless --devices all|D1,D2,... [--config DIR]\n"
    "       cardmill --version | --help\n"
    "       (any of them with --debug: also print debug messages)\n"
    "\n"
    "Converts the card-archive files in DATAINDIR (cardmill.ini, section CARDMILL)\n"
    "device by device to 4-int files ([OUT4INTFILE] TODO=YES, OUTDIR, SECINFILE) and\n"
    "QRX4.0 files registered in FILELIST ([QRX] TODO=YES), then copies the devices'\n"
    "files to DATAARCHDIR unless AUTOCOPYTOARCH is other than YES. A file already in\n"
    "the archive with the same bytes is skipped, one holding only its beginning (a\n"
    "copy cut short) is completed; one with other bytes is kept and the copy goes\n"
    "under the next free name NAME.1, NAME.2, ...\n"
    "\n"
    "  --config DIR   work in DIR, where cardmill.ini is\n"
    "  --list         print the devices found, one line each: number, number in\n"
    "                 hexadecimal, first and last file number (the list holds 50\n"
    "                 devices, as the window's does; the rest are named on\n"
    "                 standard error)\n"
    "  --headless     convert without the window: the devices given by --devices\n"
    "                 (decimal device numbers, or all: every device found, also\n"
    "                 those past the list), in the order found; a progress bar on\n"
    "                 a terminal, else a line per file\n"
    "  --version      the program's name and version\n"
    "  --help         this text\n"
    "\n"
    "Without --list or --headless the window opens (it needs a display). SIGINT\n"
    "and SIGTERM abort the conversion as \"Abort convertion\" does (the copy still\n"
    "follows); during the copy the file being copied is finished and the copy\n"
    "stops, and a second signal stops at once, keeping nothing of that file.\n"
    "Exit status: 0 done (also after an abort; the summary says so), 1 a file\n"
    "could not be copied or an output not written, 2 bad arguments or settings.\n";

// A signal aborts the conversion; in the copy phase the first one lets the
// file being copied finish and the second gives it up. The hook runs in
// the signal handler and only touches lock-free atomics.
std::atomic<bool>& abortRequested = velt::platform::StopSignals::flag();
std::atomic<bool> inCopyPhase{false};
std::atomic<bool> copyStopAfterFile{false};
std::atomic<bool> copyStopNow{false};
void onStop(int) {
    if (inCopyPhase.load() && copyStopAfterFile.exchange(true)) copyStopNow.store(true);
}

std::string deviceNumbers(const std::vector<DeviceRange>& devices) {
    std::string text;
    for (const DeviceRange& d : devices) text += (text.empty() ? "" : ", ") + std::to_string(d.device);
    return text;
}

bool parseDevices(const std::string& text, std::vector<uint32_t>& devices, bool& all) {
    all = text == "all";
    if (all) return true;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, comma - at);
        char* end = nullptr;
        errno = 0;
        const unsigned long value = std::strtoul(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || errno != 0 || value > 0xFFFFFFFFul) return false;
        devices.push_back(uint32_t(value));
        at = comma + 1;
    }
    return !devices.empty();
}

/// A progress bar on a terminal, one line per file otherwise; the
/// conversion and the copy draw the same bar.
class TerminalView final : public ConversionView {
public:
    TerminalView() : terminal_(::isatty(STDOUT_FILENO) == 1), start_(std::chrono::steady_clock::now()) {}
    void showStatus(const std::string& text) override { line(text); }
    void showProgress(const std::string& text) override {
        if (!terminal_ && !text.empty()) line(text);
    }
    void showBytes(uint32_t device, int64_t file, int64_t done, int64_t total) override {
        if (file < 0) return;
        char what[64];
        std::snprintf(what, sizeof what, "device %u file %lX", unsigned(device), (unsigned long)file);
        bar(what, done, total);
    }
    void showCopying(bool on) override { inCopyPhase.store(on); }
    /// @brief The copy phase: a line per file, or the bar with the file being copied.
    void showCopy(const CopyProgress& p) override {
        if (p.filesDone == 0 && p.bytesDone == 0) start_ = std::chrono::steady_clock::now();  // its own rate
        if (p.file.empty()) {  // the end: the last bar stays on its own line
            if (!terminal_ || p.files == 0) return;
            bar("copy: " + std::to_string(p.filesDone) + " of " + std::to_string(p.files) + " files", p.bytesDone,
                p.bytes, true);
            line("");
            return;
        }
        const std::string what = "copy " + p.file.substr(p.file.find_last_of('/') + 1) + "  file " +
                                 std::to_string(p.filesDone + 1) + " of " + std::to_string(p.files);
        if (terminal_) {
            bar(what, p.bytesDone, p.bytes);
        } else if (p.filesDone != copyShown_) {
            copyShown_ = p.filesDone;
            line("copy " + std::to_string(p.filesDone + 1) + " of " + std::to_string(p.files) + ": " + p.file);
        }
    }

private:
    void bar(const std::string& what, int64_t done, int64_t total, bool now = false) {
        if (!terminal_) return;
        const auto at = std::chrono::steady_clock::now();
        if (!now && at - shown_ < std::chrono::milliseconds(200) && done < total) return;  // a few redraws a second
        shown_ = at;
        const double seconds = std::chrono::duration<double>(at - start_).count();
        const double rate = seconds > 0 ? double(done) / seconds : 0;
        const double share = total > 0 ? double(done) / double(total) : 1;
        const int filled = int(share * 30);
        const double left = rate > 0 ? double(total - done) / rate : 0;
        std::printf("\r[%-30s] %s  %.1f of %.1f MB  %.1f MB/s  %.0f s left \033[K",
                    std::string(std::size_t(std::clamp(filled, 0, 30)), '#').c_str(), what.c_str(),
                    double(done) / 1e6, double(total) / 1e6, rate / 1e6, left);
        std::fflush(stdout);
        barShown_ = true;
    }
    void line(const std::string& text) {
        if (barShown_) std::putchar('\n');
        const bool endOfBar = barShown_ && text.empty();
        barShown_ = false;
        if (!endOfBar) std::printf("%s\n", text.c_str());
        std::fflush(stdout);
    }
    bool terminal_;
    bool barShown_ = false;
    int copyShown_ = -1;
    std::chrono::steady_clock::time_point start_, shown_{};
};

int listDevicesCommand(const CardmillSettings& settings) {
    CardDirectory dir;
    if (dir.scan(settings.dataInDir) != 0) {
        std::fprintf(stderr, "cardmill: cannot list DATAINDIR '%s': %s\n", settings.dataInDir.c_str(),
                     std::strerror(errno));
        return velt::platform::kExitUsage;
    }
    std::vector<DeviceRange> notListed;
    const std::vector<DeviceRange> devices = listDevices(dir, &notListed);
    for (const DeviceRange& d : devices) std::printf("%s\n", deviceLine(d).c_str());
    std::fflush(stdout);
    if (devices.empty())
        std::fprintf(stderr, "cardmill: DATAINDIR '%s' holds no card-archive files\n", settings.dataInDir.c_str());
    if (!notListed.empty())
        std::fprintf(stderr,
                     "cardmill: the list holds %zu devices; %zu more not listed: %s (--headless --devices converts "
                     "them)\n",
                     kMaxDevices, notListed.size(), deviceNumbers(notListed).c_str());
    return 0;
}

int convertCommand(const CardmillSettings& settings, const std::vector<uint32_t>& wanted, bool all) {
    CardDirectory dir;
    if (dir.scan(settings.dataInDir) != 0) {
        std::fprintf(stderr, "cardmill: cannot list DATAINDIR '%s': %s\n", settings.dataInDir.c_str(),
                     std::strerror(errno));
        return velt::platform::kExitUsage;
    }
    // The list's limit is the window's: the command line converts every
    // device it finds, listed or not.
    std::vector<DeviceRange> devices, notListed;
    devices = listDevices(dir, &notListed);
    devices.insert(devices.end(), notListed.begin(), notListed.end());
    if (devices.empty()) {
        std::fprintf(stderr, "cardmill: DATAINDIR '%s' holds no card-archive files\n", settings.dataInDir.c_str());
        return velt::platform::kExitUsage;
    }
    std::vector<DeviceRange> selected;
    for (const DeviceRange& d : devices)
        if (all || std::find(wanted.begin(), wanted.end(), d.device) != wanted.end()) selected.push_back(d);
    std::string missing;
    for (uint32_t w : wanted) {
        bool found = false;
        for (const DeviceRange& d : devices) found = found || d.device == w;
        if (!found) missing += (missing.empty() ? "" : ", ") + std::to_string(w);
    }
    if (!missing.empty()) {
        std::fprintf(stderr, "cardmill: no files of device %s in DATAINDIR '%s'; the devices there: %s\n",
                     missing.c_str(), settings.dataInDir.c_str(), deviceNumbers(devices).c_str());
        return velt::platform::kExitUsage;
    }
    TerminalView view;
    CopyControl control;
    control.stopAfterFile = &copyStopAfterFile;
    control.stopNow = &copyStopNow;
    const ConversionSummary s = convertDevices(settings, selected, abortRequested, view, control);
    for (const DeviceResult& d : s.devices) std::printf("%s\n", describe(d).c_str());
    std::printf("%d of %zu devices converted%s; files copied %d (%d under a free name), already archived %d, "
                "not copied %d\n",
                s.devicesConverted, selected.size(), s.aborted ? " (aborted)" : "", s.copies.copied, s.copies.renamed,
                s.copies.identical, s.copies.failed);
    if (s.copies.completed > 0)
        std::printf("%d of the files copied completed a copy that had been cut short\n", s.copies.completed);
    if (s.copyInterrupted) {
        std::string names;
        for (const std::string& n : s.notCopied) names += (names.empty() ? "" : ", ") + n;
        std::printf("copy interrupted: %zu files not copied: %s\n", s.notCopied.size(), names.c_str());
    }
    if (s.outputFailures > 0) std::printf("the outputs of %d devices could not all be written\n", s.outputFailures);
    if (s.rowsWaiting > 0)
        std::printf("%zu FILELIST rows wait for the database; a later run writes them\n", s.rowsWaiting);
    return s.failed() ? velt::platform::kExitFailed : velt::platform::kExitDone;
}

#ifdef VELT_WITH_GUI
// The window library ends the process when it finds no display; say so
// before starting it.
bool haveDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') return true;
    }
    return false;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    using velt::platform::kExitUsage;
    std::string devicesText;
    bool list = false, headless = false;
    velt::platform::CommandLine line("cardmill", kUsage);
    line.flag("--list", list);
    line.flag("--headless", headless);
    line.option("--devices", "all|D1,D2,...", devicesText);
    if (const int status = line.parse(argc, argv); status >= 0) return status;
    const bool devicesGiven = !devicesText.empty();
    std::vector<uint32_t> wanted;
    bool all = false;
    if (devicesGiven && !headless) {
        std::fprintf(stderr, "cardmill: --devices goes with --headless (the window has its own list)\n");
        return kExitUsage;
    }
    if (headless && !list && !parseDevices(devicesText, wanted, all)) {
        std::fprintf(stderr, "cardmill: --headless needs --devices all or decimal device numbers D1,D2,...\n");
        return kExitUsage;
    }
    const bool window = !list && !headless;
#ifdef VELT_WITH_GUI
    if (window && !haveDisplay()) {
        std::fprintf(stderr, "cardmill: no display for the window (DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM are "
                             "unset); use cardmill --list or cardmill --headless --devices all|D1,D2,...\n");
        return kExitUsage;
    }
#else
    if (window) {
        std::fprintf(stderr, "cardmill: this build has no window; use --list or --headless\n");
        return kExitUsage;
    }
#endif
    const std::string iniPath = velt::platform::inWorkingFolder("cardmill.ini");
    const CardmillSettings settings = readCardmillSettings(iniPath);
    const std::string problem = settingsProblem(iniPath, settings, !list);
    if (!problem.empty()) {
#ifdef VELT_WITH_GUI
        if (window) {
            std::fprintf(stderr, "cardmill: %s\n", problem.c_str());
            return velt::gui_common::showSettingsProblems(argc, argv, "VELT archive file converter", problem + "\n");
        }
#endif
        for (std::size_t at = 0; at < problem.size();) {
            const std::size_t end = std::min(problem.find('\n', at), problem.size());
            std::fprintf(stderr, "cardmill: %s\n", problem.substr(at, end - at).c_str());
            at = end + 1;
        }
        return kExitUsage;
    }
    velt::platform::StopSignals::install(onStop);
    if (list) return listDevicesCommand(settings);
    if (headless) return convertCommand(settings, wanted, all);
#ifdef VELT_WITH_GUI
    return velt::cardmill::gui::runWindow(argc, argv, iniPath);
#else
    return kExitUsage;
#endif
}
