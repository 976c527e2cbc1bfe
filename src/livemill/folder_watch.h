// Tells which input folders saw a file created, written, closed after
// writing or moved in (inotify), so that an input waiting for new data looks
// again at once instead of at its next timed look. The wait also ends when
// a wake event is signalled (a stop, a caller that wants the worker now).
//
// A folder that does not exist yet, or that was removed or moved away, is
// watched again at every later wait and reported as changed once watched
// (files may have come meanwhile). Where a folder cannot be watched (no
// inotify, the watch limit reached) nothing is reported for it: its input
// keeps its timed looks, as it would without the watch.
#pragma once

#include <array>
#include <bitset>
#include <initializer_list>
#include <string>

#include "platform/wake_event.h"

namespace velt::livemill {

class FolderWatch final {
public:
    static constexpr int kMaxFolders = 16;
    static constexpr int kMaxWakes = 4;
    using Changes = std::bitset<kMaxFolders>;

    FolderWatch();
    ~FolderWatch();
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    /// @brief Watches `folder` ("" = the working folder) as number `id`;
    /// `logName` starts its messages. @return false when `id` is not below
    /// kMaxFolders.
    bool add(int id, const std::string& folder, const std::string& logName);
    /// @brief The descriptor to poll for reading; -1 without inotify.
    int descriptor() const { return fd_; }
    /// @brief Waits up to `timeoutMs` (0: only looks) for a change in a
    /// watched folder or for one of `wakes` (null entries and any beyond
    /// kMaxWakes are left out; signals are not consumed).
    /// @return the folders that changed, by id.
    Changes wait(int timeoutMs, std::initializer_list<const platform::WakeEvent*> wakes = {});

private:
    struct Folder {
        std::string path;
        std::string logName;
        int wd = -1;  // watch descriptor; -1: not watched (yet)
        bool used = false;
        bool warned = false;  // a failure to watch it was logged
    };

    Changes watchUnwatched();
    Changes readEvents();

    int fd_;
    int initError_;  // why there is no inotify descriptor
    std::array<Folder, kMaxFolders> folders_;
};

}  // namespace velt::livemill
