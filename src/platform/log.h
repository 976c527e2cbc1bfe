// One logging entry point for every component: a level, the name of whoever
// speaks (an input and its output, "INP0 miniSEED"), and a printf-style text.
// Lines go to standard error by default; a program with a window installs its
// own sink. Diagnostic lines of fixed form (state-machine log lines, database
// error texts) do not come through here.
#pragma once

#include <cstdint>
#include <string>

namespace velt::platform {

enum class LogLevel { Error = 0, Warning = 1, Info = 2, Debug = 3 };

/// Receives one finished message line (without a line end).
using LogSink = void (*)(LogLevel level, const std::string& line);

/// @brief Messages above `level` are dropped (default: Info).
void setLogLevel(LogLevel level);
LogLevel logLevel();
/// @brief Sends every message to `sink`; null restores standard error.
void setLogSink(LogSink sink);

/// @brief Error messages logged so far by this process (shown or not): every
/// loss of data is logged as an error, so a job can tell that it failed.
uint64_t errorsLogged();

/// @brief Formats "<level>: <who>: <text>" and hands it to the sink.
void logMessage(LogLevel level, const std::string& who, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

/// @brief True when a message of `level` would be kept; lets callers skip
/// building costly arguments.
inline bool logEnabled(LogLevel level) { return int(level) <= int(logLevel()); }

}  // namespace velt::platform

#define VELT_LOG_ERROR(who, ...) ::velt::platform::logMessage(::velt::platform::LogLevel::Error, who, __VA_ARGS__)
#define VELT_LOG_WARNING(who, ...) ::velt::platform::logMessage(::velt::platform::LogLevel::Warning, who, __VA_ARGS__)
#define VELT_LOG_INFO(who, ...) ::velt::platform::logMessage(::velt::platform::LogLevel::Info, who, __VA_ARGS__)
#define VELT_LOG_DEBUG(who, ...)                                                      \
    do {                                                                              \
        if (::velt::platform::logEnabled(::velt::platform::LogLevel::Debug))          \
            ::velt::platform::logMessage(::velt::platform::LogLevel::Debug, who, __VA_ARGS__); \
    } while (0)
