// The shell every program shares: the command line (the program's own
// options beside --help, --version, --config DIR and --debug), the stop
// signals and the exit statuses. One way for all of them, so that every
// program answers the same questions the same way and a settings error
// always ends with status 2.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "platform/wake_event.h"

namespace velt::platform {

/// What a program's exit status says.
enum ExitStatus : int {
    kExitDone = 0,    // the job was done (also after an orderly stop)
    kExitFailed = 1,  // the job failed: something could not be read, written or reached
    kExitUsage = 2,   // bad arguments or settings: nothing was done
};

/// @brief The project's version, as the build gives it.
const char* programVersion();

/// @brief `name` in the working folder as a full path, so that messages
/// name a settings file where the user finds it ("./" when unknown).
std::string inWorkingFolder(const std::string& name);

class CommandLine final {
public:
    /// @brief `name` is the program ("livemill"); `usage` its --help text.
    CommandLine(std::string name, std::string usage);

    /// @brief `--NAME` sets `value` to true.
    void flag(const std::string& name, bool& value);
    /// @brief `--NAME VALUE` stores VALUE; `what` names the value in
    /// messages ("DIR", "SECONDS").
    void option(const std::string& name, const std::string& what, std::string& value);

    /// @brief Parses the arguments. --help and --version print and end;
    /// --config DIR enters DIR; --debug lets debug messages through.
    /// @return -1 to go on, else the exit status to end with (why was said).
    int parse(int argc, char** argv);

    /// @brief Says "NAME: TEXT" and how to get help on standard error.
    /// @return kExitUsage.
    int usageError(const std::string& text) const;

    /// @brief `path` as named from the folder the program was started in
    /// (before --config moved it): absolute paths are kept.
    std::string fromStartFolder(const std::string& path) const;

    const std::string& name() const { return name_; }
    /// @brief The folder given with --config ("" when none).
    const std::string& configDir() const { return configDir_; }
    bool debug() const { return debug_; }

private:
    struct OptionRule {
        std::string name;
        std::string what;  // "" for a flag
        bool* flag = nullptr;
        std::string* value = nullptr;
    };
    const OptionRule* find(const std::string& arg) const;

    std::string name_;
    std::string usage_;
    std::vector<OptionRule> rules_;
    std::string configDir_;
    std::string startFolder_;
    bool debug_ = false;
};

/// SIGINT and SIGTERM for the whole process. The handler only counts,
/// sets a flag and signals a wake event, so a worker's poll(2) or a
/// window's socket notifier sees a stop at once; a program with more to do
/// (a second signal that stops at once) gives a hook, which runs inside
/// the handler and may touch lock-free atomics only.
class StopSignals final {
public:
    using Hook = void (*)(int count);

    /// @brief Installs the handlers (again: replaces the hook).
    static void install(Hook hook = nullptr);
    /// @brief True once a signal arrived (or request() was called).
    static bool requested();
    /// @brief The flag itself, for code that watches an atomic (a window's
    /// Stop may set it too).
    static std::atomic<bool>& flag();
    /// @brief Signals received so far.
    static int count();
    /// @brief Signalled at every stop signal; poll its descriptor.
    static const WakeEvent& wake();
    /// @brief A stop asked from inside the program (as a signal would).
    static void request();
};

}  // namespace velt::platform
