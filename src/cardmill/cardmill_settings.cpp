#include "cardmill/cardmill_settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include "outputs/qrx_output.h"
#include "platform/file_util.h"
#include "platform/ini_file.h"
#include "platform/paths.h"

namespace velt::cardmill {

namespace {
constexpr std::size_t kValueChars = 501;  // 500 characters and the terminator

std::string text(const std::string& ini, const char* section, const char* key, const char* fallback) {
    return platform::readProfileString(ini, section, key, fallback, kValueChars);
}

bool isFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
}  // namespace

CardmillSettings readCardmillSettings(const std::string& ini) {
    CardmillSettings s;
    s.dataInDir = platform::normaliseSeparators(text(ini, "CARDMILL", "DATAINDIR", ""));
    s.dataArchDir = platform::normaliseSeparators(text(ini, "CARDMILL", "DATAARCHDIR", ""));
    s.autoCopyToArchive = text(ini, "CARDMILL", "AUTOCOPYTOARCH", "YES") == "YES";
    s.fourIntDir = platform::normaliseSeparators(text(ini, "OUT4INTFILE", "OUTDIR", ""));
    s.fourIntOn = text(ini, "OUT4INTFILE", "TODO", "NO") == "YES";
    s.secondsInFile = platform::readProfileInt(ini, "OUT4INTFILE", "SECINFILE", 3600);
    s.qrxOn = text(ini, "QRX", "TODO", "NO") == "YES";
    if (s.qrxOn) {
        s.qrxDataDirectory = outputs::qrxDataDirectory();
        s.qrxJournal = outputs::qrxJournalName(ini);
    }
    return s;
}

std::string settingsProblem(const std::string& ini, const CardmillSettings& s, bool converting) {
    struct stat st {};
    if (::stat(ini.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(ini.c_str(), R_OK) != 0)
        return ini + ": no such settings file (or it cannot be read); give its folder with --config DIR";
    if (s.dataInDir.empty()) return ini + ": [CARDMILL] DATAINDIR is not set (the folder of the card files)";
    if (!isFolder(s.dataInDir)) return ini + ": [CARDMILL] DATAINDIR '" + s.dataInDir + "' is not a folder";
    if (converting && s.fourIntOn && !s.fourIntDir.empty() && !isFolder(s.fourIntDir)) {
        // The prefix's folder: all of it when it ends in a separator, else
        // what comes before its last one ("." when there is none).
        const std::string folder = s.fourIntDir.back() == '/' ? s.fourIntDir : platform::directoryOf(s.fourIntDir);
        if (!isFolder(folder))
            return ini + ": [OUT4INTFILE] OUTDIR '" + s.fourIntDir + "': the folder '" + folder +
                   "' does not exist (4-int output is on, TODO=YES)";
    }
    return {};
}

}  // namespace velt::cardmill
