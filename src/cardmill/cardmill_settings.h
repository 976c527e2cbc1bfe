// cardmill.ini: where the card files are, where they are archived, and
// which outputs a conversion writes. The program only reads this file.
#pragma once

#include <string>

namespace velt::cardmill {

struct CardmillSettings {
    std::string dataInDir;       // [CARDMILL] DATAINDIR
    std::string dataArchDir;     // [CARDMILL] DATAARCHDIR: copy target, second place to look for files
    bool autoCopyToArchive = true;  // [CARDMILL] AUTOCOPYTOARCH, exactly "YES" (the default)
    std::string fourIntDir;      // [OUT4INTFILE] OUTDIR
    bool fourIntOn = false;      // [OUT4INTFILE] TODO, exactly "YES"
    long secondsInFile = 3600;   // [OUT4INTFILE] SECINFILE
    bool qrxOn = false;          // [QRX] TODO, exactly "YES"
    std::string qrxDataDirectory;   // where QRX4.0 files go: the qrx.ini every QRX4.0 writer reads
    std::string qrxJournal;         // FILELIST rows waiting for the database, beside the QRX4.0 data
};

/// @brief The settings of `iniPath`; absent keys take their defaults. The
/// "YES" comparisons are exact and case-sensitive.
CardmillSettings readCardmillSettings(const std::string& iniPath);

/// @brief What keeps `settings`, read from `iniPath`, from being worked
/// with, one line per problem naming the file, section and key; "" when
/// nothing does. Checked: the INI file exists, its sections are known,
/// DATAINDIR is set and is a folder, each TODO is YES or NO, and with `converting`
/// and 4-int output on, the folder part of the OUTDIR prefix exists
/// ("out/4int/ST_" is folder "out/4int"; a value naming a folder is that
/// folder). A missing archive folder is not checked: its copies fail and
/// are counted.
std::string settingsProblem(const std::string& iniPath, const CardmillSettings& settings, bool converting);

}  // namespace velt::cardmill
