#include "support/FaultyEnv.h"

#include <cerrno>
#include <string_view>

namespace testsupport {

namespace {
jet::Env& real() { return jet::Env::standard(); }
}  // namespace

bool FaultyEnv::hit(const char* kind) {
    std::lock_guard<std::mutex> lock(mutex_);  // the engine calls from several threads
    if (onlyKind_ && std::string_view(kind) != onlyKind_) return false;
    ++count_;
    if (failAt_ == 0) kinds_.emplace_back(kind);
    if (failAt_ != 0 && count_ == failAt_) {
        failedKind_ = kind;
        return true;
    }
    return false;
}

template <typename Call>
auto FaultyEnv::faulted(const char* kind, Call call) -> decltype(call()) {
    if (hit(kind)) {
        errno = err_;
        return -1;
    }
    return call();
}

int FaultyEnv::open(const char* path, int flags, mode_t mode) {
    return faulted("open", [&] { return real().open(path, flags, mode); });
}
int FaultyEnv::openat(int folderFd, const char* name, int flags, mode_t mode) {
    return faulted("open", [&] { return real().openat(folderFd, name, flags, mode); });
}
int FaultyEnv::unlink(const char* path) {
    return faulted("delete", [&] { return real().unlink(path); });
}
int FaultyEnv::lstat(const char* path, struct stat* out) {
    return faulted("stat", [&] { return real().lstat(path, out); });
}
int FaultyEnv::fstatat(int folderFd, const char* name, struct stat* out, int flags) {
    return faulted("stat", [&] { return real().fstatat(folderFd, name, out, flags); });
}
int FaultyEnv::statvfs(const char* path, struct statvfs* out) {
    return faulted("stat", [&] { return real().statvfs(path, out); });
}
ssize_t FaultyEnv::pread(int fd, void* buf, std::size_t n, off_t offset) {
    return faulted("read", [&] { return real().pread(fd, buf, n, offset); });
}
ssize_t FaultyEnv::preadv(int fd, const iovec* parts, int count, off_t offset) {
    return faulted("read", [&] { return real().preadv(fd, parts, count, offset); });
}

ssize_t FaultyEnv::pwrite(int fd, const void* buf, std::size_t n, off_t offset) {
    if (shortPending_.exchange(false)) {
        errno = err_;
        return -1;
    }
    if (hit("write")) {
        if (mode_ == Mode::kShortWrite && n > 1) {
            shortPending_ = true;
            return real().pwrite(fd, buf, n / 2, offset);
        }
        errno = err_;
        return -1;
    }
    return real().pwrite(fd, buf, n, offset);
}

int FaultyEnv::fsync(int fd) {
    return faulted("flush", [&] { return real().fsync(fd); });
}
int FaultyEnv::startWriteBack(int fd) {
    return faulted("flush", [&] { return real().startWriteBack(fd); });
}
int FaultyEnv::fadvise(int fd, off_t offset, off_t length, int advice) {
    if (hit("advise")) return err_;  // an error number, as posix_fadvise gives
    return real().fadvise(fd, offset, length, advice);
}
int FaultyEnv::ftruncate(int fd, off_t length) {
    return faulted("truncate", [&] { return real().ftruncate(fd, length); });
}
int FaultyEnv::fstat(int fd, struct stat* out) {
    return faulted("stat", [&] { return real().fstat(fd, out); });
}
int FaultyEnv::fstatvfs(int fd, struct statvfs* out) {
    return faulted("stat", [&] { return real().fstatvfs(fd, out); });
}
int FaultyEnv::dup(int fd) {
    return faulted("open", [&] { return real().dup(fd); });
}
int FaultyEnv::close(int fd) {
    if (hit("close")) {
        real().close(fd);  // the descriptor is gone either way, as with a real failing close
        errno = err_;
        return -1;
    }
    return real().close(fd);
}
int FaultyEnv::getLock(int fd, struct flock* lock) {
    return faulted("lock", [&] { return real().getLock(fd, lock); });
}
int FaultyEnv::setLock(int fd, const struct flock* lock) {
    return faulted("lock", [&] { return real().setLock(fd, lock); });
}
int FaultyEnv::flock(int fd, int operation) {
    return faulted("lock", [&] { return real().flock(fd, operation); });
}

}  // namespace testsupport
