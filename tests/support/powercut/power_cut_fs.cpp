// velt_powercut_fs DIR: a power-cut test layer.
//
// Mounts a FUSE file system over DIR itself. Every operation goes through to
// the directory underneath (reached through a descriptor opened before the
// mount), so the files already in DIR show through at the same paths and count
// as durable. The layer remembers which file data changed since its last
// fsync/fdatasync; when it is unmounted (or gets SIGTERM/SIGINT) it throws that
// data away, as a power failure would: every changed file goes back to its size
// and bytes at its last sync. Names (create, mkdir, rename, link, unlink,
// symlink) reach DIR at once, the worst case: a file that exists but whose data
// never arrived.
//
// An fsync of DIR/.powercut-syncall (a virtual, always empty file) makes every
// file durable at once. It stands in for syncfs(2), which FUSE never passes on.
//
// Runs in the foreground, single-threaded; end it with fusermount3 -u DIR.
//
// Inode-based (the low-level interface): each inode the kernel knows is held by
// an O_PATH descriptor, so files stay usable after rename or unlink while open.
#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr off_t kPage = 4096;
constexpr off_t kEnd = std::numeric_limits<off_t>::max();
constexpr double kTimeout = 1.0;  // every change comes through the kernel, so its caches stay right
constexpr const char* kControlName = ".powercut-syncall";
constexpr uint64_t kControlFh = ~uint64_t(0);

using Key = std::pair<dev_t, ino_t>;

struct Inode {
    int fd = -1;           ///< O_PATH to the backing inode (the root: DIR opened for reading)
    Key key{};
    uint64_t lookups = 0;  ///< the kernel's references; it forgets the inode at 0
};

/// A file whose data changed since its last sync, and how to undo that.
struct Unsynced {
    int fd = -1;           ///< read-write; the rollback works after the file was renamed or unlinked
    off_t syncedSize = 0;  ///< size at the last sync (at mount time for an older file, 0 for a new one)
    std::map<off_t, std::vector<char>> pages;  ///< page number -> its synced bytes (clipped to syncedSize)
};

/// An open directory: readdir continues where the previous call stopped.
struct Dir {
    DIR* stream = nullptr;
    off_t pos = 0;
    dirent* pending = nullptr;  ///< read but not yet sent: it did not fit
};

std::string g_dir;
Inode g_root;
Inode g_control;
std::map<Key, Inode> g_inodes;      // map nodes never move: their addresses are the kernel's inode ids
std::map<Key, Unsynced> g_unsynced;  // by backing inode: hard links share one entry

Inode* inodeOf(fuse_ino_t ino) { return ino == FUSE_ROOT_ID ? &g_root : reinterpret_cast<Inode*>(uintptr_t(ino)); }
fuse_ino_t idOf(Inode* inode) { return inode == &g_root ? FUSE_ROOT_ID : fuse_ino_t(reinterpret_cast<uintptr_t>(inode)); }
std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }
int fdOf(const fuse_file_info* fi) { return int(fi->fh); }
void reply(fuse_req_t req, long r) { fuse_reply_err(req, r < 0 ? errno : 0); }

bool preadFully(int fd, std::vector<char>& bytes, off_t at) {
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::pread(fd, bytes.data() + got, bytes.size() - got, at + off_t(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        got += std::size_t(n);
    }
    bytes.resize(got);
    return true;
}

bool pwriteFully(int fd, const std::vector<char>& bytes, off_t at) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, at + off_t(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        done += std::size_t(n);
    }
    return true;
}

/// Called before the bytes in [from, to) of `fd`'s file change (an empty range:
/// only the size changes). Starts tracking the file if its data was durable and
/// saves the synced bytes of each touched page below the synced size, once, so
/// a file that is only appended to costs nothing. @return 0 or an errno value.
int prepareChange(int fd, off_t from, off_t to) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return 0;
    auto [it, added] = g_unsynced.try_emplace({st.st_dev, st.st_ino});
    Unsynced& file = it->second;
    if (added) {
        // Our own descriptor: the caller's may be write-only, and goes on release.
        file.fd = ::open(procPath(fd).c_str(), O_RDWR | O_CLOEXEC);
        if (file.fd < 0) {
            const int e = errno;
            g_unsynced.erase(it);
            return e;
        }
        file.syncedSize = st.st_size;
    }
    const off_t end = std::min(to, file.syncedSize);
    for (off_t page = from / kPage; from < end && page * kPage < end; ++page) {
        auto [saved, isNew] = file.pages.try_emplace(page);
        if (!isNew) continue;
        saved->second.resize(std::size_t(std::min(kPage, file.syncedSize - page * kPage)));
        if (!preadFully(file.fd, saved->second, page * kPage)) {
            const int e = errno;
            file.pages.erase(saved);
            return e;
        }
    }
    return 0;
}

