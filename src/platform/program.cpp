#include "platform/program.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "platform/log.h"

#ifndef VELT_VERSION
#define VELT_VERSION "(version not given by the build)"
#endif

namespace velt::platform {

const char* programVersion() { return VELT_VERSION; }

std::string inWorkingFolder(const std::string& name) {
    char cwd[4096];
    return ::getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) + "/" + name : "./" + name;
}

CommandLine::CommandLine(std::string name, std::string usage) : name_(std::move(name)), usage_(std::move(usage)) {}

void CommandLine::flag(const std::string& name, bool& value) { rules_.push_back(OptionRule{name, "", &value, nullptr}); }

void CommandLine::option(const std::string& name, const std::string& what, std::string& value) {
    rules_.push_back(OptionRule{name, what, nullptr, &value});
}

const CommandLine::OptionRule* CommandLine::find(const std::string& arg) const {
    for (const OptionRule& s : rules_)
        if (s.name == arg) return &s;
    return nullptr;
}

int CommandLine::usageError(const std::string& text) const {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", name_.c_str(), text.c_str(), name_.c_str());
    return kExitUsage;
}

int CommandLine::parse(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage_.c_str(), stdout);
            return kExitDone;
        }
        if (arg == "--version") {
            std::printf("%s %s\n", name_.c_str(), programVersion());
            return kExitDone;
        }
        if (arg == "--debug") {
            debug_ = true;
            continue;
        }
        const OptionRule* rule = find(arg);
        const bool config = arg == "--config";
        if (rule == nullptr && !config) return usageError("unknown argument '" + arg + "'");
        if (rule != nullptr && rule->flag != nullptr) {
            *rule->flag = true;
            continue;
        }
        const std::string what = config ? "DIR" : rule->what;
        if (i + 1 == argc) return usageError(arg + " needs a value: " + arg + " " + what);
        (config ? configDir_ : *rule->value) = argv[++i];
    }
    if (debug_) setLogLevel(LogLevel::Debug);
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) != nullptr) startFolder_ = cwd;
    if (!configDir_.empty() && ::chdir(configDir_.c_str()) != 0) {
        std::fprintf(stderr, "%s: cannot work in --config folder '%s': %s\n", name_.c_str(), configDir_.c_str(),
                     std::strerror(errno));
        return kExitUsage;
    }
    return -1;
}

std::string CommandLine::fromStartFolder(const std::string& path) const {
    if (path.empty() || path[0] == '/' || startFolder_.empty()) return path;
    return startFolder_ + "/" + path;
}

namespace {

std::atomic<bool> stopFlag{false};
std::atomic<int> stopCount{0};
std::atomic<StopSignals::Hook> stopHook{nullptr};
const WakeEvent* stopWake = nullptr;

void onStopSignal(int) {
    const int saved = errno;
    StopSignals::request();
    errno = saved;
}

}  // namespace

const WakeEvent& StopSignals::wake() {
    static const WakeEvent event;
    return event;
}

void StopSignals::install(Hook hook) {
    stopWake = &wake();  // made before any handler can run
    stopHook.store(hook);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool StopSignals::requested() { return stopFlag.load(); }

std::atomic<bool>& StopSignals::flag() { return stopFlag; }

int StopSignals::count() { return stopCount.load(); }

void StopSignals::request() {
    const int count = stopCount.fetch_add(1) + 1;
    stopFlag.store(true);
    if (Hook hook = stopHook.load()) hook(count);
    if (stopWake != nullptr) stopWake->signal();
}

}  // namespace velt::platform
