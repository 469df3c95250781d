// The engine's way to the operating system. Every call the engine makes on
// files and locks goes through an Env: a program passes the one it wants with
// its request (none: Env::standard(), the system's own calls), and a test
// passes one that fails, shortens, pauses or counts any of them. Each method
// behaves as the system call of its name: a result of -1 with errno set on
// failure.
//
// The engine calls an Env from several threads at once. The one call it
// does not make through it is the unlink of a temporary file from a signal
// handler, where only the system's own call is safe.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>

namespace jet {

class Env {
  public:
    virtual ~Env() = default;
    // The system's own calls; lives as long as the process.
    static Env& standard();

    // Names.
    virtual int open(const char* path, int flags, mode_t mode);
    virtual int openat(int folderFd, const char* name, int flags, mode_t mode);
    virtual int unlink(const char* path);
    virtual int lstat(const char* path, struct stat* out);
    virtual int fstatat(int folderFd, const char* name, struct stat* out, int flags);
    virtual int statvfs(const char* path, struct statvfs* out);

    // Open files.
    virtual ssize_t pread(int fd, void* buf, std::size_t n, off_t offset);
    // One read into several buffers, in order (a run of pages, each into its own).
    virtual ssize_t preadv(int fd, const iovec* parts, int count, off_t offset);
    virtual ssize_t pwrite(int fd, const void* buf, std::size_t n, off_t offset);
    virtual int fsync(int fd);
    // Starts writing back what is written so far, without waiting for it
    // (sync_file_range with SYNC_FILE_RANGE_WRITE over the whole file).
    virtual int startWriteBack(int fd);
    // Advice on what is read next (posix_fadvise); returns an error number.
    virtual int fadvise(int fd, off_t offset, off_t length, int advice);
    virtual int ftruncate(int fd, off_t length);
    virtual int fstat(int fd, struct stat* out);
    virtual int fstatvfs(int fd, struct statvfs* out);
    // A duplicate closed on exec (fcntl F_DUPFD_CLOEXEC).
    virtual int dup(int fd);
    virtual int close(int fd);

    // Locks: open-file byte-range locks (fcntl F_OFD_GETLK, F_OFD_SETLK)
    // and flock.
    virtual int getLock(int fd, struct flock* lock);
    virtual int setLock(int fd, const struct flock* lock);
    virtual int flock(int fd, int operation);
};

// The Env a request names, or the standard one.
inline Env& envOr(Env* env) { return env ? *env : Env::standard(); }

}  // namespace jet
