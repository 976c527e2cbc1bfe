#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace velt::test {
namespace {

using Clock = std::chrono::steady_clock;

std::string nameOf(const std::string& entry) { return entry.substr(0, entry.find('=')); }

/// The test's environment with `changes` ("NAME=value") put in place of the variables they name.
std::vector<std::string> environmentWith(const std::vector<std::string>& changes) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const std::string& change : changes) replaced = replaced || nameOf(change) == nameOf(entry);
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), changes.begin(), changes.end());
    return env;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& t : texts) pointers.push_back(t.data());
    pointers.push_back(nullptr);
    return pointers;
}

Clock::time_point deadline(double seconds) {
    if (seconds < 0) return Clock::time_point::max();
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

ChildProcess::ChildProcess(Launch launch) {
    if (launch.args.empty()) {
        problem_ = "no program named";
        return;
    }
    int out[2] = {-1, -1};
    if (launch.pipeOutput && ::pipe2(out, O_CLOEXEC) != 0) {
        problem_ = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    const int fileFlags = O_WRONLY | O_CREAT | (launch.append ? O_APPEND : O_TRUNC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!launch.input.empty())
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, launch.input.c_str(), O_RDONLY, 0);
    if (launch.pipeOutput)
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    else if (!launch.output.empty())
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, launch.output.c_str(), fileFlags, 0600);
    if (launch.errorsToOutput)
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    else if (!launch.errors.empty())
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, launch.errors.c_str(), fileFlags, 0600);
    if (!launch.workDir.empty()) posix_spawn_file_actions_addchdir_np(&actions, launch.workDir.c_str());

    std::vector<std::string> env = environmentWith(launch.environment);
    std::vector<char*> argv = pointersTo(launch.args);
    std::vector<char*> envp = pointersTo(env);
    const int r = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (r != 0) {
        pid_ = -1;
        problem_ = "cannot start " + launch.args[0] + ": " + std::strerror(r);
    }
    if (launch.pipeOutput) {
        ::close(out[1]);
        pipe_ = out[0];
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !exited_) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
        }
    }
    if (pipe_ >= 0) ::close(pipe_);
}

std::string ChildProcess::readLine(int millis) {
    // A byte at a time, so that nothing after the line is taken from the pipe.
    std::string line;
    char c = 0;
    pollfd p{pipe_, POLLIN, 0};
    while (pipe_ >= 0 && ::poll(&p, 1, millis) == 1 && ::read(pipe_, &c, 1) == 1 && c != '\n') line += c;
    return line;
}

std::string ChildProcess::readAll(double seconds) {
    std::string text;
    const auto until = deadline(seconds);
    char buffer[4096];
    while (pipe_ >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{pipe_, POLLIN, 0};
        const int ready = ::poll(&p, 1, int(std::min<long long>(left, 1000)));
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        const ssize_t n = ::read(pipe_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the end of the output
        text.append(buffer, std::size_t(n));
    }
    return text;
}

void ChildProcess::signal(int number) {
    if (pid_ > 0 && !exited()) ::kill(pid_, number);
}

bool ChildProcess::exited() {
    if (pid_ > 0 && !exited_ && ::waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
    return exited_;
}

int ChildProcess::wait(double seconds) {
    if (pid_ <= 0) return kSignalled;
    const auto until = deadline(seconds);
    while (!exited()) {
        if (seconds < 0) {
            if (::waitpid(pid_, &status_, 0) == pid_) exited_ = true;
            else if (errno != EINTR) return kSignalled;
            continue;
        }
        if (Clock::now() >= until) return kStillRunning;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : kSignalled;
}

Finished runProgram(Launch launch, double seconds) {
    const auto until = deadline(seconds);
    const auto left = [&] {
        return seconds < 0 ? -1.0 : std::max(0.0, std::chrono::duration<double>(until - Clock::now()).count());
    };
    const bool piped = launch.pipeOutput;
    ChildProcess child(std::move(launch));
    Finished finished;
    finished.problem = child.problem();
    if (!child.started()) return finished;
    // Read while it runs, so that a full pipe never holds it up.
    if (piped) finished.output = child.readAll(left());
    finished.exit = child.wait(left());
    if (finished.exit == kStillRunning) {
        child.signal(SIGKILL);
        child.wait();
    }
    return finished;
}

}  // namespace velt::test
