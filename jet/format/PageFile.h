// Reads the pages of a database file on demand, decoding encoded pages. The
// file is opened read-only; pages are never all held at once.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "format/Header.h"
#include "format/Page.h"
#include "format/PageGrid.h"
#include "jet/Env.h"
#include "jet/KeySearch.h"

namespace jet {

// A page held in a file's cache: it stays valid, and its buffer is not
// reused, while a PageRef to it lives. The count is plain, not atomic: a
// PageFile and the pages it hands out are used by one thread at a time
// (threads that read at once each open the file for themselves). An atomic
// count cost a full barrier for every row and long value read.
class PageRef {
  public:
    PageRef() = default;
    PageRef(const PageRef& o) : b_(o.b_) {
        if (b_) ++b_->refs;
    }
    PageRef(PageRef&& o) noexcept : b_(std::exchange(o.b_, nullptr)) {}
    PageRef& operator=(PageRef o) noexcept {
        std::swap(b_, o.b_);
        return *this;
    }
    ~PageRef() { reset(); }
    void reset() {
        if (b_ && --b_->refs == 0) delete b_;
        b_ = nullptr;
    }
    const Page& operator*() const { return b_->page; }
    const Page* operator->() const { return &b_->page; }
    explicit operator bool() const { return b_ != nullptr; }

  private:
    friend class PageFile;
    struct Block {
        Page page;
        uint32_t refs = 1;
    };
    explicit PageRef(Block* b) : b_(b) {}  // adopts the block's one reference
    bool onlyHolder() const { return b_ && b_->refs == 1; }
    Page& mutablePage() { return b_->page; }
    Block* b_ = nullptr;
};

// How the key of an encoded file whose header is lost is had again: the key
// a person gave (as an earlier search reported it), else a search over the
// range. The search takes minutes, so only a compaction asks for it.
struct KeyRecovery {
    std::optional<uint32_t> given;
    bool search = false;
    KeySearchRange range;
    KeySearchWatch* watch = nullptr;
};

// What opening a damaged file had to work around.
struct OpenDamage {
    bool headerRebuilt = false;  // page 0 made anew: the file's own was not a header
    uint64_t bytesCut = 0;       // bytes of a last page cut short, left out
    bool keyFound = false;       // the header's page-encoding key was damaged, found again
    // The header was lost with the key the pages are encoded with: the key
    // given was taken, or every key tried and this one read them.
    bool keyGiven = false, keySearched = false;
    uint32_t key = 0;            // the key found again, given or searched
    bool passwordLost = false;   // the header's password field holds no text: the one given taken
    // The header's creation date was damaged: the mask the password field
    // shows gave its whole days again.
    bool dateRepaired = false;
    // The header named another format version, though the pages are Jet 4's.
    bool versionRepaired = false;
    uint32_t versionWas = 0;
    // A code page or sort order no Jet 4 file holds, replaced.
    bool codePageRepaired = false, sortOrderRepaired = false;
    uint16_t codePageWas = 0;
    uint32_t sortOrderWas = 0;
    // The whole file was changed (a transfer in text mode, bytes put in or
    // taken out) and its pages put back on their grid: what was found.
    std::string transform;
    bool any() const {
        return headerRebuilt || bytesCut != 0 || keyFound || passwordLost || dateRepaired ||
               versionRepaired || codePageRepaired || sortOrderRepaired || !transform.empty();
    }
};

class PageFile {
  public:
    // Opens the file and reads its header; refuses anything but Jet 4 and a
    // file whose length is not a whole number of pages. With heldFd, the
    // file is the one the caller holds open (read through a duplicate of
    // it) and path only names it in messages.
    static std::unique_ptr<PageFile> open(Env& env, const std::string& path, int heldFd = -1);
    // The same for a file that may be damaged: a last page cut short is left
    // out, and a page 0 that is no header, in a file whose other pages are
    // Jet 4's and not encoded, is made anew with this password (its code
    // page and sort order from the catalogue's definition or the engine's
    // defaults). An encoded file without its header takes the key given, or
    // one a search finds, as recovery says; else it is refused. In a header
    // that reads, a page-encoding key under which the pages do not read is
    // replaced by the key given, or sought among the keys one bit or one
    // byte away from it (0 among them), and a password field that holds no
    // text is taken to hold this password. A header made before for the
    // same file (another handle on it) is used again when given.
    static std::unique_ptr<PageFile> openDamaged(Env& env, const std::string& path,
                                                 const std::string& password, OpenDamage& found,
                                                 const PageFile* before = nullptr,
                                                 int heldFd = -1,
                                                 const KeyRecovery& recovery = {});
    ~PageFile();
    PageFile(const PageFile&) = delete;
    PageFile& operator=(const PageFile&) = delete;

