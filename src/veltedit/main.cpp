// veltedit: edits the station parameters kept in a recorder's EEPROM, in
// its window, or from the command line for backups and scripted field
// work: --dump keeps a station's image in a file, --print decodes a file,
// --restore puts a file's editable bytes back into a station.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/log.h"
#include "platform/wake_event.h"
#include "veltedit/editor_settings.h"
#include "veltedit/eeprom_session.h"
#include "veltedit/image_backup.h"
#include "veltedit/pacer.h"

#ifdef VELT_WITH_GUI
#include "veltedit/gui/editor_window.h"
#endif

namespace {

using namespace velt::veltedit;

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kBadArguments = 2;

const char* const kUsage =
    "Usage: veltedit [--config DIR]\n"
    "       veltedit --dump FILE [--yes] [--config DIR]\n"
    "       veltedit --print FILE\n"
    "       veltedit --restore FILE [--yes] [--other-device] [--config DIR]\n"
    "\n"
#ifdef VELT_WITH_GUI
    "Without a verb the window \"VeltEdit v.2.5\" opens: it stops the station,\n"
    "reads its EEPROM and lets you edit it; Save writes the changed bytes back.\n"
#else
    "This build has no window: one of the verbs below is needed.\n"
#endif
    "The station is the one that veltEdit.ini, section VELTEDIT, names:\n"
    "INDEVICE COMn or COM:PATH (serial) with INDEVICECONFIGSTRING \"19200,n,8,1\",\n"
    "or INET or TCP with INDEVICECONFIGSTRING \"A.B.C.D PORT\".\n"
    "\n"
    "  --dump FILE     stop the station, read its 512-byte EEPROM image, write it\n"
    "                  to FILE, print the decoded parameters, restart the station\n"
    "                  (one \"RST\")\n"
    "  --print FILE    print the parameters of an image file; no link is used\n"
    "  --restore FILE  stop the station, read its image and write back, byte by\n"
    "                  byte, those bytes of FILE that the editor may change (phase\n"
    "                  loop, rate code, names, channel records of the channels the\n"
    "                  station has, pulse calibration, response tables; never the\n"
    "                  signature, device, configuration or restart numbers), then\n"
    "                  read the image back to check it and restart the station.\n"
    "                  Before anything is written the new image goes to\n"
    "                  ./testeeprom and the image as read to ./testeeprom.read\n"
    "                  (or .read.1, .read.2 ...: an earlier one is never replaced)\n"
    "  --yes           do not ask before stopping the station\n"
    "  --other-device  let --restore write an image whose device number is not\n"
    "                  the station's (another station's names and calibrations);\n"
    "                  without it such a restore writes nothing\n"
    "  --config DIR    work in DIR, where veltEdit.ini is (FILE is still taken from\n"
    "                  the directory the program was started in)\n"
    "  --help          this text\n"
    "\n"
    "Stopping a station takes 8 to 18 s, up to about 90 s when it does not answer.\n"
    "Progress and messages go to standard error, parameters to standard output.\n"
    "SIGINT and SIGTERM end the conversation at its next step and restart the\n"
    "station; a value being written (a float, an address, a name) is finished\n"
    "first, so the station never restarts on half a value.\n"
    "Exit status: 0 done; 1 the job failed (the link could not be opened or was\n"
    "lost, the station's image could not be read, a file could not be read or\n"
    "written, the image read back after a restore differs from what was written,\n"
    "an interrupt); 2 bad arguments or settings (\"Connect stream not found\").\n";

// SIGINT and SIGTERM end the conversation at its next check; the station
// is then restarted before the program ends.
std::atomic<bool> interrupted{false};
const velt::platform::WakeEvent* interruptWake = nullptr;
void onInterrupt(int) {
    interrupted = true;
    if (interruptWake != nullptr) interruptWake->signal();
}

class LineProgress final : public Progress {
public:
    void step(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
};

struct Arguments {
    std::string verb;  // "", "--dump", "--print" or "--restore"
    std::string file;
    std::string configDir;
    bool yes = false;
    bool otherDevice = false;
};

int parseArguments(int argc, char** argv, Arguments& a) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return 1;
        }
        if (arg == "--yes") {
            a.yes = true;
        } else if (arg == "--other-device") {
            a.otherDevice = true;
        } else if ((arg == "--dump" || arg == "--print" || arg == "--restore") && i + 1 < argc && a.verb.empty()) {
            a.verb = arg;
            a.file = argv[++i];
        } else if (arg == "--config" && i + 1 < argc) {
            a.configDir = argv[++i];
        } else {
            std::fprintf(stderr, "veltedit: bad argument \"%s\"\n%s", arg.c_str(), kUsage);
            return -1;
        }
    }
    return 0;
}

/// FILE is named from where the program was started, before --config moves it.
std::string fromStartDirectory(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return path;
    return std::string(cwd) + "/" + path;
}

