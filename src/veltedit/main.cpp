// veltedit: edits the station parameters kept in a recorder's EEPROM, in
// its window, or from the command line for backups and scripted field
// work: --dump keeps a station's image in a file, --print decodes a file,
// --restore puts a file's editable bytes back into a station.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/endian.h"
#include "platform/log.h"
#include "platform/program.h"
#include "veltedit/editor_settings.h"
#include "veltedit/eeprom_session.h"
#include "veltedit/image_backup.h"
#include "veltedit/pacer.h"

#ifdef VELT_WITH_GUI
#include "veltedit/gui/editor_window.h"
#endif

namespace {

using namespace velt::veltedit;

using velt::platform::kExitDone;
using velt::platform::kExitFailed;
using velt::platform::kExitUsage;
using velt::platform::StopSignals;

const char* const kUsage =
    "Usage: veltedit [--config DIR] [--debug]\n"
    "       veltedit --dump FILE [--yes] [--config DIR]\n"
    "       veltedit --print FILE\n"
    "       veltedit --version | --help\n"
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
    "  --debug         also print debug messages\n"
    "  --version       the program's name and version\n"
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

class LineProgress final : public Progress {
public:
    void step(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
};

struct Arguments {
    std::string verb;  // "", "--dump", "--print" or "--restore"
    std::string file;
    bool yes = false;
    bool otherDevice = false;
};

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
        return kExitFailed;
    }
    std::fputs(describeImage(image).c_str(), stdout);
    return kExitDone;
}

uint16_t deviceOf(const Image& image) { return velt::platform::get_u16le(&image[kDevice]); }

/// Stops the station, reads its image and runs the verb; always restarts it.
int talkToStation(const Arguments& a) {
    Image backup{};
    if (a.verb == "--restore") {
        const int rc = loadImageFile(a.file, backup);
        if (rc != 0) {
            VELT_LOG_ERROR(a.file.c_str(), "%s", rc == -2 ? "not a 512-byte EEPROM image" : std::strerror(errno));
            return kExitFailed;
        }
    }
    const std::string ini = velt::platform::inWorkingFolder(kIniName);
    const velt::platform::SettingsCheck check = checkSettings(ini);
    if (!check.ok()) {
        for (const velt::platform::SettingsProblem& p : check.problems())
            std::fprintf(stderr, "veltedit: %s\n", p.text().c_str());
        std::fprintf(stderr, "Connect stream not found\n");
        return kExitUsage;
    }
    const EditorSettings settings = readSettings(ini);
    if (!a.yes && !confirmed(settings)) {
        std::fprintf(stderr, "veltedit: not confirmed, nothing sent\n");
        return kExitFailed;
    }
    EditorConnection connection = chooseLink(settings);
    if (connection.link == nullptr) {
        std::fprintf(stderr, "Connect stream not found\n");
        return kExitUsage;
    }
    // The window goes on with a link that did not open (every wait then
    // times out); a batch job says so at once instead.
    if (connection.link->open() != 0) {
        VELT_LOG_ERROR(settings.device.c_str(), "cannot open the link: %s", connection.link->lastError().c_str());
        return kExitFailed;
    }
    // SIGINT and SIGTERM end the conversation at its next step; the station
    // is then restarted before the program ends.
    StopSignals::install();
    SystemPacer pacer(&StopSignals::wake(), &StopSignals::flag());
    LineProgress progress;
    EepromSession session(*connection.link, pacer, &progress);
    int result = kExitDone;
    if (!session.connect()) {
        if (session.linkLost()) VELT_LOG_ERROR(settings.device.c_str(), "%s", session.linkError().c_str());
        std::fprintf(stderr, "EEPROOM not readen\n");
        session.restart();
        result = kExitFailed;
    } else if (a.verb == "--dump") {
        if (saveImageFile(a.file, session.receivedImage()) != 0) {
            VELT_LOG_ERROR(a.file.c_str(), "cannot write the image: %s", std::strerror(errno));
            result = kExitFailed;
        }
        std::fputs(describeImage(session.receivedImage()).c_str(), stdout);
        session.restart();
    } else if (deviceOf(backup) != deviceOf(session.receivedImage()) && !a.otherDevice) {
        VELT_LOG_ERROR(a.file.c_str(),
                       "is the image of device %4.4Xh, the station is device %4.4Xh: nothing written "
                       "(--other-device writes another station's names and calibrations)",
                       unsigned(deviceOf(backup)), unsigned(deviceOf(session.receivedImage())));
        session.restart();
        result = kExitFailed;
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
            result = kExitFailed;
        }
    }
    if (StopSignals::requested()) {
        std::fprintf(stderr, "veltedit: interrupted; the station was sent \"RST\"\n");
        result = kExitFailed;
    }
    connection.link->close();
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments a;
    std::string dump, print, restore;
    velt::platform::CommandLine line("veltedit", kUsage);
    line.option("--dump", "FILE", dump);
    line.option("--print", "FILE", print);
    line.option("--restore", "FILE", restore);
    line.flag("--yes", a.yes);
    line.flag("--other-device", a.otherDevice);
    if (const int status = line.parse(argc, argv); status >= 0) return status;
    for (const auto& [verb, file] : {std::pair{"--dump", &dump}, {"--print", &print}, {"--restore", &restore}}) {
        if (file->empty()) continue;
        if (!a.verb.empty()) return line.usageError(a.verb + " and " + verb + " cannot go together");
        a.verb = verb;
        a.file = line.fromStartFolder(*file);
    }
    if (a.otherDevice && a.verb != "--restore") return line.usageError("--other-device goes with --restore");
    if (a.verb == "--print") return printFile(a.file);
    if (!a.verb.empty()) return talkToStation(a);
#ifdef VELT_WITH_GUI
    return velt::veltedit::gui::runEditorWindow(argc, argv);
#else
    std::fputs(kUsage, stderr);
    return kExitUsage;
#endif
}
