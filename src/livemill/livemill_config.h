// The converter's settings: ./livemill.ini names up to ten inputs, and each
// input's own INI file names its directory, keeps its position and switches
// its outputs on (the output keys are read by the output factories).
#pragma once

#include <array>
#include <string>

namespace velt::livemill {

constexpr int kMaxInputs = 10;

struct LivemillConfig {
    int inputCount = 0;
    std::array<std::string, kMaxInputs> inputIni;  // INP0..INP9, paths as configured
};

/// @brief Reads section LIVEMILL of `mainIni`: MAXNOFINPSTREAM (default 10,
/// cut to 10) and INPn. Relative paths stay relative to the working
/// directory, which the program sets to its configuration folder. @return 0, or -1 with `error` set when MAXNOFINPSTREAM is 0
/// or less (the converter refuses to run without inputs).
int readLivemillConfig(const std::string& mainIni, LivemillConfig& config, std::string& error);

/// @brief COMMON/WAIT of an input file: only "NO" and "no" switch waiting off.
bool readWaitAllowed(const std::string& inputIni);

}  // namespace velt::livemill
