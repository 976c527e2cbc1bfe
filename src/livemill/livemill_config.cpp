#include "livemill/livemill_config.h"

#include <cstdio>

#include "platform/ini_file.h"
#include "platform/paths.h"

namespace velt::livemill {

int readLivemillConfig(const std::string& mainIni, LivemillConfig& config, std::string& error) {
    const long count = platform::readProfileInt(mainIni, "LIVEMILL", "MAXNOFINPSTREAM", kMaxInputs);
    if (count <= 0) {
        error = "MAXNOFINPSTREAM in " + mainIni + " is " + std::to_string(count) +
                ": at least one input is needed";
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

bool readWaitAllowed(const std::string& inputIni) {
    const std::string wait = platform::readProfileString(inputIni, "COMMON", "WAIT", "YES", 30);
    return !(wait == "NO" || wait == "no");
}

}  // namespace velt::livemill
