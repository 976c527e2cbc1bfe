#include "platform/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace velt::platform {

namespace {

std::atomic<int> maxLevel{int(LogLevel::Info)};
std::atomic<LogSink> currentSink{nullptr};
std::atomic<uint64_t> errorCount{0};
std::mutex printLock;  // lines from several threads never interleave

const char* levelName(LogLevel level) {
    switch (level) {
        case LogLevel::Error: return "error";
        case LogLevel::Warning: return "warning";
        case LogLevel::Info: return "info";
        case LogLevel::Debug: return "debug";
    }
    return "log";
}

}  // namespace

void setLogLevel(LogLevel level) { maxLevel.store(int(level)); }

LogLevel logLevel() { return LogLevel(maxLevel.load()); }

void setLogSink(LogSink sink) { currentSink.store(sink); }

uint64_t errorsLogged() { return errorCount.load(); }

void logMessage(LogLevel level, const std::string& who, const char* format, ...) {
    if (level == LogLevel::Error) ++errorCount;
    if (!logEnabled(level)) return;
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::string line = levelName(level);
    line += ": ";
    if (!who.empty()) line += who + ": ";
    line += text;
    const std::lock_guard<std::mutex> guard(printLock);
    if (LogSink sink = currentSink.load()) {
        sink(level, line);
    } else {
        std::fprintf(stderr, "%s\n", line.c_str());
        std::fflush(stderr);
    }
}

}  // namespace velt::platform