    const Header& header() const { return header_; }
    uint32_t pageCount() const { return pageCount_; }
    uint64_t fileSize() const { return fileSize_; }
    const std::string& path() const { return path_; }
    int fd() const { return fd_; }
    // The calls the file is read with; files opened on its behalf use them too.
    Env& env() const { return *env_; }
    // The descriptor to open the same file again by, or -1 when it is opened by its path.
    int heldFd() const { return held_ ? fd_ : -1; }

    // The decoded page; a number beyond the end of the file is damage.
    PageRef page(uint32_t number);
    // Damage when a pointer leads beyond the end of the file.
    void checkPageNumber(uint32_t number) const;
    // For a file another handle is still writing: takes its length again and
    // forgets every page read, since pages may have been written since.
    void refresh();
    // Tells the system that pages [from, to) need not stay in memory: those
    // on disk already are let go, and read from the disk if asked for
    // again. Only advice, which changes nothing in the file.
    void releaseCached(uint32_t from, uint32_t to) const;

  private:
    PageFile() = default;
    static std::unique_ptr<PageFile> openFile(Env& env, const std::string& path, int heldFd);
    void readHeader(const std::string* rebuildWith, OpenDamage* found, const Header* madeBefore);
    // A file no whole number of pages long whose pages moved off their
    // places: where they now lie.
    void findGrid(OpenDamage& found);
    // Page n as stored (encoded where the file is), through the grid where
    // there is one; false past the end.
    bool readStored(uint32_t n, Page& out);
    Header rebuildHeader(const Page& raw, const std::string& password, OpenDamage& found);
    // KeyRecovery.cpp: an encoded file's lost key had again.
    static bool looksEncoded(const Page& raw, const Page& p1, const Page& p2);
    uint32_t recoverKey(const Page& raw, const Page& storedPage2, OpenDamage& found);
    bool keyConfirmed(uint32_t key);
    bool versionDamaged(const Page& raw);
    bool mostPagesLookJet4();
    // HeaderRepair.cpp.
    void repairHeaderFields(const std::string& password, OpenDamage& found);
    void repairPasswordMask(const std::string& password, bool fieldReads, OpenDamage& found);
    void repairDefaults(OpenDamage& found);
    // The sort order of the catalogue's first text column, where its
    // definition (page 2, decoded) reads; lcid and version stay otherwise.
    static void catalogueSortOrder(const Page& page2, uint16_t& lcid, uint8_t& version);
    bool keyReads(uint32_t key);
    void countPages(OpenDamage* found);
    uint32_t plannedRun(uint32_t number);
    void readRun(uint32_t number, uint32_t run);
    std::string path_;
    Env* env_ = nullptr;
    const KeyRecovery* recovery_ = nullptr;  // while openDamaged runs
    int fd_ = -1;
    bool held_ = false;
    uint64_t fileSize_ = 0;
    uint32_t pageCount_ = 0;
    Header header_;
    std::shared_ptr<const PageGrid> grid_;  // shared by the handles of one file
    // A small direct-mapped cache: the same few pages are asked for again
    // and again.
    static constexpr std::size_t kCachePages = 1024;
    struct Cached {
        uint32_t number = 0;
        PageRef page;  // reused in place once no caller holds it
    };
    std::vector<Cached> cache_ = std::vector<Cached>(kCachePages);
    static constexpr uint32_t kReadAhead = 32;
    std::array<PageRef, kReadAhead> runPages_;  // the run being read
    static constexpr std::size_t kStreams = 4;
    std::array<uint32_t, kStreams> nextInSequence_{1, 1, 1, 1};
    std::size_t nextStream_ = 0;
};

}  // namespace jet
