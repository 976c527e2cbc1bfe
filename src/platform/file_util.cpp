#include "platform/file_util.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace velt::platform {

namespace {

// Mode of a file that did not exist before, less the umask.
constexpr mode_t kNewFileMode = 0644;


// Creates "<path>.tmp<pid>.<n>" exclusively (a name left by a crash is
// skipped); returns the descriptor or -1.
int createTemporary(const std::string& path, std::string& name) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = path + ".tmp" + std::to_string(::getpid()) + "." + std::to_string(counter++);
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Writes `data` to a fresh temporary file beside `target` and syncs it.
// @return its name, or "" on failure (nothing left behind).
std::string writeTemporary(const std::string& target, std::string_view data, bool keepMode, mode_t mode) {
    std::string name;
    const int fd = createTemporary(target, name);
    if (fd < 0) return {};
    const bool ok = writeFully(fd, data.data(), data.size()) && (!keepMode || ::fchmod(fd, mode) == 0) && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !ok) {
        ::unlink(name.c_str());
        return {};
    }
    return name;
}

// With more files than this, one syncfs is cheaper than a sync per file.
constexpr std::size_t kFsyncEachLimit = 8;

// File systems whose syncfs is known to write every file's data and
// metadata to the disk. Elsewhere (FUSE, network file systems, ...) syncfs
// may answer 0 having persisted nothing, so only each file's own sync counts.
constexpr unsigned long kExt4Magic = 0xEF53;  // also ext2 and ext3
constexpr unsigned long kXfsMagic = 0x58465342;
constexpr unsigned long kBtrfsMagic = 0x9123683E;

int fsyncEach(const std::vector<int>& fds) {
    int rc = 0;
    for (int fd : fds)
        if (::fsync(fd) != 0) rc = -1;
    return rc;
}

bool syncfsReachesDisk(int fd) {
    struct statfs info {};
    if (::fstatfs(fd, &info) != 0) return false;
    const auto type = static_cast<unsigned long>(info.f_type);
    return type == kExt4Magic || type == kXfsMagic || type == kBtrfsMagic;
}

}  // namespace

std::string directoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

void syncDirectory(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

int syncFiles(const std::vector<int>& fds, bool oneFileSystem) {
    if (fds.size() <= kFsyncEachLimit) return fsyncEach(fds);
    if (oneFileSystem) return syncfsReachesDisk(fds.front()) ? ::syncfs(fds.front()) : fsyncEach(fds);
    // One syncfs per file system that keeps its word, a sync per file elsewhere.
    int rc = 0;
    std::vector<dev_t> done;
    for (int fd : fds) {
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            rc = -1;
            continue;
        }
        bool seen = false;
        for (dev_t d : done) seen = seen || d == st.st_dev;
        if (seen) continue;
        if (!syncfsReachesDisk(fd)) {
            if (::fsync(fd) != 0) rc = -1;
            continue;
        }
        done.push_back(st.st_dev);
        if (::syncfs(fd) != 0) rc = -1;
    }
    return rc;
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

int64_t fileSize(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return -1;
    return int64_t(st.st_size);
}

int writeFileAtomically(const std::string& path, std::string_view data) {
    if (path.empty()) return -1;
    // Replace the file a symbolic link points to, not the link itself.
    std::string target = path;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char* resolved = ::realpath(path.c_str(), nullptr);
        if (resolved == nullptr) return -1;
        target = resolved;
        std::free(resolved);
    }
    // An existing file keeps its permissions; a new one gets kNewFileMode
    // less the umask, applied by open() itself.
    bool keepMode = false;
    mode_t mode = kNewFileMode;
    if (::stat(target.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) return -1;
        keepMode = true;
        mode = st.st_mode & 07777;
    }
    const std::string name = writeTemporary(target, data, keepMode, mode);
    if (name.empty()) return -1;
    if (::rename(name.c_str(), target.c_str()) != 0) {
        ::unlink(name.c_str());
        return -1;
    }
    syncDirectory(directoryOf(target));
    return 0;
}

int createFileAtomically(const std::string& path, std::string_view data) {
    if (path.empty()) return -1;
    if (fileExists(path)) return 1;
    const std::string name = writeTemporary(path, data, false, kNewFileMode);
    if (name.empty()) return -1;
    // The check above only saves work; this rename is what refuses a name
    // that another writer took meanwhile.
    const int rc = renameNoReplace(name, path);
    if (rc != 0) {
        ::unlink(name.c_str());
        return rc;
    }
    syncDirectory(directoryOf(path));
    return 0;
}

int renameNoReplace(const std::string& from, const std::string& to) {
#if defined(SYS_renameat2)
    constexpr unsigned kRenameNoReplace = 1;  // RENAME_NOREPLACE
    if (::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), kRenameNoReplace) == 0)
        return 0;
    if (errno == EEXIST) return 1;
    // Kernels or file systems without the flag answer ENOSYS or EINVAL; any
    // other error is final.
    if (errno != ENOSYS && errno != EINVAL) return -1;
#endif
    // link() fails with EEXIST rather than replacing, which makes the check
    // and the rename one atomic step.
    if (::link(from.c_str(), to.c_str()) != 0) return errno == EEXIST ? 1 : -1;
    if (::unlink(from.c_str()) != 0) {
        ::unlink(to.c_str());
        return -1;
    }
    return 0;
}

int openUnnamed(const std::string& dir) {
    return ::open(dir.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
}

int nameUnnamed(int fd, const std::string& path) {
    // Linking a descriptor directly needs a capability on most kernels; the
    // descriptor's entry in /proc does the same for any owner.
    if (::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0) return 0;
    if (errno == EEXIST) return 1;
    const std::string procPath = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    return errno == EEXIST ? 1 : -1;
}

void raiseOpenFileLimit() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

std::size_t openFileLimit() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1u << 20;
    return std::size_t(limit.rlim_cur);
}

std::string freeName(const std::string& base) {
    if (!fileExists(base)) return base;
    for (unsigned long n = 1;; ++n) {
        std::string candidate = base + "." + std::to_string(n);
        if (!fileExists(candidate)) return candidate;
    }
}

bool writeFully(int fd, const void* data, std::size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        size -= std::size_t(n);
    }
    return true;
}

}  // namespace velt::platform
