// "veltsim write": writes a simulated recorder's stream as a directory of
// numbered real-time files. Also the command-line pieces that "write" and
// "serve" share: integers, usage errors and the stream options.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "recorder/stream_encoder.h"

namespace veltsim {

/// @brief Runs "write" with the arguments after the subcommand name.
/// @return the process exit status (0 success, 1 failure, 2 usage error).
int runWrite(int argc, char** argv);
/// @brief Prints the options of "write" to `out`.
void printWriteHelp(std::FILE* out);

/// @brief Reads all of `text` as an integer in `base` within low..high.
/// @return false (value untouched) when it is not one.
bool parseInteger(const char* text, int base, int64_t low, int64_t high, int64_t& value);
/// @brief Reports "veltsim COMMAND: MESSAGE[: VALUE]" on standard error. @return 2.
int usageError(const char* command, const char* message, const char* value);
/// @brief True for 1 to 10 printable characters, no blank.
bool validStationName(const std::string& name);
/// @brief True for 1 to 5 printable characters, no blank.
bool validChannelName(const std::string& name);
/// @brief Takes `name` with `value` when it is one of the stream options that
/// printStreamOptionsHelp lists. @return 0 taken, 1 not a stream option,
/// 2 bad value (already reported for `command`).
int parseStreamOption(const char* command, const std::string& name, const char* value,
                      velt::recorder::EncoderSettings& encoder);
/// A subcommand's own options: `name` with its `value`. @return 0 taken,
/// else the exit status after reporting (usageError).
using OptionHandler = std::function<int(const std::string& name, const char* value)>;
/// @brief Walks the command line of `command` ("--name value" or
/// "--name=value"): --help or -h prints `help`; a stream option goes into
/// `encoder`; every other option goes to `take`.
/// @return 0 parsed, 1 help shown, 2 usage error (already reported).
int parseCommandLine(const char* command, int argc, char** argv, void (*help)(std::FILE*),
                     velt::recorder::EncoderSettings& encoder, const OptionHandler& take);
/// @brief Prints the help lines of the stream options.
void printStreamOptionsHelp(std::FILE* out);

}  // namespace veltsim
