// Programs started by tests: this project's programs and the few system tools
// the tests drive (fusermount3, pg_ctl). No shell is involved, so arguments
// need no quoting; the standard streams go where the test says, the child is
// waited for with a time-out and is never left running after the test.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>  // WIFEXITED... for status()

#include <string>
#include <vector>

namespace velt::test {

/// What to start and where its standard streams go. Every member has a
/// default, so that a test names only what it needs.
struct Launch {
    /// The program (a path, or a name looked up on PATH) and its arguments.
    std::vector<std::string> args{};
    /// Folder the child starts in; "" keeps the test's own. The files below
    /// are opened before the child changes folder.
    std::string workDir{};
    /// "NAME=value" entries, each replacing the test's variable of that name
    /// (or adding it) for the child alone.
    std::vector<std::string> environment{};
    /// File read as standard input; "" keeps the test's own.
    std::string input{};
    /// File standard output is written to; "" keeps the test's own.
    std::string output{};
    /// File standard error is written to; "" keeps the test's own.
    std::string errors{};
    /// Standard error goes wherever standard output goes (file, pipe or the test's own).
    bool errorsToOutput = false;
    /// The output and error files are appended to instead of emptied first.
    bool append = false;
    /// Standard output goes into a pipe that readLine() and readAll() read; `output` is then unused.
    bool pipeOutput = false;
};

/// wait() and runProgram(): the child was ended by a signal.
constexpr int kSignalled = -1;
/// wait() and runProgram(): the child was still running when the time was up.
constexpr int kStillRunning = -2;

/// One child process, killed (SIGKILL) and reaped by the destructor if it is still running.
class ChildProcess {
public:
    explicit ChildProcess(Launch launch);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    /// Why it did not start, for failure and skip messages.
    const std::string& problem() const { return problem_; }
    pid_t pid() const { return pid_; }

    /// The next line of the piped output, without its end; what came before
    /// `millis` ms passed without a byte, or before the end of the output.
    std::string readLine(int millis);
    /// The rest of the piped output, up to its end or for `seconds` at most.
    std::string readAll(double seconds = -1);

    /// Sends signal `number`; nothing once the child has ended.
    void signal(int number);
    /// True once the child has ended; its wait status is then in status().
    bool exited();
    /// Waits up to `seconds` (a negative number: for as long as it takes).
    /// @return the exit code, kSignalled, or kStillRunning (the child is left running).
    int wait(double seconds = -1);
    /// The raw wait status (WIFSIGNALED...), once exited() is true.
    int status() const { return status_; }

private:
    pid_t pid_ = -1;
    int pipe_ = -1;
    bool exited_ = false;
    int status_ = 0;
    std::string problem_;
};

/// The end of a program run to completion by runProgram().
struct Finished {
    /// The exit code, kSignalled, or kStillRunning (it was then killed).
    int exit = kSignalled;
    /// Standard output (with errors when errorsToOutput), when it went into the pipe.
    std::string output;
    /// Why it did not start; exit is then kSignalled.
    std::string problem;
};

/// Starts `launch` and waits for its end, `seconds` at most (a negative
/// number: for as long as it takes); a child still running then is killed.
Finished runProgram(Launch launch, double seconds = -1);

}  // namespace velt::test
