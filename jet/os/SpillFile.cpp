#include "os/SpillFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os/Cleanup.h"
#include "os/Paths.h"
#include "util/Failure.h"

namespace jet {

namespace {

// A name no other file in the folder has yet, most likely.
std::string freshName(const std::string& folder) {
    static std::atomic<uint64_t> counter{0};
    const uint64_t n =
        counter.fetch_add(1) ^
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) *
            0x9E3779B97F4A7C15ull;
    char name[64];
    std::snprintf(name, sizeof name, "/.jet4-spill-%d-%016llx.tmp", static_cast<int>(::getpid()),
                  static_cast<unsigned long long>(n));
    return folder + name;
}

// Whether O_TMPFILE is refused by the system or the file system, rather
// than by the folder (which then takes no named file either).
bool tmpfileUnsupported(int err) { return err == EOPNOTSUPP || err == EISDIR || err == EINVAL; }

// A private file in folder, unnamed or already unlinked; -1 with errno set
// when the folder takes none.
int createIn(Env& env, const std::string& folder) {
    int fd = env.open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || !tmpfileUnsupported(errno)) return fd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string path = freshName(folder);
        RemoveOnSignal removed(path);  // in case a signal comes before the unlink
        fd = env.open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return -1;
        if (env.unlink(path.c_str()) != 0) {
            const int err = errno;
            env.close(fd);
            env.unlink(path.c_str());
            errno = err;
            return -1;
        }
        return fd;
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

SpillFolders SpillFolders::near(Env& env, const std::string& path) {
    SpillFolders f = system(env);
    f.folders.insert(f.folders.begin(), folderOf(path));
    return f;
}

SpillFolders SpillFolders::system(Env& env) {
    SpillFolders f;
    f.env = &env;
    const char* tmp = std::getenv("TMPDIR");
    f.folders.push_back(tmp && *tmp ? tmp : "/tmp");
    return f;
}

std::unique_ptr<SpillFile> SpillFile::create(const SpillFolders& where) {
    int lastErr = ENOENT;
    std::string lastFolder = where.folders.empty() ? std::string(".") : where.folders.back();
    for (const std::string& folder : where.folders) {
        const int fd = createIn(*where.env, folder);
        if (fd >= 0) return std::unique_ptr<SpillFile>(new SpillFile(*where.env, fd, folder));
        lastErr = errno;
        lastFolder = folder;
    }
    if (lastErr == ENOSPC || lastErr == EDQUOT) {
        fail(ErrorCode::kNoSpace,
             "There is not enough room on the disk for temporary files in '" + lastFolder + "'.");
    }
    fail(ErrorCode::kFileAccess,
         "Cannot create a temporary file in '" + lastFolder + "': " + std::strerror(lastErr) + ".");
}

SpillFile::~SpillFile() { env_.close(fd_); }

void SpillFile::failIo(int err) const {
    if (err == ENOSPC || err == EDQUOT) {
        fail(ErrorCode::kNoSpace,
             "There is not enough room on the disk for temporary files in '" + folder_ + "'.");
    }
    fail(ErrorCode::kIo,
         "Cannot use a temporary file in '" + folder_ + "': " + std::strerror(err) + ".");
}

void SpillFile::append(const void* data, std::size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        if (buffer_.capacity() < kBufferBytes) buffer_.reserve(kBufferBytes);
        const std::size_t take = std::min(n, kBufferBytes - buffer_.size());
        buffer_.insert(buffer_.end(), p, p + take);
        p += take;
        n -= take;
        size_ += take;
        if (buffer_.size() == kBufferBytes) writeBuffer();
    }
}

void SpillFile::writeBuffer() {
    std::size_t done = 0;
    while (done < buffer_.size()) {
        const ssize_t w = env_.pwrite(fd_, buffer_.data() + done, buffer_.size() - done,
                                      static_cast<off_t>(written_ + done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) failIo(w < 0 ? errno : ENOSPC);
        done += static_cast<std::size_t>(w);
    }
    written_ += buffer_.size();
    buffer_.clear();
}

void SpillFile::read(uint64_t offset, void* out, std::size_t n) {
    if (offset + n > size_) fail(ErrorCode::kIo, "A temporary file ended early.");
    if (offset + n > written_) writeBuffer();
    auto* p = static_cast<uint8_t*>(out);
    std::size_t done = 0;
    while (done < n) {
        const ssize_t r = env_.pread(fd_, p + done, n - done, static_cast<off_t>(offset + done));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) failIo(errno);
        if (r == 0) fail(ErrorCode::kIo, "A temporary file ended early.");
        done += static_cast<std::size_t>(r);
    }
}

const uint8_t* SpillReader::take(std::size_t n) {
    if (buffer_.size() - next_ < n) {
        // What is left moves to the front; the rest is read after it.
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(next_));
        next_ = 0;
        const std::size_t have = buffer_.size();
        const uint64_t want = std::max<uint64_t>(n - have, capacity_ - std::min(capacity_, have));
        const std::size_t more = static_cast<std::size_t>(std::min<uint64_t>(want, end_ - pos_));
        if (have + more < n) fail(ErrorCode::kIo, "A temporary file ended early.");
        buffer_.resize(have + more);
        file_->read(pos_, buffer_.data() + have, more);
        pos_ += more;
    }
    const uint8_t* p = buffer_.data() + next_;
    next_ += n;
    return p;
}

}  // namespace jet