/// `fd`'s file data is durable now: forget how to undo it.
void markSynced(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return;
    const auto it = g_unsynced.find({st.st_dev, st.st_ino});
    if (it == g_unsynced.end()) return;
    ::close(it->second.fd);
    g_unsynced.erase(it);
}

void markAllSynced() {
    ::syncfs(g_root.fd);
    for (auto& [key, file] : g_unsynced) ::close(file.fd);
    g_unsynced.clear();
}

/// The power cut: every changed file back to its size and bytes at its last sync.
void rollBack() {
    uintmax_t pastEnd = 0, restored = 0;
    for (auto& [key, file] : g_unsynced) {
        struct stat st {};
        if (::fstat(file.fd, &st) == 0 && st.st_size > file.syncedSize) pastEnd += uintmax_t(st.st_size - file.syncedSize);
        bool ok = ::ftruncate(file.fd, file.syncedSize) == 0;
        for (const auto& [page, bytes] : file.pages) {
            ok = pwriteFully(file.fd, bytes, page * kPage) && ok;
            restored += bytes.size();
        }
        if (!ok) std::fprintf(stderr, "velt_powercut_fs: cannot roll back inode %ju: %s\n", uintmax_t(key.second), std::strerror(errno));
        ::close(file.fd);
    }
    std::fprintf(stderr, "velt_powercut_fs: power cut on %s: %zu files rolled back, %ju bytes past synced sizes dropped, %ju bytes restored\n",
                 g_dir.c_str(), g_unsynced.size(), pastEnd, restored);
    g_unsynced.clear();
}

int truncateFd(int fd, off_t size) {
    if (const int e = prepareChange(fd, size, kEnd)) return e;
    return ::ftruncate(fd, size) == 0 ? 0 : errno;
}

bool isControl(Inode* parent, const char* name) { return parent == &g_root && std::strcmp(name, kControlName) == 0; }

void controlStat(struct stat* st) {
    *st = {};
    st->st_mode = S_IFREG | 0666;
    st->st_nlink = 1;
    st->st_uid = ::geteuid();
    st->st_gid = ::getegid();
    st->st_ino = ~ino_t(0) >> 1;
}

