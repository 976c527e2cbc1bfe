// "veltsim serve" started by a test, its standard output on a pipe.
#pragma once

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace velt::test {

constexpr int kTimeoutMillis = 3000;

/// veltsim serve with the arguments given; killed if still running at the end.
class Simulator {
public:
    explicit Simulator(std::vector<std::string> args) {
        args.insert(args.begin(), {VELT_BIN_DIR "/veltsim", "serve"});
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2];
        if (::pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        stdout_ = out[0];
    }
    ~Simulator() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (stdout_ >= 0) ::close(stdout_);
    }

    /// The first line it prints, or "" after the time-out.
    std::string firstLine() {
        std::string line;
        char c = 0;
        pollfd p{stdout_, POLLIN, 0};
        while (::poll(&p, 1, kTimeoutMillis) == 1 && ::read(stdout_, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }
    void signal(int number) { ::kill(pid_, number); }
    /// Exit status, or -1 after a signal or when it is still running after `seconds`.
    int wait(double seconds) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > until) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int stdout_ = -1;
};

}  // namespace velt::test
