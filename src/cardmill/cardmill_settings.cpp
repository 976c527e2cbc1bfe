#include "cardmill/cardmill_settings.h"

#include "outputs/qrx_output.h"
#include "platform/file_util.h"
#include "platform/ini_file.h"
#include "platform/paths.h"
#include "platform/settings_check.h"

namespace velt::cardmill {

namespace {
constexpr std::size_t kValueChars = 501;  // 500 characters and the terminator

std::string text(const std::string& ini, const char* section, const char* key, const char* fallback) {
    return platform::readProfileString(ini, section, key, fallback, kValueChars);
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
    platform::SettingsCheck check;
    if (!check.file(ini, "give its folder with --config DIR")) return check.problems().front().text();
    check.sections(ini, {"CARDMILL", "OUT4INTFILE", "QRX"});
    check.folder(ini, "CARDMILL", "DATAINDIR", s.dataInDir);
    check.yesNo(ini, "OUT4INTFILE", "TODO");
    check.yesNo(ini, "QRX", "TODO");
    if (converting && s.fourIntOn && !s.fourIntDir.empty()) check.prefixFolder(ini, "OUT4INTFILE", "OUTDIR", s.fourIntDir);
    std::string text = check.text();
    if (!text.empty()) text.pop_back();  // the last line end
    return text;
}

}  // namespace velt::cardmill
