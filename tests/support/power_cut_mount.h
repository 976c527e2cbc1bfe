// The power-cut layer (velt_powercut_fs) mounted over a test's directory:
// the files stay where they are, and cut() throws away every byte of file data
// not synced since it was written, as a power failure would, names kept.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace velt::test {

/// Mounts the power-cut layer over `dir` (which must exist) for the life of the object.
class PowerCutMount final {
public:
    explicit PowerCutMount(std::string dir) : dir_(std::move(dir)) { mount(); }
    ~PowerCutMount() { unmount(); }
    PowerCutMount(const PowerCutMount&) = delete;
    PowerCutMount& operator=(const PowerCutMount&) = delete;

    bool mounted() const { return daemon_ > 0; }
    /// Why it is not mounted (no /dev/fuse, daemon missing, time-out...), for skip and failure messages.
    const std::string& problem() const { return problem_; }

    /// A power cut: unmounts (every process using the files must already be
    /// gone), waits until the layer has dropped all unsynced data, mounts again.
    /// @return false with problem() set on failure.
    bool cut() { return unmount() && mount(); }

    /// An fsync of this file makes everything durable (what syncfs does on a disk).
    std::string syncAllControl() const { return dir_ + "/.powercut-syncall"; }
    /// LD_PRELOAD library that turns a program's syncfs into an fsync of the
    /// control file named by VELT_POWERCUT_SYNCALL, and reports ext4, not FUSE.
    /// A sanitizer-built program also needs ASAN_OPTIONS=verify_asan_link_order=0,
    /// or ASan refuses to start behind a preloaded library.
    static std::string shimPath() { return VELT_BIN_DIR "/libvelt_syncfs_shim.so"; }

private:
    static std::string daemonPath() { return VELT_BIN_DIR "/velt_powercut_fs"; }

    bool fail(std::string why) {
        problem_ = std::move(why);
        return false;
    }

    /// Starts `args` (found on PATH). @return its pid, or -1.
    static pid_t spawn(std::vector<std::string> args, bool quiet) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (quiet) posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        const int r = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        return r == 0 ? pid : -1;
    }

    /// @return the exit code of `pid`, or -1 after a signal, or -2 when it is still running after `seconds`.
    static int waitFor(pid_t pid, double seconds) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            int status = 0;
            const pid_t r = ::waitpid(pid, &status, seconds < 0 ? 0 : WNOHANG);
            if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            if (r < 0 && errno != EINTR) return -1;
            if (std::chrono::steady_clock::now() > until) return -2;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    static int run(std::vector<std::string> args, bool quiet) {
        const pid_t pid = spawn(std::move(args), quiet);
        return pid < 0 ? -1 : waitFor(pid, -1);
    }

    bool mount() {
        problem_.clear();
        struct stat before {};
        if (::stat(dir_.c_str(), &before) != 0) return fail(dir_ + ": " + std::strerror(errno));
        if (::access("/dev/fuse", R_OK | W_OK) != 0) return fail("/dev/fuse is not usable here");
        if (::access(daemonPath().c_str(), X_OK) != 0) return fail(daemonPath() + " is missing");
        const pid_t pid = spawn({daemonPath(), dir_}, false);
        if (pid < 0) return fail("cannot start " + daemonPath());
        // Mounted once the directory is on another device.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            const int code = waitFor(pid, 0);
            if (code != -2) return fail("velt_powercut_fs exited before mounting (" + std::to_string(code) + ")");
            struct stat now {};
            if (::stat(dir_.c_str(), &now) == 0 && now.st_dev != before.st_dev) break;
            if (std::chrono::steady_clock::now() > until) {
                ::kill(pid, SIGTERM);
                waitFor(pid, -1);
                return fail("velt_powercut_fs did not mount " + dir_ + " within 10 s");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        daemon_ = pid;
        return true;
    }

    bool unmount() {
        if (daemon_ <= 0) return true;
        const pid_t pid = std::exchange(daemon_, -1);
        // Right after a program was killed the kernel may still be releasing its
        // files (EBUSY): retry for a while before detaching lazily.
        bool unmounted = false;
        for (int i = 0; i < 50 && !unmounted; ++i) {
            unmounted = run({"fusermount3", "-u", dir_}, true) == 0;
            if (!unmounted) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (!unmounted) run({"fusermount3", "-uz", dir_}, false);
        // The daemon rolls back, then exits; a file still open somewhere keeps
        // a lazy unmount alive, and SIGTERM ends it the same orderly way.
        int code = waitFor(pid, 10);
        if (code == -2) {
            ::kill(pid, SIGTERM);
            code = waitFor(pid, -1);
        }
        if (code != 0) return fail("velt_powercut_fs ended with " + std::to_string(code));
        return true;
    }

    std::string dir_;
    std::string problem_;
    pid_t daemon_ = -1;
};

}  // namespace velt::test
