// The power-cut layer (velt_powercut_fs) mounted over a test's directory:
// the files stay where they are, and cut() throws away every byte of file data
// not synced since it was written, as a power failure would, names kept.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/child_process.h"

namespace velt::test {

/// Mounts the power-cut layer over `dir` (which must exist) for the life of the object.
class PowerCutMount final {
public:
    explicit PowerCutMount(std::string dir) : dir_(std::move(dir)) { mount(); }
    ~PowerCutMount() { unmount(); }
    PowerCutMount(const PowerCutMount&) = delete;
    PowerCutMount& operator=(const PowerCutMount&) = delete;

    bool mounted() const { return daemon_ != nullptr; }
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

    /// Runs fusermount3 with `args` to its end, its complaints dropped when `quiet`.
    static int fusermount(std::vector<std::string> args, bool quiet) {
        args.insert(args.begin(), "fusermount3");
        return runProgram({.args = std::move(args), .errors = quiet ? "/dev/null" : ""}).exit;
    }

    bool mount() {
        problem_.clear();
        struct stat before {};
        if (::stat(dir_.c_str(), &before) != 0) return fail(dir_ + ": " + std::strerror(errno));
        if (::access("/dev/fuse", R_OK | W_OK) != 0) return fail("/dev/fuse is not usable here");
        if (::access(daemonPath().c_str(), X_OK) != 0) return fail(daemonPath() + " is missing");
        auto daemon = std::make_unique<ChildProcess>(Launch{.args = {daemonPath(), dir_}});
        if (!daemon->started()) return fail("cannot start " + daemonPath());
        // Mounted once the directory is on another device.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            const int code = daemon->wait(0);
            if (code != kStillRunning)
                return fail("velt_powercut_fs exited before mounting (" + std::to_string(code) + ")");
            struct stat now {};
            if (::stat(dir_.c_str(), &now) == 0 && now.st_dev != before.st_dev) break;
            if (std::chrono::steady_clock::now() > until) {
                daemon->signal(SIGTERM);
                daemon->wait();
                return fail("velt_powercut_fs did not mount " + dir_ + " within 10 s");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        daemon_ = std::move(daemon);
        return true;
    }

    bool unmount() {
        if (!daemon_) return true;
        const std::unique_ptr<ChildProcess> daemon = std::move(daemon_);
        // Right after a program was killed the kernel may still be releasing its
        // files (EBUSY): retry for a while before detaching lazily.
        bool unmounted = false;
        for (int i = 0; i < 50 && !unmounted; ++i) {
            unmounted = fusermount({"-u", dir_}, true) == 0;
            if (!unmounted) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (!unmounted) fusermount({"-uz", dir_}, false);
        // The daemon rolls back, then exits; a file still open somewhere keeps
        // a lazy unmount alive, and SIGTERM ends it the same orderly way.
        int code = daemon->wait(10);
        if (code == kStillRunning) {
            daemon->signal(SIGTERM);
            code = daemon->wait();
        }
        if (code != 0) return fail("velt_powercut_fs ended with " + std::to_string(code));
        return true;
    }

    std::string dir_;
    std::string problem_;
    std::unique_ptr<ChildProcess> daemon_;  // the layer's process while mounted
};

}  // namespace velt::test
