// An Env that fails the n-th call (1-based, counted over all kinds) with an
// error, or, for a write, writes half and fails the next write. Counts calls
// when n is 0, so a test can learn how many there are and of which kind.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "jet/Env.h"

namespace testsupport {

class FaultyEnv : public jet::Env {
  public:
    enum class Mode { kFail, kShortWrite };
    // With onlyKind ("write", "read", ...), only calls of that kind are
    // counted: the n-th write, say, whatever other threads read meanwhile.
    explicit FaultyEnv(long failAt = 0, int err = 5 /* EIO */, Mode mode = Mode::kFail,
                       const char* onlyKind = nullptr)
        : failAt_(failAt), err_(err), mode_(mode), onlyKind_(onlyKind) {}

    int open(const char* path, int flags, mode_t mode) override;
    int openat(int folderFd, const char* name, int flags, mode_t mode) override;
    int unlink(const char* path) override;
    int lstat(const char* path, struct stat* out) override;
    int fstatat(int folderFd, const char* name, struct stat* out, int flags) override;
    int statvfs(const char* path, struct statvfs* out) override;
    ssize_t pread(int fd, void* buf, std::size_t n, off_t offset) override;
    ssize_t preadv(int fd, const iovec* parts, int count, off_t offset) override;
    ssize_t pwrite(int fd, const void* buf, std::size_t n, off_t offset) override;
    int fsync(int fd) override;
    int startWriteBack(int fd) override;
    int fadvise(int fd, off_t offset, off_t length, int advice) override;
    int ftruncate(int fd, off_t length) override;
    int fstat(int fd, struct stat* out) override;
    int fstatvfs(int fd, struct statvfs* out) override;
    int dup(int fd) override;
    int close(int fd) override;
    int getLock(int fd, struct flock* lock) override;
    int setLock(int fd, const struct flock* lock) override;
    int flock(int fd, int operation) override;

    long count() const { return count_; }
    // When only counting: the kind of every call, in order.
    const std::vector<std::string>& kinds() const { return kinds_; }
    // The kind of the call that failed ("" when none did).
    const std::string& failedKind() const { return failedKind_; }

  private:
    bool hit(const char* kind);
    // Fails the call when it is the one to fail (errno set, -1), else makes it.
    template <typename Call>
    auto faulted(const char* kind, Call call) -> decltype(call());

    std::mutex mutex_;
    long failAt_;
    int err_;
    Mode mode_;
    const char* onlyKind_;
    long count_ = 0;
    std::atomic<bool> shortPending_{false};  // writes come from several threads
    std::string failedKind_;
    std::vector<std::string> kinds_;
};

}  // namespace testsupport