int statOf(Inode* inode, struct stat* st) {
    if (inode == &g_control) {
        controlStat(st);
        return 0;
    }
    return ::fstatat(inode->fd, "", st, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

/// Looks `name` up in `parent`: one more kernel reference to its inode. @return 0 or an errno value.
int lookUp(Inode* parent, const char* name, fuse_entry_param* e) {
    *e = {};
    Inode* inode = &g_control;
    if (!isControl(parent, name)) {
        const int fd = ::openat(parent->fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return errno;
        if (::fstatat(fd, "", &e->attr, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) {
            const int err = errno;
            ::close(fd);
            return err;
        }
        const Key key{e->attr.st_dev, e->attr.st_ino};
        auto [it, added] = g_inodes.try_emplace(key);
        if (added) it->second = Inode{fd, key, 0};
        else ::close(fd);
        inode = &it->second;
        ++inode->lookups;
    } else {
        controlStat(&e->attr);
    }
    e->ino = idOf(inode);
    e->attr_timeout = e->entry_timeout = kTimeout;
    return 0;
}

void replyEntry(fuse_req_t req, Inode* parent, const char* name) {
    fuse_entry_param e;
    if (const int err = lookUp(parent, name, &e)) fuse_reply_err(req, err);
    else fuse_reply_entry(req, &e);
}

void forget(fuse_ino_t ino, uint64_t count) {
    Inode* inode = inodeOf(ino);
    if (inode == &g_root || inode == &g_control) return;
    inode->lookups -= std::min(count, inode->lookups);
    if (inode->lookups > 0) return;
    ::close(inode->fd);
    g_inodes.erase(inode->key);
}

/// Flags for our descriptor of a file a program opens. The kernel already
/// resolved the name and placed appends (at the size it keeps, which only we
/// change); O_DIRECT would demand aligned buffers here; O_TRUNC must go
/// through the undo log.
int backingFlags(int flags) {
    return (flags & ~(O_TRUNC | O_APPEND | O_DIRECT | O_CREAT | O_EXCL | O_NOFOLLOW)) | O_CLOEXEC;
}

/// Finishes an open: O_TRUNC through the undo log. @return 0 or an errno value (fd closed then).
int finishOpen(int fd, fuse_file_info* fi) {
    if (fd < 0) return errno;
    if ((fi->flags & O_TRUNC) != 0) {
        if (const int e = truncateFd(fd, 0)) {
            ::close(fd);
            return e;
        }
    }
    fi->fh = uint64_t(fd);
    return 0;
}

// ---- the operations -------------------------------------------------------

void fsInit(void*, fuse_conn_info* conn) {
    conn->want &= ~unsigned(FUSE_CAP_WRITEBACK_CACHE);  // every write must reach us when it is made
}

void fsLookup(fuse_req_t req, fuse_ino_t parent, const char* name) { replyEntry(req, inodeOf(parent), name); }

void fsForget(fuse_req_t req, fuse_ino_t ino, uint64_t count) {
    forget(ino, count);
    fuse_reply_none(req);
}

void fsForgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
    for (size_t i = 0; i < count; ++i) forget(forgets[i].ino, forgets[i].nlookup);
    fuse_reply_none(req);
}

void fsGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    struct stat st {};
    if (const int err = statOf(inodeOf(ino), &st)) fuse_reply_err(req, err);
    else fuse_reply_attr(req, &st, kTimeout);
}

void fsSetattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int set, fuse_file_info* fi) {
    Inode* inode = inodeOf(ino);
    int err = 0;
    if (inode != &g_control) {
        const std::string self = procPath(inode->fd);  // follows to the inode itself, whatever its name now
        if ((set & FUSE_SET_ATTR_MODE) != 0) {
            if ((fi != nullptr ? ::fchmod(fdOf(fi), attr->st_mode) : ::chmod(self.c_str(), attr->st_mode)) != 0) err = errno;
        }
        if (err == 0 && (set & (FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID)) != 0) {
            const uid_t uid = (set & FUSE_SET_ATTR_UID) != 0 ? attr->st_uid : uid_t(-1);
            const gid_t gid = (set & FUSE_SET_ATTR_GID) != 0 ? attr->st_gid : gid_t(-1);
            if (::fchownat(inode->fd, "", uid, gid, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) err = errno;
        }
        if (err == 0 && (set & FUSE_SET_ATTR_SIZE) != 0) {
            if (fi != nullptr) {
                err = truncateFd(fdOf(fi), attr->st_size);
            } else {
                const int fd = ::open(self.c_str(), O_WRONLY | O_CLOEXEC);
                err = fd < 0 ? errno : truncateFd(fd, attr->st_size);
                if (fd >= 0) ::close(fd);
            }
        }
        if (err == 0 && (set & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME)) != 0) {
            timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
            if ((set & FUSE_SET_ATTR_ATIME) != 0) times[0] = (set & FUSE_SET_ATTR_ATIME_NOW) != 0 ? timespec{0, UTIME_NOW} : attr->st_atim;
            if ((set & FUSE_SET_ATTR_MTIME) != 0) times[1] = (set & FUSE_SET_ATTR_MTIME_NOW) != 0 ? timespec{0, UTIME_NOW} : attr->st_mtim;
            if ((fi != nullptr ? ::futimens(fdOf(fi), times) : ::utimensat(AT_FDCWD, self.c_str(), times, 0)) != 0) err = errno;
        }
    }
    if (err != 0) return (void)fuse_reply_err(req, err);
    fsGetattr(req, ino, fi);
}

void fsReadlink(fuse_req_t req, fuse_ino_t ino) {
    char target[PATH_MAX + 1];
    const ssize_t n = ::readlinkat(inodeOf(ino)->fd, "", target, PATH_MAX);
    if (n < 0) return (void)fuse_reply_err(req, errno);
    target[n] = '\0';
    fuse_reply_readlink(req, target);
}

void fsMknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t dev) {
    if (::mknodat(inodeOf(parent)->fd, name, mode, dev) != 0) return (void)fuse_reply_err(req, errno);
    replyEntry(req, inodeOf(parent), name);
}

void fsMkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) {
    if (::mkdirat(inodeOf(parent)->fd, name, mode) != 0) return (void)fuse_reply_err(req, errno);
    replyEntry(req, inodeOf(parent), name);
}

void fsSymlink(fuse_req_t req, const char* target, fuse_ino_t parent, const char* name) {
    if (::symlinkat(target, inodeOf(parent)->fd, name) != 0) return (void)fuse_reply_err(req, errno);
    replyEntry(req, inodeOf(parent), name);
}

