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

#ifdef VELT_WITH_GUI
#include "cardmill/gui/converter_window.h"
#endif

namespace {

using namespace velt::cardmill;

const char* const kUsage =
    "Usage: cardmill [--config DIR]\n"
    "       cardmill --list [--config DIR]\n"
    "       cardmill --headless --devices all|D1,D2,... [--config DIR]\n"
    "\n"
    "Converts the card-archive files in DATAINDIR (cardmill.ini, section CARDMILL)\n"
    "device by device to 4-int files ([OUT4INTFILE] TODO=YES, OUTDIR, SECINFILE) and\n"
    "QRX4.0 files registered in FILELIST ([QRX] TODO=YES), then copies each device's\n"
    "files to DATAARCHDIR unless AUTOCOPYTOARCH is other than YES. A file already in\n"
    "the archive with the same bytes is skipped; one with other bytes is kept and\n"
    "the copy goes under the next free name NAME.1, NAME.2, ...\n"
    "\n"
    "  --config DIR   work in DIR, where cardmill.ini is\n"
    "  --list         print the devices found, one line each: number, number in\n"
    "                 hexadecimal, first and last file number\n"
    "  --headless     convert without the window: the devices given by --devices\n"
    "                 (decimal device numbers, or all), in the order of the list;\n"
    "                 a progress bar on a terminal, else a line per file\n"
    "  --help         this text\n"
    "\n"
    "Without --list or --headless the window opens. SIGINT and SIGTERM abort the\n"
    "conversion as \"Abort convertion\" does (the copy still follows), then end the\n"
    "program. Exit status: 0 done (also after an abort; the summary says so), 1 a\n"
    "file could not be copied or an output not written, 2 bad arguments or settings.\n";

std::atomic<bool> abortRequested{false};
void onSignal(int) { abortRequested.store(true); }

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

/// A progress bar on a terminal, one line per file otherwise.
class TerminalView final : public ConversionView {
public:
    TerminalView() : terminal_(::isatty(STDOUT_FILENO) == 1), start_(std::chrono::steady_clock::now()) {}
    void showStatus(const std::string& text) override { line(text); }
    void showProgress(const std::string& text) override {
        if (!terminal_ && !text.empty()) line(text);
    }
    void showBytes(uint32_t device, int64_t file, int64_t done, int64_t total) override {
        if (!terminal_ || file < 0) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - shown_ < std::chrono::milliseconds(200) && done < total) return;  // a few redraws a second
        shown_ = now;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        const double rate = seconds > 0 ? double(done) / seconds : 0;
        const double share = total > 0 ? double(done) / double(total) : 1;
        const int filled = int(share * 30);
        const double left = rate > 0 ? double(total - done) / rate : 0;
        std::printf("\r[%-30s] device %u file %lX  %.1f of %.1f MB  %.1f MB/s  %.0f s left ",
                    std::string(std::size_t(std::clamp(filled, 0, 30)), '#').c_str(), unsigned(device),
                    (unsigned long)file, double(done) / 1e6, double(total) / 1e6, rate / 1e6, left);
        std::fflush(stdout);
        barShown_ = true;
    }

private:
    void line(const std::string& text) {
        if (barShown_) std::putchar('\n');
        barShown_ = false;
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
    }
    bool terminal_;
    bool barShown_ = false;
    std::chrono::steady_clock::time_point start_, shown_{};
};

int listDevicesCommand(const CardmillSettings& settings) {
    CardDirectory dir;
    if (dir.scan(settings.dataInDir) != 0) {
        std::fprintf(stderr, "cardmill: cannot list DATAINDIR '%s': %s\n", settings.dataInDir.c_str(),
                     std::strerror(errno));
        return 2;
    }
    for (const DeviceRange& d : listDevices(dir)) std::printf("%s\n", deviceLine(d).c_str());
    return 0;
}

int convertCommand(const CardmillSettings& settings, const std::vector<uint32_t>& wanted, bool all) {
    CardDirectory dir;
    if (dir.scan(settings.dataInDir) != 0) {
        std::fprintf(stderr, "cardmill: cannot list DATAINDIR '%s': %s\n", settings.dataInDir.c_str(),
                     std::strerror(errno));
        return 2;
    }
    const std::vector<DeviceRange> devices = listDevices(dir);
    std::vector<DeviceRange> selected;
    for (const DeviceRange& d : devices)
        if (all || std::find(wanted.begin(), wanted.end(), d.device) != wanted.end()) selected.push_back(d);
    for (uint32_t w : wanted) {
        bool found = false;
        for (const DeviceRange& d : devices) found = found || d.device == w;
        if (!found) {
            std::fprintf(stderr, "cardmill: device %u has no files in '%s'\n", unsigned(w), settings.dataInDir.c_str());
            return 2;
        }
    }
    TerminalView view;
    const ConversionSummary s = convertDevices(settings, selected, abortRequested, view);
    std::printf("%d of %zu devices converted%s; files copied %d (%d under a free name), already archived %d, "
                "not copied %d\n",
                s.devicesConverted, selected.size(), s.aborted ? " (aborted)" : "", s.copies.copied, s.copies.renamed,
                s.copies.identical, s.copies.failed);
    if (s.outputFailures > 0) std::printf("the outputs of %d devices could not all be written\n", s.outputFailures);
    return s.copies.failed > 0 || s.outputFailures > 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string configDir, devicesText;
    bool list = false, headless = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--config" && i + 1 < argc) {
            configDir = argv[++i];
        } else if (arg == "--list") {
            list = true;
        } else if (arg == "--headless") {
            headless = true;
        } else if (arg == "--devices" && i + 1 < argc) {
            devicesText = argv[++i];
        } else {
            std::fprintf(stderr, "cardmill: unknown argument '%s'\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }
    std::vector<uint32_t> wanted;
    bool all = false;
    if (headless && !parseDevices(devicesText, wanted, all)) {
        std::fprintf(stderr, "cardmill: --headless needs --devices all or decimal device numbers D1,D2,...\n");
        return 2;
    }
    if (!configDir.empty() && ::chdir(configDir.c_str()) != 0) {
        std::fprintf(stderr, "cardmill: cannot enter '%s': %s\n", configDir.c_str(), std::strerror(errno));
        return 2;
    }
    const CardmillSettings settings = readCardmillSettings("./cardmill.ini");
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    if (list) return listDevicesCommand(settings);
    if (headless) return convertCommand(settings, wanted, all);
#ifdef VELT_WITH_GUI
    return velt::cardmill::gui::runWindow(argc, argv, "./cardmill.ini", abortRequested);
#else
    std::fprintf(stderr, "cardmill: this build has no window; use --list or --headless\n");
    return 2;
#endif
}
