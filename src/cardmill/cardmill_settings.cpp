#include "cardmill/cardmill_settings.h"

#include "outputs/qrx_output.h"
#include "platform/ini_file.h"
#include "platform/paths.h"

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

}  // namespace velt::cardmill
