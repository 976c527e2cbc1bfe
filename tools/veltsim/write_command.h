// "veltsim write": writes a simulated recorder's stream as a directory of
// numbered real-time files.
#pragma once

#include <cstdio>

namespace veltsim {

/// @brief Runs "write" with the arguments after the subcommand name.
/// @return the process exit status (0 success, 1 failure, 2 usage error).
int runWrite(int argc, char** argv);
/// @brief Prints the options of "write" to `out`.
void printWriteHelp(std::FILE* out);

}  // namespace veltsim
