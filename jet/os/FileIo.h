// The engine's file operations, behind one seam so that tests can make any
// of them fail (or write short) and check that nothing is lost.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace jet {

class FileIo {
  public:
    virtual ~FileIo() = default;
    virtual int open(const char* path, int flags, mode_t mode);
    virtual ssize_t pread(int fd, void* buf, std::size_t n, off_t offset);
    // One read into several buffers, in order (a run of pages, each into its own).
    virtual ssize_t preadv(int fd, const iovec* parts, int count, off_t offset);
    virtual ssize_t pwrite(int fd, const void* buf, std::size_t n, off_t offset);
    virtual int fsync(int fd);
    virtual int ftruncate(int fd, off_t length);
    virtual int close(int fd);
    virtual int unlink(const char* path);
};

// The layer in use: the real one unless a test installed another.
FileIo& fileIo();
// Installs a layer for this process (nullptr: the real one again).
void setFileIo(FileIo* io);

// Fails the n-th operation (1-based, counted over all kinds) with an error,
// or, for a write, writes half and fails the next call. Counts operations
// when n is 0, so a test can learn how many there are.
class FaultyFileIo : public FileIo {
  public:
    enum class Mode { kFail, kShortWrite };
    // With onlyKind ("write", "read", ...), only operations of that kind are
    // counted: the n-th write, say, whatever other threads read meanwhile.
    explicit FaultyFileIo(long failAt = 0, int err = 5 /* EIO */, Mode mode = Mode::kFail,
                          const char* onlyKind = nullptr)
        : failAt_(failAt), err_(err), mode_(mode), onlyKind_(onlyKind) {}
    int open(const char* path, int flags, mode_t mode) override;
    ssize_t pread(int fd, void* buf, std::size_t n, off_t offset) override;
    ssize_t preadv(int fd, const iovec* parts, int count, off_t offset) override;
    ssize_t pwrite(int fd, const void* buf, std::size_t n, off_t offset) override;
    int fsync(int fd) override;
    int ftruncate(int fd, off_t length) override;
    int close(int fd) override;
    int unlink(const char* path) override;
    long count() const { return count_; }
    // When only counting: the kind of every operation, in order.
    const std::vector<std::string>& kinds() const { return kinds_; }
    // The kind of the operation that failed ("" when none did).
    const std::string& failedKind() const { return failedKind_; }

  private:
    bool hit(const char* kind);
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

}  // namespace jet
