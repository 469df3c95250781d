#include "jet/Env.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace jet {

Env& Env::standard() {
    static Env env;
    return env;
}

int Env::open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int Env::openat(int folderFd, const char* name, int flags, mode_t mode) {
    return ::openat(folderFd, name, flags, mode);
}
int Env::unlink(const char* path) { return ::unlink(path); }
int Env::lstat(const char* path, struct stat* out) { return ::lstat(path, out); }
int Env::fstatat(int folderFd, const char* name, struct stat* out, int flags) {
    return ::fstatat(folderFd, name, out, flags);
}
int Env::statvfs(const char* path, struct statvfs* out) { return ::statvfs(path, out); }

ssize_t Env::pread(int fd, void* buf, std::size_t n, off_t offset) {
    return ::pread(fd, buf, n, offset);
}
ssize_t Env::preadv(int fd, const iovec* parts, int count, off_t offset) {
    return ::preadv(fd, parts, count, offset);
}
ssize_t Env::pwrite(int fd, const void* buf, std::size_t n, off_t offset) {
    return ::pwrite(fd, buf, n, offset);
}
int Env::fsync(int fd) { return ::fsync(fd); }
int Env::startWriteBack(int fd) { return ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE); }
int Env::fadvise(int fd, off_t offset, off_t length, int advice) {
    return ::posix_fadvise(fd, offset, length, advice);
}
int Env::ftruncate(int fd, off_t length) { return ::ftruncate(fd, length); }
int Env::fstat(int fd, struct stat* out) { return ::fstat(fd, out); }
int Env::fstatvfs(int fd, struct statvfs* out) { return ::fstatvfs(fd, out); }
int Env::dup(int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 0); }
int Env::close(int fd) { return ::close(fd); }

int Env::getLock(int fd, struct flock* lock) { return ::fcntl(fd, F_OFD_GETLK, lock); }
int Env::setLock(int fd, const struct flock* lock) { return ::fcntl(fd, F_OFD_SETLK, lock); }
int Env::flock(int fd, int operation) { return ::flock(fd, operation); }

}  // namespace jet