void fsLink(fuse_req_t req, fuse_ino_t ino, fuse_ino_t parent, const char* name) {
    if (::linkat(AT_FDCWD, procPath(inodeOf(ino)->fd).c_str(), inodeOf(parent)->fd, name, AT_SYMLINK_FOLLOW) != 0)
        return (void)fuse_reply_err(req, errno);
    replyEntry(req, inodeOf(parent), name);
}

void fsUnlink(fuse_req_t req, fuse_ino_t parent, const char* name) { reply(req, ::unlinkat(inodeOf(parent)->fd, name, 0)); }
void fsRmdir(fuse_req_t req, fuse_ino_t parent, const char* name) { reply(req, ::unlinkat(inodeOf(parent)->fd, name, AT_REMOVEDIR)); }

void fsRename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newParent, const char* newName, unsigned flags) {
    reply(req, ::renameat2(inodeOf(parent)->fd, name, inodeOf(newParent)->fd, newName, flags));
}

void fsOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    Inode* inode = inodeOf(ino);
    if (inode == &g_control) {
        fi->fh = kControlFh;
        return (void)fuse_reply_open(req, fi);
    }
    if (const int err = finishOpen(::open(procPath(inode->fd).c_str(), backingFlags(fi->flags)), fi)) fuse_reply_err(req, err);
    else fuse_reply_open(req, fi);
}

void fsCreate(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* fi) {
    Inode* dir = inodeOf(parent);
    int err = 0;
    if (isControl(dir, name)) {
        fi->fh = kControlFh;
    } else {
        const int flags = backingFlags(fi->flags) | O_CREAT | (fi->flags & O_EXCL);
        err = finishOpen(::openat(dir->fd, name, flags, mode), fi);
    }
    fuse_entry_param e;
    if (err == 0) {
        err = lookUp(dir, name, &e);
        if (err != 0 && fi->fh != kControlFh) ::close(fdOf(fi));
    }
    if (err != 0) fuse_reply_err(req, err);
    else fuse_reply_create(req, &e, fi);
}

void fsRead(fuse_req_t req, fuse_ino_t, size_t size, off_t off, fuse_file_info* fi) {
    if (fi->fh == kControlFh) return (void)fuse_reply_buf(req, nullptr, 0);
    std::vector<char> buf(size);
    const ssize_t n = ::pread(fdOf(fi), buf.data(), size, off);
    if (n < 0) fuse_reply_err(req, errno);
    else fuse_reply_buf(req, buf.data(), size_t(n));
}

void fsWrite(fuse_req_t req, fuse_ino_t, const char* buf, size_t size, off_t off, fuse_file_info* fi) {
    if (fi->fh == kControlFh) return (void)fuse_reply_err(req, EINVAL);  // it holds no data
    if (const int err = prepareChange(fdOf(fi), off, off + off_t(size))) return (void)fuse_reply_err(req, err);
    const ssize_t n = ::pwrite(fdOf(fi), buf, size, off);
    if (n < 0) fuse_reply_err(req, errno);
    else fuse_reply_write(req, size_t(n));
}

void fsFlush(fuse_req_t req, fuse_ino_t, fuse_file_info*) { fuse_reply_err(req, 0); }

void fsRelease(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    if (fi->fh != kControlFh) ::close(fdOf(fi));
    fuse_reply_err(req, 0);
}

void fsFsync(fuse_req_t req, fuse_ino_t, int datasync, fuse_file_info* fi) {
    if (fi->fh == kControlFh) {
        markAllSynced();
        return (void)fuse_reply_err(req, 0);
    }
    if ((datasync != 0 ? ::fdatasync(fdOf(fi)) : ::fsync(fdOf(fi))) != 0) return (void)fuse_reply_err(req, errno);
    markSynced(fdOf(fi));
    fuse_reply_err(req, 0);
}

void fsFallocate(fuse_req_t req, fuse_ino_t, int mode, off_t off, off_t len, fuse_file_info* fi) {
    if (fi->fh == kControlFh) return (void)fuse_reply_err(req, EINVAL);
    // Plain allocation only grows the file; punching, zeroing, collapsing and
    // inserting change bytes from `off` on.
    const bool keepsBytes = (mode & ~FALLOC_FL_KEEP_SIZE) == 0;
    if (const int err = prepareChange(fdOf(fi), keepsBytes ? kEnd : off, kEnd)) return (void)fuse_reply_err(req, err);
    reply(req, ::fallocate(fdOf(fi), mode, off, len));
}

Dir* dirOf(const fuse_file_info* fi) { return reinterpret_cast<Dir*>(uintptr_t(fi->fh)); }

void fsOpendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    const int fd = ::openat(inodeOf(ino)->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* stream = fd < 0 ? nullptr : ::fdopendir(fd);
    if (stream == nullptr) {
        const int err = errno;
        if (fd >= 0) ::close(fd);
        return (void)fuse_reply_err(req, err);
    }
    fi->fh = uint64_t(reinterpret_cast<uintptr_t>(new Dir{stream}));
    fuse_reply_open(req, fi);
}

void fsReaddir(fuse_req_t req, fuse_ino_t, size_t size, off_t off, fuse_file_info* fi) {
    Dir* dir = dirOf(fi);
    if (off != dir->pos) {
        ::seekdir(dir->stream, off);
        dir->pos = off;
        dir->pending = nullptr;
    }
    std::vector<char> buf(size);
    size_t used = 0;
    for (;;) {
        if (dir->pending == nullptr && (dir->pending = ::readdir(dir->stream)) == nullptr) break;
        struct stat st {};
        st.st_ino = dir->pending->d_ino;
        st.st_mode = DTTOIF(dir->pending->d_type);
        const off_t next = ::telldir(dir->stream);
        const size_t n = fuse_add_direntry(req, buf.data() + used, size - used, dir->pending->d_name, &st, next);
        if (n > size - used) break;  // sent with the next call
        used += n;
        dir->pos = next;
        dir->pending = nullptr;
    }
    fuse_reply_buf(req, buf.data(), used);
}

void fsReleasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    Dir* dir = dirOf(fi);
    ::closedir(dir->stream);
    delete dir;
    fuse_reply_err(req, 0);
}

void fsFsyncdir(fuse_req_t req, fuse_ino_t, int, fuse_file_info*) { fuse_reply_err(req, 0); }  // names are durable at once

void fsStatfs(fuse_req_t req, fuse_ino_t) {
    struct statvfs st {};
    if (::fstatvfs(g_root.fd, &st) != 0) fuse_reply_err(req, errno);
    else fuse_reply_statfs(req, &st);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: velt_powercut_fs DIR\n");
        return 2;
    }
    // A program under test may hold a thousand files open; each also costs us
    // an O_PATH descriptor, and each changed file one more until it is synced.
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    g_dir = argv[1];
    g_root.fd = ::open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (g_root.fd < 0) {
        std::fprintf(stderr, "velt_powercut_fs: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }

    fuse_lowlevel_ops ops{};
    ops.init = fsInit;
    ops.lookup = fsLookup;
    ops.forget = fsForget;
    ops.forget_multi = fsForgetMulti;
    ops.getattr = fsGetattr;
    ops.setattr = fsSetattr;
    ops.readlink = fsReadlink;
    ops.mknod = fsMknod;
    ops.mkdir = fsMkdir;
    ops.unlink = fsUnlink;
    ops.rmdir = fsRmdir;
    ops.symlink = fsSymlink;
    ops.rename = fsRename;
    ops.link = fsLink;
    ops.open = fsOpen;
    ops.create = fsCreate;
    ops.read = fsRead;
    ops.write = fsWrite;
    ops.flush = fsFlush;
    ops.release = fsRelease;
    ops.fsync = fsFsync;
    ops.fallocate = fsFallocate;
    ops.opendir = fsOpendir;
    ops.readdir = fsReaddir;
    ops.releasedir = fsReleasedir;
    ops.fsyncdir = fsFsyncdir;
    ops.statfs = fsStatfs;

    // Permissions are checked by the kernel, as on a local file system.
    char options[] = "default_permissions,fsname=velt_powercut,subtype=velt_powercut";
    char dashO[] = "-o";
    char* args[] = {argv[0], dashO, options, nullptr};
    fuse_args fargs = FUSE_ARGS_INIT(3, args);
    fuse_session* session = fuse_session_new(&fargs, &ops, sizeof ops, nullptr);
    if (session == nullptr) return 1;
    int status = 1;
    if (fuse_set_signal_handlers(session) == 0) {
        if (fuse_session_mount(session, argv[1]) == 0) {
            // Until unmounted (0) or SIGTERM/SIGINT (the signal number).
            const int r = fuse_session_loop(session);
            fuse_session_unmount(session);
            if (r < 0) std::fprintf(stderr, "velt_powercut_fs: %s\n", std::strerror(-r));
            status = r < 0 ? 1 : 0;
        }
        fuse_remove_signal_handlers(session);
    }
    fuse_session_destroy(session);
    if (status == 0) rollBack();  // no request can come any more
    return status;
}
