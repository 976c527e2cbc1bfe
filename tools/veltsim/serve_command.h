// "veltsim serve": a simulated recorder at the far end of a TCP connection
// or a serial line (a pseudo-terminal). It streams blocks in real time to one
// client at a time and answers the recorder's command lines: stop, restart,
// configuration dialogue and EEPROM access.
#pragma once

#include <cstdio>

namespace veltsim {

/// @brief Runs "serve" with the arguments after the subcommand name until
/// --duration blocks were made or SIGINT/SIGTERM arrives.
/// @return the process exit status (0 done, 1 failure, 2 usage error).
int runServe(int argc, char** argv);
/// @brief Prints the options and answers of "serve" to `out`.
void printServeHelp(std::FILE* out);

}  // namespace veltsim