bool confirmed(const EditorSettings& settings) {
    std::string question = terminateQuestion(settings);
    for (std::size_t at; (at = question.find("\r\n")) != std::string::npos;) question.replace(at, 2, "\n");
    std::fprintf(stderr, "%s [y/N] ", question.c_str());
    std::fflush(stderr);
    char answer[16] = {};
    if (std::fgets(answer, sizeof answer, stdin) == nullptr) return false;
    return std::strcmp(answer, "y\n") == 0 || std::strcmp(answer, "Y\n") == 0 || std::strcmp(answer, "yes\n") == 0 ||
           std::strcmp(answer, "Yes\n") == 0;
}

int printFile(const std::string& path) {
    Image image{};
    const int rc = loadImageFile(path, image);
    if (rc != 0) {
        VELT_LOG_ERROR(path.c_str(), "%s", rc == -2 ? "not a 512-byte EEPROM image" : std::strerror(errno));
        return kFailed;
    }
    std::fputs(describeImage(image).c_str(), stdout);
    return kDone;
}

uint16_t deviceOf(const Image& image) { return uint16_t(image[kDevice] | image[kDevice + 1] << 8); }

/// Stops the station, reads its image and runs the verb; always restarts it.
int talkToStation(const Arguments& a) {
    Image backup{};
    if (a.verb == "--restore") {
        const int rc = loadImageFile(a.file, backup);
        if (rc != 0) {
            VELT_LOG_ERROR(a.file.c_str(), "%s", rc == -2 ? "not a 512-byte EEPROM image" : std::strerror(errno));
            return kFailed;
        }
    }
    const EditorSettings settings = readSettings(std::string("./") + kIniName);
    if (!a.yes && !confirmed(settings)) {
        std::fprintf(stderr, "veltedit: not confirmed, nothing sent\n");
        return kFailed;
    }
    EditorConnection connection = chooseLink(settings);
    if (connection.link == nullptr) {
        std::fprintf(stderr, "Connect stream not found\n");
        return kBadArguments;
    }
    // The window goes on with a link that did not open (every wait then
    // times out); a batch job says so at once instead.
    if (connection.link->open() != 0) {
        VELT_LOG_ERROR(settings.device.c_str(), "cannot open the link: %s", connection.link->lastError().c_str());
        return kFailed;
    }
    velt::platform::WakeEvent wake;
    interruptWake = &wake;
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    SystemPacer pacer(&wake, &interrupted);
    LineProgress progress;
    EepromSession session(*connection.link, pacer, &progress);
    int result = kDone;
    if (!session.connect()) {
        if (session.linkLost()) VELT_LOG_ERROR(settings.device.c_str(), "%s", session.linkError().c_str());
        std::fprintf(stderr, "EEPROOM not readen\n");
        session.restart();
        result = kFailed;
    } else if (a.verb == "--dump") {
        if (saveImageFile(a.file, session.receivedImage()) != 0) {
            VELT_LOG_ERROR(a.file.c_str(), "cannot write the image: %s", std::strerror(errno));
            result = kFailed;
        }
        std::fputs(describeImage(session.receivedImage()).c_str(), stdout);
        session.restart();
    } else if (deviceOf(backup) != deviceOf(session.receivedImage()) && !a.otherDevice) {
        VELT_LOG_ERROR(a.file.c_str(),
                       "is the image of device %4.4Xh, the station is device %4.4Xh: nothing written "
                       "(--other-device writes another station's names and calibrations)",
                       unsigned(deviceOf(backup)), unsigned(deviceOf(session.receivedImage())));
        session.restart();
        result = kFailed;
    } else {
        restoreEditable(backup, session.editImage());
        const WriteBackFiles files;
        WriteBackReport report;
        // Read back before the restart: only what the station holds now counts.
        const bool proven = session.commit(files, report);
        session.restart();
        const std::string what = report.describe(files);
        if (proven) {
            std::fprintf(stderr, "%s\n", what.c_str());
        } else {
            VELT_LOG_ERROR(settings.device.c_str(), "%s", what.c_str());
            result = kFailed;
        }
    }
    if (interrupted) {
        std::fprintf(stderr, "veltedit: interrupted; the station was sent \"RST\"\n");
        result = kFailed;
    }
    connection.link->close();
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments a;
    const int parsed = parseArguments(argc, argv, a);
    if (parsed != 0) return parsed > 0 ? kDone : kBadArguments;
    a.file = fromStartDirectory(a.file);
    if (!a.configDir.empty() && ::chdir(a.configDir.c_str()) != 0) {
        std::fprintf(stderr, "veltedit: cannot work in %s: %s\n", a.configDir.c_str(), std::strerror(errno));
        return kBadArguments;
    }
    if (a.verb == "--print") return printFile(a.file);
    if (!a.verb.empty()) return talkToStation(a);
#ifdef VELT_WITH_GUI
    return velt::veltedit::gui::runEditorWindow(argc, argv);
#else
    std::fputs(kUsage, stderr);
    return kBadArguments;
#endif
}
