#include "livemill/folder_watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/log.h"

namespace velt::livemill {

namespace {
// New files, new bytes, renames into the folder; and the folder itself moved
// away, after which its path is watched afresh.
constexpr uint32_t kEvents = IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO | IN_MOVE_SELF | IN_ONLYDIR;
}  // namespace

FolderWatch::FolderWatch() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), initError_(fd_ < 0 ? errno : 0) {}

FolderWatch::~FolderWatch() {
    if (fd_ >= 0) ::close(fd_);
}

bool FolderWatch::add(int id, const std::string& folder, const std::string& logName) {
    if (id < 0 || id >= kMaxFolders) return false;
    Folder& f = folders_[std::size_t(id)];
    f.path = folder.empty() ? std::string(".") : folder;
    f.logName = logName;
    f.wd = -1;
    f.used = true;
    f.warned = fd_ < 0;
    if (fd_ < 0)
        VELT_LOG_WARNING(logName, "cannot watch %s for new data (no inotify: %s); it is looked at on a timer",
                         f.path.c_str(), std::strerror(initError_));
    return true;
}

FolderWatch::Changes FolderWatch::wait(int timeoutMs, std::initializer_list<const platform::WakeEvent*> wakes) {
    Changes changed = watchUnwatched();
    pollfd fds[1 + kMaxWakes] = {};
    nfds_t count = 0;
    fds[count++] = {fd_, POLLIN, 0};  // -1 (no inotify) is left out by poll
    for (const platform::WakeEvent* wake : wakes)
        if (wake != nullptr && wake->descriptor() >= 0 && count < nfds_t(1 + kMaxWakes))
            fds[count++] = {wake->descriptor(), POLLIN, 0};
    // A folder watched just now may hold new files already: no waiting then.
    const int timeout = changed.any() || timeoutMs < 0 ? 0 : timeoutMs;
    int rc;
    do {
        rc = ::poll(fds, count, timeout);
    } while (rc < 0 && errno == EINTR);
    if (rc > 0 && (fds[0].revents & POLLIN) != 0) changed |= readEvents();
    return changed;
}

FolderWatch::Changes FolderWatch::watchUnwatched() {
    Changes changed;
    if (fd_ < 0) return changed;
    for (std::size_t i = 0; i < folders_.size(); ++i) {
        Folder& f = folders_[i];
        if (!f.used || f.wd >= 0) continue;
        f.wd = ::inotify_add_watch(fd_, f.path.c_str(), kEvents);
        if (f.wd >= 0) {
            changed.set(i);
            f.warned = false;
        } else if (errno != ENOENT && !f.warned) {
            // Looked at on a timer instead; said once, not at every wait.
            VELT_LOG_WARNING(f.logName, "cannot watch %s for new data (%s); it is looked at on a timer",
                             f.path.c_str(), std::strerror(errno));
            f.warned = true;
        }
    }
    return changed;
}

FolderWatch::Changes FolderWatch::readEvents() {
    Changes changed;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd_, buffer, sizeof buffer);
        if (got <= 0) break;  // EAGAIN: every event taken
        for (std::size_t at = 0; at + sizeof(inotify_event) <= std::size_t(got);) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            at += sizeof event + event.len;
            if ((event.mask & IN_Q_OVERFLOW) != 0) {
                // Events were dropped: any folder may have changed.
                for (std::size_t i = 0; i < folders_.size(); ++i) changed.set(i, folders_[i].used);
                continue;
            }
            // Two inputs may follow the same folder: both share its watch.
            for (std::size_t i = 0; i < folders_.size(); ++i) {
                Folder& f = folders_[i];
                if (!f.used || f.wd != event.wd) continue;
                changed.set(i);
                if ((event.mask & IN_MOVE_SELF) != 0) {
                    ::inotify_rm_watch(fd_, f.wd);  // its path names another folder now, if any
                    f.wd = -1;
                } else if ((event.mask & IN_IGNORED) != 0) {
                    f.wd = -1;  // removed: watched again once it exists
                }
            }
        }
    }
    return changed;
}

}  // namespace velt::livemill
