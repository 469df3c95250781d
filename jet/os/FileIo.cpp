#include "os/FileIo.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace jet {

int FileIo::open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
ssize_t FileIo::pread(int fd, void* buf, std::size_t n, off_t offset) {
    return ::pread(fd, buf, n, offset);
}
ssize_t FileIo::preadv(int fd, const iovec* parts, int count, off_t offset) {
    return ::preadv(fd, parts, count, offset);
}
ssize_t FileIo::pwrite(int fd, const void* buf, std::size_t n, off_t offset) {
    return ::pwrite(fd, buf, n, offset);
}
int FileIo::fsync(int fd) { return ::fsync(fd); }
int FileIo::ftruncate(int fd, off_t length) { return ::ftruncate(fd, length); }
int FileIo::close(int fd) { return ::close(fd); }
int FileIo::unlink(const char* path) { return ::unlink(path); }

namespace {
FileIo realIo;
FileIo* current = &realIo;
}  // namespace

FileIo& fileIo() { return *current; }
void setFileIo(FileIo* io) { current = io ? io : &realIo; }

bool FaultyFileIo::hit(const char* kind) {
    std::lock_guard<std::mutex> lock(mutex_);  // the checker reads from two threads
    if (onlyKind_ && std::string_view(kind) != onlyKind_) return false;
    ++count_;
    if (failAt_ == 0) kinds_.emplace_back(kind);
    if (failAt_ != 0 && count_ == failAt_) {
        failedKind_ = kind;
        return true;
    }
    return false;
}

int FaultyFileIo::open(const char* path, int flags, mode_t mode) {
    if (hit("open")) {
        errno = err_;
        return -1;
    }
    return realIo.open(path, flags, mode);
}

ssize_t FaultyFileIo::pread(int fd, void* buf, std::size_t n, off_t offset) {
    if (hit("read")) {
        errno = err_;
        return -1;
    }
    return realIo.pread(fd, buf, n, offset);
}

ssize_t FaultyFileIo::preadv(int fd, const iovec* parts, int count, off_t offset) {
    if (hit("read")) {
        errno = err_;
        return -1;
    }
    return realIo.preadv(fd, parts, count, offset);
}

ssize_t FaultyFileIo::pwrite(int fd, const void* buf, std::size_t n, off_t offset) {
    if (shortPending_.exchange(false)) {
        errno = err_;
        return -1;
    }
    if (hit("write")) {
        if (mode_ == Mode::kShortWrite && n > 1) {
            shortPending_ = true;
            return realIo.pwrite(fd, buf, n / 2, offset);
        }
        errno = err_;
        return -1;
    }
    return realIo.pwrite(fd, buf, n, offset);
}

int FaultyFileIo::fsync(int fd) {
    if (hit("flush")) {
        errno = err_;
        return -1;
    }
    return realIo.fsync(fd);
}

int FaultyFileIo::ftruncate(int fd, off_t length) {
    if (hit("truncate")) {
        errno = err_;
        return -1;
    }
    return realIo.ftruncate(fd, length);
}

int FaultyFileIo::close(int fd) {
    if (hit("close")) {
        realIo.close(fd);  // the descriptor is gone either way, as with a real failing close
        errno = err_;
        return -1;
    }
    return realIo.close(fd);
}

int FaultyFileIo::unlink(const char* path) {
    if (hit("delete")) {
        errno = err_;
        return -1;
    }
    return realIo.unlink(path);
}

}  // namespace jet
