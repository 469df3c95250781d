#include "format/PageFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "format/Rc4.h"
#include "os/FileIo.h"
#include "util/Failure.h"

namespace jet {

namespace {
// Reads exactly n bytes at off: 1 when read, 0 at the end of the file, -1
// on an error (errno says which).
int preadAll(int fd, uint8_t* out, std::size_t n, off_t off) {
    std::size_t done = 0;
    while (done < n) {
        ssize_t r = fileIo().pread(fd, out + done, n - done, off + static_cast<off_t>(done));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) return 0;
        done += static_cast<std::size_t>(r);
    }
    return 1;
}
}  // namespace

std::unique_ptr<PageFile> PageFile::open(const std::string& path, int heldFd) {
    std::unique_ptr<PageFile> f(new PageFile());
    f->path_ = path;
    f->held_ = heldFd >= 0;
    f->fd_ = f->held_ ? ::fcntl(heldFd, F_DUPFD_CLOEXEC, 0)
                      : fileIo().open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (f->fd_ < 0) {
        int err = errno;
        if (err == ENOENT) fail(ErrorCode::kFileNotFound, "Could not find file '" + path + "'.");
        fail(ErrorCode::kFileAccess,
             "Cannot open the file '" + path + "': " + std::strerror(err) + ".");
    }
    struct stat st {};
    if (::fstat(f->fd_, &st) != 0) {
        fail(ErrorCode::kIo, "Cannot read the file '" + path + "': " + std::strerror(errno) + ".");
    }
    if (!S_ISREG(st.st_mode)) {
        fail(ErrorCode::kFileAccess, "'" + path + "' is not a regular file.");
    }
    f->fileSize_ = static_cast<uint64_t>(st.st_size);
    Page raw{};
    int got = f->fileSize_ < kPageSize ? 0 : preadAll(f->fd_, raw.data(), kPageSize, 0);
    if (got < 0) {
        fail(ErrorCode::kIo, "Cannot read the file '" + path + "': " + std::strerror(errno) + ".");
    }
    if (got == 0)
        fail(ErrorCode::kUnrecognizedFormat, "Unrecognized database format '" + path + "'.");
    f->header_ = parseHeader(raw, path);
    if (f->fileSize_ % kPageSize != 0) {
        fail(ErrorCode::kDamaged, "The database is damaged: its length (" +
                                      std::to_string(f->fileSize_) +
                                      " bytes) is not a whole number of 4096-byte pages.");
    }
    if (f->fileSize_ / kPageSize > kMaxPages) {
        fail(ErrorCode::kDamaged,
             "The database is damaged: it is larger than the format's "
             "limit of 2 GB.");
    }
    f->pageCount_ = static_cast<uint32_t>(f->fileSize_ / kPageSize);
    if (f->pageCount_ < 3) {
        fail(ErrorCode::kDamaged,
             "The database is damaged: it has only " + std::to_string(f->pageCount_) + " pages.");
    }
    return f;
}

PageFile::~PageFile() {
    if (fd_ >= 0) fileIo().close(fd_);
}

void PageFile::checkPageNumber(uint32_t number) const {
    if (number >= pageCount_) {
        failDamage("a pointer leads to page " + std::to_string(number) +
                       ", beyond the end of the file (" + std::to_string(pageCount_) + " pages)",
                   number);
    }
}

void PageFile::refresh() {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        fail(ErrorCode::kIo, "Cannot read the file '" + path_ + "': " + std::strerror(errno) + ".");
    }
    fileSize_ = static_cast<uint64_t>(st.st_size);
    pageCount_ = static_cast<uint32_t>(std::min<uint64_t>(fileSize_ / kPageSize, kMaxPages));
    for (Cached& c : cache_) c.page.reset();
    nextInSequence_.fill(1);
}

void PageFile::releaseCached(uint32_t from, uint32_t to) const {
    if (to <= from) return;
    (void)::posix_fadvise(fd_, static_cast<off_t>(from) * kPageSize,
                          static_cast<off_t>(to - from) * kPageSize, POSIX_FADV_DONTNEED);
}

PageRef PageFile::page(uint32_t number) {
    Cached& slot = cache_[number % kCachePages];
    if (slot.page && slot.number == number) return slot.page;
    checkPageNumber(number);
    // A run of pages in one call when they are wanted in order; one page
    // when access jumps about (index order), where reading ahead would waste.
    // Several streams may be read in order at once (rows, and the long
    // values they point to): each remembers where it would go on.
    // A stream goes on when the page is at or a little past where it would
    // go on (rows of one table lie among other pages).
    std::size_t stream = kStreams;
    for (std::size_t k = 0; k < kStreams; ++k) {
        if (number >= nextInSequence_[k] && number - nextInSequence_[k] < kReadAhead) stream = k;
    }
    const bool sequential = stream != kStreams;
    if (!sequential) stream = nextStream_++ % kStreams;  // the oldest gives way
    uint32_t run = std::min<uint32_t>(sequential ? kReadAhead : 1, pageCount_ - number);
    // Pages already held are not read again: another stream read them.
    for (uint32_t k = 1; k < run; ++k) {
        const Cached& c = cache_[(number + k) % kCachePages];
        if (c.page && c.number == number + k) {
            run = k;
            break;
        }
    }
    nextInSequence_[stream] = number + run;
    // The run is read straight into the pages' buffers. An evicted page's
    // buffer is reused unless someone still holds it; a slot is filled only
    // once its page has been read whole.
    for (uint32_t k = 0; k < run; ++k) {
        Cached& c = cache_[(number + k) % kCachePages];
        runPages_[k] = c.page.onlyHolder() ? std::move(c.page) : PageRef(new PageRef::Block);
        c.page.reset();
    }
    const std::size_t total = static_cast<std::size_t>(run) * kPageSize;
    std::size_t done = 0;
    while (done < total) {
        std::array<iovec, kReadAhead> parts{};
        int count = 0;
        for (std::size_t k = done / kPageSize; k < run; ++k, ++count) {
            const std::size_t skip = count == 0 ? done % kPageSize : 0;
            parts[static_cast<std::size_t>(count)] = {runPages_[k].mutablePage().data() + skip,
                                                      kPageSize - skip};
        }
        const ssize_t got =
            fileIo().preadv(fd_, parts.data(), count,
                            static_cast<off_t>(number) * kPageSize + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            fail(ErrorCode::kIo,
                 "Cannot read page " + std::to_string(number) + " of '" + path_ +
                     "': " + (got < 0 ? std::strerror(errno) : "the file ended early") + ".");
        }
        done += static_cast<std::size_t>(got);
    }
    PageRef wanted;
    for (uint32_t k = 0; k < run; ++k) {
        const uint32_t n = number + k;
        PageRef& p = runPages_[k];
        if (n == 0) {
            p.mutablePage() = header_.decoded;
        } else if (header_.databaseKey != 0) {
            rc4Page(header_.databaseKey, n, p.mutablePage().data(), kPageSize);
        }
        Cached& c = cache_[n % kCachePages];
        c.number = n;
        c.page = std::move(p);
        if (k == 0) wanted = c.page;
    }
    return wanted;
}

}  // namespace jet
