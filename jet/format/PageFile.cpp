#include "format/PageFile.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "format/Rc4.h"
#include "format/TableDef.h"
#include "util/Failure.h"

namespace jet {

namespace {
// Reads exactly n bytes at off: 1 when read, 0 at the end of the file, -1
// on an error (error says which).
int preadAll(Env& env, int fd, uint8_t* out, std::size_t n, uint64_t off, OsError& error) {
    std::size_t done = 0;
    while (done < n) {
        const auto r = env.readAt(fd, out + done, n - done, off + done);
        if (r.error.code == OsErrc::kInterrupted) continue;
        error = r.error;
        if (!r.ok()) return -1;
        if (r.value == 0) return 0;
        done += r.value;
    }
    return 1;
}

[[noreturn]] void cannotRead(const std::string& path, const OsError& error) {
    fail(ErrorCode::kIo, "Cannot read the file '" + path + "': " + describe(error) + ".");
}
}  // namespace

std::unique_ptr<PageFile> PageFile::openFile(Env& env, const std::string& path, int heldFd) {
    std::unique_ptr<PageFile> f(new PageFile());
    f->env_ = &env;
    f->path_ = path;
    f->held_ = heldFd >= 0;
    const auto fd = f->held_ ? env.duplicate(heldFd) : env.open(path, OpenMode::kRead);
    if (!fd.ok()) {
        if (fd.error.code == OsErrc::kNotFound)
            fail(ErrorCode::kFileNotFound, "Could not find file '" + path + "'.");
        fail(ErrorCode::kFileAccess,
             "Cannot open the file '" + path + "': " + describe(fd.error) + ".");
    }
    f->fd_ = fd.value;
    const auto st = env.infoOfFile(f->fd_);
    if (!st.ok()) cannotRead(path, st.error);
    if (st.value.type != FileType::kRegular) {
        fail(ErrorCode::kFileAccess, "'" + path + "' is not a regular file.");
    }
    f->fileSize_ = st.value.size;
    return f;
}

std::unique_ptr<PageFile> PageFile::open(Env& env, const std::string& path, int heldFd) {
    auto f = openFile(env, path, heldFd);
    f->readHeader(nullptr, nullptr, nullptr);
    f->countPages(nullptr);
    return f;
}

std::unique_ptr<PageFile> PageFile::openDamaged(Env& env, const std::string& path,
                                                const std::string& password, OpenDamage& found,
                                                const PageFile* before, int heldFd,
                                                const KeyRecovery& recovery) {
    auto f = openFile(env, path, heldFd);
    f->recovery_ = &recovery;
    if (before) {
        // Another handle on the same file: the header it settled on (made
        // anew, or with a key given or found) holds for this one too.
        f->grid_ = before->grid_;
        f->header_ = before->header_;
        f->countPages(&found);
        f->recovery_ = nullptr;
        return f;
    }
    f->findGrid(found);
    f->readHeader(&password, &found, nullptr);
    f->countPages(&found);
    f->recovery_ = nullptr;
    return f;
}

void PageFile::findGrid(OpenDamage& found) {
    if (fileSize_ % kPageSize == 0) return;
    auto grid = findPageGrid(*env_, fd_, fileSize_);
    if (!grid) return;
    grid_ = std::make_shared<const PageGrid>(std::move(*grid));
    // Only where the pages then read as a Jet 4 file's: page 1 the global
    // map, page 2 the catalogue's definition, under the header's key.
    Page p0{}, p1{}, p2{};
    bool jet4 = readStored(0, p0) && readStored(1, p1) && readStored(2, p2);
    if (jet4) {
        Page decoded = p0;
        maskHeaderRegion(decoded.data());
        if (const uint32_t key = u32(decoded, 0x3E); key != 0) {
            rc4Page(key, 1, p1.data(), kPageSize);
            rc4Page(key, 2, p2.data(), kPageSize);
        }
        jet4 = p1[0] == kPageData && u32(p1, 4) == 1 && p2[0] == kPageTableDef &&
               u32(p2, kTdefConstant) == kTdefMagic;
    }
    if (!jet4) {
        grid_.reset();
        return;
    }
    // One page that held a change is lost and its rows named; where more
    // could not be put right, the transfer cannot be undone, and a copy
    // would keep what is left while it said "repaired".
    if (grid_->unsure > 1) {
        fail(ErrorCode::kDamaged,
             "The database is damaged beyond repair: its pages do not lie on their 4096-byte "
             "grid, and they cannot all be put back: " +
                 grid_->found + ". Nothing was changed.");
    }
    found.transform = grid_->found;
}

bool PageFile::readStored(uint32_t n, Page& out) {
    OsError error;
    if (!grid_) {
        const uint64_t at = uint64_t{n} * kPageSize;
        if (at + kPageSize > fileSize_) return false;
        const int got = preadAll(*env_, fd_, out.data(), kPageSize, at, error);
        if (got < 0) cannotRead(path_, error);
        return got == 1;
    }
    if (n >= grid_->pages.size()) return false;
    const PageGrid::Segment& s = grid_->pages[n];
    std::vector<uint8_t> in(s.length);
    const int got = preadAll(*env_, fd_, in.data(), in.size(), s.offset, error);
    if (got < 0) cannotRead(path_, error);
    if (got == 0) in.assign(in.size(), 0);  // the segment runs past the end: zeros
    PageGrid::fill(s, in.data(), out);
    return true;
}

void PageFile::readHeader(const std::string* rebuildWith, OpenDamage* found,
                          const Header* madeBefore) {
    Page raw{};
    if (!readStored(0, raw))
        fail(ErrorCode::kUnrecognizedFormat, "Unrecognized database format '" + path_ + "'.");
    try {
        header_ = parseHeader(raw, path_);
    } catch (const JetException& e) {
        if (!rebuildWith || e.error().code() != ErrorCode::kUnrecognizedFormat) throw;
        if (madeBefore) {
            header_ = *madeBefore;
        } else if (versionDamaged(raw)) {
            found->versionRepaired = true;
            found->versionWas = u32(raw, 0x14);
            header_ = parseHeader(withJet4Version(raw), path_);
            repairHeaderFields(*rebuildWith, *found);
            return;
        } else {
            header_ = rebuildHeader(raw, *rebuildWith, *found);
        }
        found->headerRebuilt = true;
        return;
    }
    if (rebuildWith) repairHeaderFields(*rebuildWith, *found);
}

void PageFile::countPages(OpenDamage* found) {
    if (grid_) {
        pageCount_ = static_cast<uint32_t>(std::min<std::size_t>(grid_->pages.size(), kMaxPages));
        return;
    }
    if (fileSize_ % kPageSize != 0) {
        if (!found) {
            fail(ErrorCode::kDamaged, "The database is damaged: its length (" +
                                          std::to_string(fileSize_) +
                                          " bytes) is not a whole number of 4096-byte pages.");
        }
        found->bytesCut = fileSize_ % kPageSize;
    }
    if (fileSize_ / kPageSize > kMaxPages) {
        fail(ErrorCode::kDamaged,
             "The database is damaged: it is larger than the format's "
             "limit of 2 GB.");
    }
    pageCount_ = static_cast<uint32_t>(fileSize_ / kPageSize);
    if (pageCount_ < 3) {
        fail(ErrorCode::kDamaged,
             "The database is damaged: it has only " + std::to_string(pageCount_) + " pages.");
    }
}


void PageFile::catalogueSortOrder(const Page& page2, uint16_t& lcid, uint8_t& version) {
    TableDef def;
    def.name = "MSysObjects";
    def.firstPage = 2;
    def.buffer.assign(page2.begin(), page2.end());
    try {
        parseTableDef(def);
    } catch (const JetException&) {
        return;
    }
    for (const auto& c : def.columns) {
        if (c.type == static_cast<uint8_t>(ColumnType::kText)) {
            lcid = c.sortLcid;
            version = c.sortVersion;
            return;
        }
    }
}

// Whether a header that names the engine of Jet 3 and 4 but another format
// version stands before pages that are Jet 4's by their structure: page 1
// the global usage map, page 2 the catalogue's definition (decoded with the
// header's key). A Jet 3 file has pages half the size: its page 2 lies
// where page 1 would.
bool PageFile::versionDamaged(const Page& raw) {
    static const char kJet[] = "Standard Jet DB";
    if (std::memcmp(raw.data() + 4, kJet, sizeof kJet) != 0 || u32(raw, 0x14) == 1) return false;
    Page decoded = raw;
    maskHeaderRegion(decoded.data());
    const uint32_t key = u32(decoded, 0x3E);
    Page p1{}, p2{};
    if (!readStored(1, p1) || !readStored(2, p2)) return false;
    if (key != 0) {
        rc4Page(key, 1, p1.data(), kPageSize);
        rc4Page(key, 2, p2.data(), kPageSize);
    }
    return p1[0] == kPageData && p1[1] == 0x01 && u32(p1, 4) == 1 && p2[0] == kPageTableDef &&
           p2[1] == 0x01 && u32(p2, kTdefConstant) == kTdefMagic;
}

// Whether most of the pages after the first three that hold anything read
// as a Jet 4 file's pages, not encoded (the first 256 of them looked at).
bool PageFile::mostPagesLookJet4() {
    const auto pages = static_cast<uint32_t>(std::min<uint64_t>(fileSize_ / kPageSize, kMaxPages));
    uint32_t used = 0, look = 0;
    for (uint32_t n = 3; n < pages && used < 256; ++n) {
        Page p{};
        if (!readStored(n, p) || allZero(p.data(), kPageSize)) continue;
        ++used;
        look += looksLikePage(p.data(), kPageSize, pages) ? 1u : 0u;
    }
    return look >= 2 && 2 * look > used;
}

// Page 0 made anew for a file whose own is no header: only where its pages
// are a Jet 4 file's (page 2 the catalogue's definition, page 1 the global
// map, or most of the rest), not encoded. What the old header alone held is
// lost: the creation date (with it the key that masks security
// identifiers) and the unknown fields; the password is the one given.
Header PageFile::rebuildHeader(const Page& raw, const std::string& password,
                              OpenDamage& found) {
    const std::string refused = "Unrecognized database format '" + path_ + "'.";
    static const char kJet[] = "Standard Jet DB";
    static const char kAce[] = "Standard ACE DB";
    if (std::memcmp(raw.data() + 4, kJet, sizeof kJet) == 0 ||
        std::memcmp(raw.data() + 4, kAce, sizeof kAce) == 0)
        fail(ErrorCode::kUnrecognizedFormat, refused);  // another version, not damage
    Page p1{}, p2{};
    if (!readStored(1, p1) || !readStored(2, p2)) fail(ErrorCode::kUnrecognizedFormat, refused);
    // The catalogue's definition on page 2 is a Jet 4 file's mark enough
    // (a Jet 3 file's, its pages half the size, lies where page 1 is): the
    // global map on page 1 may be lost with the header.
    const bool plain =
        (p2[0] == kPageTableDef && p2[1] == 0x01 && u32(p2, kTdefConstant) == kTdefMagic) ||
        (p1[0] == kPageData && p1[1] == 0x01 && u32(p1, 4) == 1) || mostPagesLookJet4();
    HeaderFields f;
    if (!encodePassword(password, f.password))
        fail(ErrorCode::kPasswordTooLong, "The password is too long: at most 20 characters.");
    if (!plain) {
        if (!looksEncoded(raw, p1, p2)) fail(ErrorCode::kUnrecognizedFormat, refused);
        f.databaseKey = recoverKey(raw, p2, found);
        rc4Page(f.databaseKey, 2, p2.data(), kPageSize);
    }
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    f.creationDate = std::chrono::duration<double>(now).count() / 86400.0 + 25569.0;
    catalogueSortOrder(p2, f.sortLcid, f.sortVersion);
    Page made = makeHeaderPage(f);
    if (!allZero(raw.data() + 0xE00, kPageSize - 0xE00))  // what is left of the old one
        std::copy(raw.begin() + 0xE00, raw.end(), made.begin() + 0xE00);
    return parseHeader(made, path_);
}

PageFile::~PageFile() {
    if (fd_ >= 0) env_->close(fd_);
}

void PageFile::checkPageNumber(uint32_t number) const {
    if (number >= pageCount_) {
        failDamage("a pointer leads to page " + std::to_string(number) +
                       ", beyond the end of the file (" + std::to_string(pageCount_) + " pages)",
                   number);
    }
}

void PageFile::refresh() {
    const auto st = env_->infoOfFile(fd_);
    if (!st.ok()) cannotRead(path_, st.error);
    fileSize_ = st.value.size;
    pageCount_ = static_cast<uint32_t>(std::min<uint64_t>(fileSize_ / kPageSize, kMaxPages));
    for (Cached& c : cache_) c.page.reset();
    nextInSequence_.fill(1);
}

void PageFile::releaseCached(uint32_t from, uint32_t to) const {
    if (to <= from) return;
    (void)env_->dropCached(fd_, uint64_t{from} * kPageSize, uint64_t{to - from} * kPageSize);
}

PageRef PageFile::page(uint32_t number) {
    Cached& slot = cache_[number % kCachePages];
    if (slot.page && slot.number == number) return slot.page;
    checkPageNumber(number);
    const uint32_t run = plannedRun(number);
    // The run is read straight into the pages' buffers. An evicted page's
    // buffer is reused unless someone still holds it; a slot is filled only
    // once its page has been read whole.
    for (uint32_t k = 0; k < run; ++k) {
        Cached& c = cache_[(number + k) % kCachePages];
        runPages_[k] = c.page.onlyHolder() ? std::move(c.page) : PageRef(new PageRef::Block);
        c.page.reset();
    }
    readRun(number, run);
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

// A run of pages in one call when they are wanted in order; one page when
// access jumps about (index order), where reading ahead would waste.
// Several streams may be read in order at once (rows, and the long values
// they point to): each remembers where it would go on. A stream goes on
// when the page is at or a little past where it would go on (rows of one
// table lie among other pages).
uint32_t PageFile::plannedRun(uint32_t number) {
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
    return run;
}

// Reads pages [number, number + run) into runPages_, as stored.
void PageFile::readRun(uint32_t number, uint32_t run) {
    if (grid_) {
        for (uint32_t k = 0; k < run; ++k) {
            if (!readStored(number + k, runPages_[k].mutablePage()))
                fail(ErrorCode::kIo, "Cannot read page " + std::to_string(number + k) + " of '" +
                                         path_ + "': the file ended early.");
        }
        return;
    }
    const std::size_t total = static_cast<std::size_t>(run) * kPageSize;
    std::size_t done = 0;
    while (done < total) {
        std::array<Buffer, kReadAhead> parts{};
        int count = 0;
        for (std::size_t k = done / kPageSize; k < run; ++k, ++count) {
            const std::size_t skip = count == 0 ? done % kPageSize : 0;
            parts[static_cast<std::size_t>(count)] = {runPages_[k].mutablePage().data() + skip,
                                                      kPageSize - skip};
        }
        const auto got =
            env_->readPartsAt(fd_, parts.data(), count, uint64_t{number} * kPageSize + done);
        if (got.error.code == OsErrc::kInterrupted) continue;
        if (!got.ok() || got.value == 0) {
            fail(ErrorCode::kIo,
                 "Cannot read page " + std::to_string(number) + " of '" + path_ +
                     "': " + (!got.ok() ? describe(got.error) : "the file ended early") + ".");
        }
        done += got.value;
    }
}

}  // namespace jet
