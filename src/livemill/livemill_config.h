// The converter's settings: ./livemill.ini names up to ten inputs, and each
// input's own INI file names its directory, keeps its position and switches
// its outputs on (the output keys are read by the output factories).
#pragma once

#include <array>
#include <string>

#include "platform/settings_check.h"
#include "serve/seedlink_server.h"

namespace velt::livemill {

constexpr int kMaxInputs = 10;

struct LivemillConfig {
    int inputCount = 0;
    std::array<std::string, kMaxInputs> inputIni;  // INP0..INP9, paths as configured
    std::array<bool, kMaxInputs> skipped{};        // inputs that do not run (see checkInputs)
};

/// @brief Reads section LIVEMILL of `mainIni`: MAXNOFINPSTREAM (default 10,
/// cut to 10) and INPn. Relative paths stay relative to the working
/// directory, which the program sets to its configuration folder. @return 0, or -1 with `error` (what is wrong with MAXNOFINPSTREAM) when it is 0
/// or less (the converter refuses to run without inputs).
int readLivemillConfig(const std::string& mainIni, LivemillConfig& config, std::string& error);

/// @brief Checks every input of `config` before anything runs and marks
/// the ones that are skipped. An input whose INPn is empty is not used. An input
/// whose file is missing, has an unknown section, whose INDIR is not set or
/// not a folder, whose TODO switches are neither YES nor NO, whose 4-int
/// OUTDIR folder or miniSEED settings file (its sections, its
/// OUTFILEPREFIX folder) is wrong does not run, and each problem goes to
/// `check`; the other inputs run.
/// @return the number of inputs that run.
int checkInputs(const std::string& mainIni, LivemillConfig& config, platform::SettingsCheck& check);

/// @brief Section SEEDLINK of `mainIni`: LISTEN ("ADDR:PORT", empty or
/// absent: no server), MAXCONNECTIONS (default 100), ORGANIZATION (the
/// second line of HELLO). A wrong value goes to `check` and leaves the
/// server off.
serve::SeedlinkSettings readSeedlinkSettings(const std::string& mainIni, platform::SettingsCheck& check);

/// @brief COMMON/WAIT of an input file: only "NO" and "no" switch waiting off.
bool readWaitAllowed(const std::string& inputIni);

}  // namespace velt::livemill
