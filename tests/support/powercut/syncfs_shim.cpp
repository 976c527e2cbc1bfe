// libvelt_syncfs_shim.so: LD_PRELOAD it to run a program on the power-cut layer
// as if its files were on a local ext4 file system.
//
// - syncfs(fd) fsyncs the layer's sync-everything control file, named by the
//   environment variable VELT_POWERCUT_SYNCALL: FUSE never passes syncfs on to
//   the layer, so without this a program's syncfs would make nothing durable
//   there. Without the variable the real syncfs runs.
// - statfs/fstatfs (and their 64-bit names) report ext4 where the kernel says
//   FUSE, so a program takes the same paths it takes on a local disk.
//
// Plain C (no C++ runtime needed): it runs inside every program it is loaded into.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/statfs.h>
#include <unistd.h>

#define FUSE_SUPER_MAGIC 0x65735546
#define EXT4_SUPER_MAGIC 0xEF53

extern "C" {

typedef int (*syncfs_fn)(int);
typedef int (*statfs_fn)(const char*, struct statfs*);
typedef int (*fstatfs_fn)(int, struct statfs*);
typedef int (*statfs64_fn)(const char*, struct statfs64*);
typedef int (*fstatfs64_fn)(int, struct statfs64*);

int syncfs(int fd) {
    const char* control = getenv("VELT_POWERCUT_SYNCALL");
    if (control == NULL || *control == '\0') {
        syncfs_fn real = (syncfs_fn)dlsym(RTLD_NEXT, "syncfs");
        if (real == NULL) {
            errno = ENOSYS;
            return -1;
        }
        return real(fd);
    }
    const int c = open(control, O_RDONLY | O_CLOEXEC);
    if (c < 0) return -1;
    const int r = fsync(c);
    const int e = errno;
    close(c);
    if (r == 0) return 0;
    errno = e;
    return -1;
}

int statfs(const char* path, struct statfs* buf) {
    const int r = ((statfs_fn)dlsym(RTLD_NEXT, "statfs"))(path, buf);
    if (r == 0 && buf->f_type == FUSE_SUPER_MAGIC) buf->f_type = EXT4_SUPER_MAGIC;
    return r;
}

int fstatfs(int fd, struct statfs* buf) {
    const int r = ((fstatfs_fn)dlsym(RTLD_NEXT, "fstatfs"))(fd, buf);
    if (r == 0 && buf->f_type == FUSE_SUPER_MAGIC) buf->f_type = EXT4_SUPER_MAGIC;
    return r;
}

// Separate exported names in glibc (aliases of the two above on 64-bit machines).
int statfs64(const char* path, struct statfs64* buf) {
    const int r = ((statfs64_fn)dlsym(RTLD_NEXT, "statfs64"))(path, buf);
    if (r == 0 && buf->f_type == FUSE_SUPER_MAGIC) buf->f_type = EXT4_SUPER_MAGIC;
    return r;
}

int fstatfs64(int fd, struct statfs64* buf) {
    const int r = ((fstatfs64_fn)dlsym(RTLD_NEXT, "fstatfs64"))(fd, buf);
    if (r == 0 && buf->f_type == FUSE_SUPER_MAGIC) buf->f_type = EXT4_SUPER_MAGIC;
    return r;
}

}  // extern "C"
