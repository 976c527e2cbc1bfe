#include "livemill/livemill_config.h"

#include <cstdio>

#include "outputs/mseed_file_store.h"
#include "platform/ini_file.h"
#include "platform/paths.h"

namespace velt::livemill {

int readLivemillConfig(const std::string& mainIni, LivemillConfig& config, std::string& error) {
    const long count = platform::readProfileInt(mainIni, "LIVEMILL", "MAXNOFINPSTREAM", kMaxInputs);
    if (count <= 0) {
        error = "is " + std::to_string(count) + ": at least one input is needed";
        return -1;
    }
    config.inputCount = count > kMaxInputs ? kMaxInputs : int(count);
    for (int n = 0; n < config.inputCount; ++n) {
        char key[16];
        std::snprintf(key, sizeof key, "INP%d", n);
        config.inputIni[std::size_t(n)] =
            platform::normaliseSeparators(platform::readProfileString(mainIni, "LIVEMILL", key, "", 1000));
    }
    return 0;
}

namespace {

constexpr std::size_t kPathChars = 100;  // INDIR, OUTDIR: up to 99 characters
constexpr std::size_t kConfFileChars = outputs::MseedFileStore::kConfPathChars + 1;  // as the store reads it

std::string value(const std::string& ini, const char* section, const char* key, std::size_t chars) {
    return platform::normaliseSeparators(platform::readProfileString(ini, section, key, "", chars));
}

bool inputGood(const std::string& ini, platform::SettingsCheck& check) {
    const std::size_t before = check.problems().size();
    check.sections(ini, {"INPUT", "WORK", "COMMON", "OUT4INTFILE", "OUTQRX", "OUTMSEEDFS"});
    check.folder(ini, "INPUT", "INDIR", value(ini, "INPUT", "INDIR", kPathChars));
    const bool fourInt = check.yesNo(ini, "OUT4INTFILE", "TODO");
    check.yesNo(ini, "OUTQRX", "TODO");
    if (fourInt)
        check.prefixFolder(ini, "OUT4INTFILE", "OUTDIR", value(ini, "OUT4INTFILE", "OUTDIR", kPathChars));
    const std::string conf = value(ini, "OUTMSEEDFS", "CONFFILE", kConfFileChars);
    if (!conf.empty() && check.file(conf, "the miniSEED settings that " + ini + " [OUTMSEEDFS] CONFFILE names")) {
        check.sections(conf, {"COMMON", "WORK"});
        check.prefixFolder(conf, "COMMON", "OUTFILEPREFIX", value(conf, "COMMON", "OUTFILEPREFIX", kPathChars));
        const std::string network = platform::readProfileString(conf, "COMMON", "NETWORK", "", 64);
        if (!outputs::validNetworkCode(network))
            check.add(platform::SettingsProblem{conf, "COMMON", "NETWORK",
                                                "'" + network + "' is not a network code (one or two letters or digits)"});
    }
    return check.problems().size() == before;
}

}  // namespace

int checkInputs(const std::string& mainIni, LivemillConfig& config, platform::SettingsCheck& check) {
    check.sections(mainIni, {"LIVEMILL", "SEEDLINK"});
    int running = 0;
    for (int n = 0; n < config.inputCount; ++n) {
        const std::string& ini = config.inputIni[std::size_t(n)];
        bool good = !ini.empty();
        if (good && !check.file(ini, mainIni + " [LIVEMILL] INP" + std::to_string(n) + " names it")) good = false;
        else if (good) good = inputGood(ini, check);
        config.skipped[std::size_t(n)] = !good;
        running += good ? 1 : 0;
    }
    if (running == 0 && check.ok())
        check.add(platform::SettingsProblem{mainIni, "LIVEMILL", "INP0",
                                            "no input is named (INP0 ... INP" + std::to_string(config.inputCount - 1) +
                                                " name each input's settings file)"});
    return running;
}

bool readWaitAllowed(const std::string& inputIni) {
    const std::string wait = platform::readProfileString(inputIni, "COMMON", "WAIT", "YES", 30);
    return !(wait == "NO" || wait == "no");
}


serve::SeedlinkSettings readSeedlinkSettings(const std::string& mainIni, platform::SettingsCheck& check) {
    serve::SeedlinkSettings settings;
    settings.listen = platform::readProfileString(mainIni, "SEEDLINK", "LISTEN", "", 256);
    settings.maxConnections = int(platform::readProfileInt(mainIni, "SEEDLINK", "MAXCONNECTIONS", 100));
    settings.organization = platform::readProfileString(mainIni, "SEEDLINK", "ORGANIZATION", "", 200);
    if (settings.listen.empty()) return settings;
    std::string host, error;
    uint16_t port = 0;
    if (!serve::parseListenAddress(settings.listen, host, port, error)) {
        check.add(platform::SettingsProblem{mainIni, "SEEDLINK", "LISTEN", error});
        settings.listen.clear();
    }
    if (settings.maxConnections < 1 || settings.maxConnections > 10000) {
        check.add(platform::SettingsProblem{mainIni, "SEEDLINK", "MAXCONNECTIONS",
                                            std::to_string(settings.maxConnections) + " is not from 1 to 10000"});
        settings.listen.clear();
    }
    return settings;
}

}  // namespace velt::livemill
