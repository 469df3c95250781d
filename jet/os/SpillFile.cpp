#include "os/SpillFile.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os/Cleanup.h"
#include "os/Paths.h"
#include "os/Process.h"
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
    std::snprintf(name, sizeof name, "/.jet4-spill-%d-%016llx.tmp", processId(),
                  static_cast<unsigned long long>(n));
    return folder + name;
}

// A private file in folder, unnamed or already removed; the error when the
// folder takes none.
OsResult<FileHandle> createIn(Env& env, const std::string& folder) {
    auto fd = env.openTemporary(folder);
    // Refused by the system or the file system rather than by the folder
    // (which then takes no named file either): a named one, removed at once.
    if (fd.ok() || fd.error.code != OsErrc::kNotSupported) return fd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string path = freshName(folder);
        RemoveOnSignal removed(path);  // in case a signal comes before the removal
        fd = env.open(path, OpenMode::kCreateUpdate);
        if (!fd.ok() && fd.error.code == OsErrc::kExists) continue;
        if (!fd.ok()) return fd;
        if (OsError e = env.remove(path)) {
            env.close(fd.value);
            env.remove(path);
            return {kNoFile, e};
        }
        return fd;
    }
    return {kNoFile, OsError{OsErrc::kExists, 0}};
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
    f.folders.push_back(temporaryFolder());
    return f;
}

std::unique_ptr<SpillFile> SpillFile::create(const SpillFolders& where) {
    OsError last{OsErrc::kNotFound, 0};
    std::string lastFolder = where.folders.empty() ? std::string(".") : where.folders.back();
    for (const std::string& folder : where.folders) {
        const auto fd = createIn(*where.env, folder);
        if (fd.ok()) return std::unique_ptr<SpillFile>(new SpillFile(*where.env, fd.value, folder));
        last = fd.error;
        lastFolder = folder;
    }
    if (last.code == OsErrc::kNoSpace) {
        fail(ErrorCode::kNoSpace,
             "There is not enough room on the disk for temporary files in '" + lastFolder + "'.");
    }
    fail(ErrorCode::kFileAccess,
         "Cannot create a temporary file in '" + lastFolder + "': " + describe(last) + ".");
}

SpillFile::~SpillFile() { env_.close(fd_); }

void SpillFile::failIo(const OsError& err) const {
    if (err.code == OsErrc::kNoSpace) {
        fail(ErrorCode::kNoSpace,
             "There is not enough room on the disk for temporary files in '" + folder_ + "'.");
    }
    fail(ErrorCode::kIo,
         "Cannot use a temporary file in '" + folder_ + "': " + describe(err) + ".");
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
        const auto w =
            env_.writeAt(fd_, buffer_.data() + done, buffer_.size() - done, written_ + done);
        if (w.error.code == OsErrc::kInterrupted) continue;
        if (!w.ok()) failIo(w.error);
        if (w.value == 0) failIo(OsError{OsErrc::kNoSpace, 0});
        done += w.value;
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
        const auto r = env_.readAt(fd_, p + done, n - done, offset + done);
        if (r.error.code == OsErrc::kInterrupted) continue;
        if (!r.ok()) failIo(r.error);
        if (r.value == 0) fail(ErrorCode::kIo, "A temporary file ended early.");
        done += r.value;
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
