// Writing a database file: pages by number (encoded where the database key
// asks for it), long values, index trees, table definitions, usage maps and
// the global map. Shared by the compactor and the builder.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "format/DataPage.h"
#include "format/IndexPage.h"
#include "format/LongValue.h"
#include "format/Rc4.h"
#include "format/TableDef.h"
#include "format/UsageMap.h"
#include "os/FileIo.h"
#include "write/PageBuilder.h"

namespace jet {

inline constexpr std::size_t kInlineLimit = 64;       // long values up to this size stay in the row
inline constexpr std::size_t kSingleRowLimit = 4076;  // larger values are chained
inline constexpr std::size_t kChainChunkLimit = 4072;
inline constexpr std::size_t kMinChunk = 64;  // smaller leftovers start a chain on a new page
inline constexpr std::size_t kMapRowsPerPage =
    (kPageSize - kDataHeaderSize) / (kUsageMapRowSize + 2);

// Writes pages by number, encoding them under their new number when the
// database key asks for it.
class OutputFile {
  public:
    // Every syncEvery bytes written, the file is flushed to disk on a thread
    // of its own while writing goes on (0: only when asked), so that the
    // flush at the end finds little left to do.
    OutputFile(int fd, uint32_t databaseKey, std::string path,
               uint64_t syncEvery = kDefaultSyncBytes)
        : fd_(fd), key_(databaseKey), path_(std::move(path)), syncEvery_(syncEvery) {}
    ~OutputFile() {  // what is not written yet no longer matters: the copy is dropped
        {
            std::lock_guard<std::mutex> lock(ioMutex_);
            ioStop_ = true;
        }
        ioReady_.notify_all();
        if (io_.joinable()) io_.join();
        waitForSync();
    }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Pages are held back in a window of a few megabytes, at their place by
    // page number, and written from it in runs of consecutive pages: pages
    // are finished out of order (rows, long values and indexes fill pages of
    // their own), but close together. A full window is written on a thread
    // of its own while the next one fills. A page before the window (a
    // definition or map written late) is written at once.
    void write(uint32_t number, const Page& page) {
        if (number < sealed_.size() && sealed_[number]) {
            fail(ErrorCode::kVerifyFailed, "The compacted copy was removed: page " +
                                               std::to_string(number) +
                                               " was written again after it had been checked.");
        }
        if (number != 0 && key_ != 0) {
            Page encoded = page;
            rc4Page(key_, number, encoded.data(), kPageSize);
            hold(number, encoded);
        } else {
            hold(number, page);
        }
    }

    // Pages checked as written: writing one again is refused, since the
    // check at the end takes them as checked.
    void seal(const std::vector<uint32_t>& pages) {
        for (uint32_t p : pages) {
            if (p >= sealed_.size()) sealed_.resize(std::max<std::size_t>(p + 1, kMaxPages), false);
            sealed_[p] = true;
        }
    }

    void sync() {
        flush();
        fsync();
    }
    // Only the flush to disk of what flush() wrote (may run on another
    // thread). A failed flush on the way fails this one too.
    void fsync() {
        waitForSync();
        if (syncFailed_ != 0) failWrite(syncFailed_);
        if (fileIo().fsync(fd_) != 0) failWrite(errno);
    }

    // Writes every page held; when it returns, all are in the file.
    void flush() {
        handOver();
        waitForWrites();
    }

    [[noreturn]] void failWrite(int err) {
        if (err == ENOSPC || err == EDQUOT) {
            fail(ErrorCode::kNoSpace,
                 "There is not enough room on the disk to write '" + path_ + "'.");
        }
        fail(ErrorCode::kIo, "Cannot write '" + path_ + "': " + std::strerror(err) + ".");
    }

  private:
    struct Window {
        std::vector<uint8_t> bytes;
        std::vector<bool> filled;
        std::size_t held = 0;  // pages in the window
        uint32_t base = 0;     // page number of the window's first page
    };

    void hold(uint32_t number, const Page& page) {
        if (open_.held == 0) open_.base = number;
        if (number < open_.base) {
            waitForWrites();  // in file order with what went before
            writeRun(number, page.data(), kPageSize);
            return;
        }
        if (number - open_.base >= kWindowPages) {
            handOver();
            open_.base = number;
        }
        if (open_.bytes.empty()) {
            open_.bytes.resize(kWindowPages * kPageSize);
            open_.filled.assign(kWindowPages, false);
        }
        const std::size_t at = number - open_.base;
        std::memcpy(open_.bytes.data() + at * kPageSize, page.data(), kPageSize);
        if (!open_.filled[at]) ++open_.held;
        open_.filled[at] = true;
    }

    // Gives the open window to the writing thread and opens another. Up to
    // kQueued full windows wait there, so that the builder of pages goes on
    // while the kernel copies what it built.
    void handOver() {
        if (open_.held == 0) {
            throwIfWriteFailed();
            return;
        }
        if (!startIo()) {  // no thread to spare: written here
            writeWindow(open_);
            return;
        }
        {
            std::unique_lock<std::mutex> lock(ioMutex_);
            ioDone_.wait(lock, [&] { return queued_.size() < kQueued || writeFailed_; });
            if (writeFailed_) rethrowWriteFailure(lock);
            queued_.push_back(std::move(open_));
            if (!spareWindows_.empty()) {
                open_ = std::move(spareWindows_.back());
                spareWindows_.pop_back();
            } else {
                open_ = Window{};
            }
            open_.held = 0;
        }
        ioReady_.notify_one();
    }

    // Waits until every window handed over is written; a failure there is
    // this call's.
    void waitForWrites() {
        std::unique_lock<std::mutex> lock(ioMutex_);
        ioDone_.wait(lock, [&] { return (queued_.empty() && !ioBusy_) || writeFailed_; });
        if (writeFailed_) rethrowWriteFailure(lock);
    }
    void throwIfWriteFailed() {
        std::unique_lock<std::mutex> lock(ioMutex_);
        if (writeFailed_) rethrowWriteFailure(lock);
    }
    [[noreturn]] void rethrowWriteFailure(std::unique_lock<std::mutex>& lock) {
        std::exception_ptr e = writeFailed_;
        lock.unlock();
        std::rethrow_exception(e);
    }

    bool startIo() {
        if (io_.joinable()) return true;
        if (noIo_) return false;
        try {
            io_ = std::thread([this] { ioLoop(); });
            return true;
        } catch (const std::system_error&) {
            noIo_ = true;
            return false;
        }
    }

    // The writing thread: full windows in the order they were handed over.
    // After a failure the rest are dropped; the copy is abandoned.
    void ioLoop() {
        std::unique_lock<std::mutex> lock(ioMutex_);
        while (true) {
            ioReady_.wait(lock, [&] { return ioStop_ || !queued_.empty(); });
            if (ioStop_) return;
            Window w = std::move(queued_.front());
            queued_.pop_front();
            ioBusy_ = true;
            lock.unlock();
            std::exception_ptr failed;
            try {
                writeWindow(w);
            } catch (...) {
                failed = std::current_exception();
            }
            lock.lock();
            ioBusy_ = false;
            if (failed) {
                writeFailed_ = failed;
                queued_.clear();
            } else if (spareWindows_.size() < kQueued) {
                spareWindows_.push_back(std::move(w));
            }
            ioDone_.notify_all();
        }
    }

    void writeWindow(Window& w) {
        std::size_t i = 0;
        while (i < kWindowPages) {
            if (!w.filled[i]) {
                ++i;
                continue;
            }
            std::size_t j = i;
            while (j < kWindowPages && w.filled[j]) w.filled[j++] = false;
            writeRun(w.base + static_cast<uint32_t>(i), w.bytes.data() + i * kPageSize,
                     (j - i) * kPageSize);
            i = j;
        }
        w.held = 0;
    }

    void writeRun(uint32_t first, const uint8_t* data, std::size_t size) {
        std::size_t done = 0;
        const off_t at = static_cast<off_t>(first) * kPageSize;
        while (done < size) {
            ssize_t w =
                fileIo().pwrite(fd_, data + done, size - done, at + static_cast<off_t>(done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) failWrite(w < 0 ? errno : ENOSPC);
            done += static_cast<std::size_t>(w);
        }
        written_ += size;
        // Start writing back what is written so far. Only a hint: errors
        // show at fsync.
        if (written_ - kicked_ >= kKickBytes) {
            ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
            kicked_ = written_;
        }
        if (syncEvery_ != 0 && written_ - synced_ >= syncEvery_ && !syncing_) startSync();
    }

    // Writeback alone leaves the disk's own cache to be emptied at the
    // final flush, which then takes about as long as writing the file
    // again; flushing on the way spreads that over the copy.
    void startSync() {
        waitForSync();
        if (syncFailed_ != 0) failWrite(syncFailed_);
        synced_ = written_;
        syncing_ = true;
        try {
            syncer_ = std::thread([this] {
                if (fileIo().fsync(fd_) != 0) syncFailed_ = errno;
                syncing_ = false;
            });
        } catch (const std::system_error&) {
            syncing_ = false;  // no thread to spare: the final flush does it all
        }
    }
    void waitForSync() {
        if (syncer_.joinable()) syncer_.join();
    }

    int fd_;
    uint32_t key_;
    std::string path_;
    static constexpr std::size_t kWindowPages = 1024;  // 4 MB
    Window open_;
    std::vector<bool> sealed_;
    // The writing thread and what it shares, under ioMutex_. What else it
    // touches (the counts below, the flushing thread) is touched by the
    // owner only once it is idle (waitForWrites).
    static constexpr std::size_t kQueued = 3;
    std::mutex ioMutex_;
    std::condition_variable ioReady_, ioDone_;
    std::deque<Window> queued_;
    std::vector<Window> spareWindows_;
    bool ioBusy_ = false, ioStop_ = false, noIo_ = false;
    std::exception_ptr writeFailed_;
    std::thread io_;
    static constexpr uint64_t kKickBytes = 16u << 20;
    static constexpr uint64_t kDefaultSyncBytes = 32u << 20;
    uint64_t written_ = 0, kicked_ = 0, synced_ = 0;
    uint64_t syncEvery_;
    std::thread syncer_;
    std::atomic<bool> syncing_{false};
    int syncFailed_ = 0;  // errno of a failed flush on the way; read after the join
};

class PageAllocator {
  public:
    explicit PageAllocator(uint32_t first) : next_(first) {}
    uint32_t allocate() {
        if (next_ >= kMaxPages) {
            fail(ErrorCode::kTooLarge,
                 "The compacted database would exceed the format's 2 GB limit.");
        }
        return next_++;
    }
    uint32_t count() const { return next_; }

  private:
    uint32_t next_;
};

// A usage map of the output: where its row lives and which pages it lists.
struct MapRow {
    RowPtr at;
    std::vector<uint32_t> pages;
};

// Stores long values of one column on its own LVAL pages.
class LongValueWriter {
  public:
    LongValueWriter(PageAllocator& alloc, OutputFile& out) : alloc_(alloc), out_(out) {}

    using Header = std::array<uint8_t, kLongValueHeaderSize>;
    // Stores a value too large for its row; returns the 12-byte header.
    Header store(ByteView value, bool chained = false) {
        Header header{};
        const std::size_t len = value.size();
        if (len <= kSingleRowLimit && !chained) {
            if (page_ == 0 || !builder_.fits(len)) openPage(std::nullopt);
            uint8_t slot = builder_.add(value);
            put32(header.data(),
                  static_cast<uint32_t>(len) | (static_cast<uint32_t>(kLvSingle) << 24));
            put32(header.data() + 4, RowPtr{page_, slot}.toU32());
            return header;
        }
        put32(header.data(), static_cast<uint32_t>(len));  // kind 0: chain
        std::size_t pos = 0;
        std::optional<uint8_t> previous;  // slot of the previous chunk, on the current page
        bool firstChunk = true;
        while (pos < len || firstChunk) {
            std::size_t room = 0;
            if (page_ != 0 && builder_.rowCount() < 255 && builder_.freeSpace() >= 6) {
                room = std::min(builder_.freeSpace() - 6, kChainChunkLimit);
            }
            if (page_ == 0 || room < std::min(kMinChunk, len - pos)) {
                openPage(previous);
                previous.reset();
                room = kChainChunkLimit;
            }
            const std::size_t chunk = std::min(room, len - pos);
            chunk_.assign(4, 0);
            chunk_.insert(chunk_.end(), value.begin() + static_cast<std::ptrdiff_t>(pos),
                          value.begin() + static_cast<std::ptrdiff_t>(pos + chunk));
            uint8_t slot = builder_.add(chunk_);
            if (previous) put32(builder_.row(*previous).data(), RowPtr{page_, slot}.toU32());
            if (firstChunk) put32(header.data() + 4, RowPtr{page_, slot}.toU32());
            firstChunk = false;
            previous = slot;
            pos += chunk;
        }
        return header;
    }

    void finish() {
        if (page_ != 0) out_.write(page_, builder_.build());
        page_ = 0;
    }

    const std::vector<uint32_t>& pages() const { return pages_; }

  private:
    // Starts a new page; the chunk in slot patch (on the page being left)
    // is pointed at slot 0 of the new page before the old page is written.
    void openPage(std::optional<uint8_t> patch) {
        uint32_t next = alloc_.allocate();
        if (page_ != 0) {
            if (patch) put32(builder_.row(*patch).data(), RowPtr{next, 0}.toU32());
            out_.write(page_, builder_.build());
        }
        builder_.clear();
        page_ = next;
        pages_.push_back(next);
    }

    PageAllocator& alloc_;
    OutputFile& out_;
    DataPageBuilder builder_{kOwnerLval};
    uint32_t page_ = 0;
    std::vector<uint32_t> pages_;
    Bytes chunk_;  // a chain row being built
};

class DatabaseWriter {
  public:
    DatabaseWriter(OutputFile& out, uint32_t firstFreePage) : out_(out), alloc_(firstFreePage) {}

    OutputFile& out() { return out_; }
    PageAllocator& alloc() { return alloc_; }

    // A usage map of the file; its pages are filled in before finish().
    int newMap() {
        maps_.push_back({});
        return static_cast<int>(maps_.size() - 1);
    }
    MapRow& map(int i) { return maps_[static_cast<std::size_t>(i)]; }
    // Gives every map created so far its row on a shared holder page.
    void placeMaps() {
        for (std::size_t i = 0; i < maps_.size(); i += kMapRowsPerPage)
            holderPages_.push_back(alloc_.allocate());
        for (std::size_t i = 0; i < maps_.size(); ++i) {
            maps_[i].at = {holderPages_[i / kMapRowsPerPage],
                           static_cast<uint8_t>(i % kMapRowsPerPage)};
        }
    }

    // Groups entries into pages left to right, each as full as the data area
    // allows. On node pages the last child of a page is its tail and takes no
    // bytes, so the stored entries are those before it. The prefix is
    // estimated from the keys alone, never more than the page will use.
    // keyAt(i) gives the key of entry i of n.
    template <typename KeyAt>
    static std::vector<std::pair<std::size_t, std::size_t>> packPages(std::size_t n, bool node,
                                                                      KeyAt keyAt) {
        const std::size_t trailer = node ? 8 : 4;
        std::vector<std::pair<std::size_t, std::size_t>> groups;  // [begin, end)
        std::size_t b = 0;
        while (b < n) {
            const ByteView first = keyAt(b);
            std::size_t total = first.size() + trailer;
            std::size_t shortest = total;
            std::size_t count = 1;  // stored entries
            std::size_t e = b + 1;
            while (e < n) {
                if (node && e == b + 1) {  // the second child becomes the tail
                    ++e;
                    continue;
                }
                const ByteView add = keyAt(node ? e - 1 : e);
                std::size_t size = add.size() + trailer;
                std::size_t newTotal = total + size;
                std::size_t newShortest = std::min(shortest, size);
                std::size_t lcp = 0;
                while (lcp < first.size() && lcp < add.size() && first[lcp] == add[lcp]) ++lcp;
                std::size_t prefix = std::min(lcp, newShortest - 1);
                if (newTotal - count * prefix > kIndexDataMax) break;
                total = newTotal;
                shortest = newShortest;
                ++count;
                ++e;
            }
            groups.emplace_back(b, e);
            b = e;
        }
        return groups;
    }

    uint32_t writeTree(const std::vector<IndexEntry>& leafEntries, uint32_t owner,
                       std::vector<uint32_t>& pages) {
        return writeTree(
            leafEntries.size(), [&](std::size_t i) { return ByteView(leafEntries[i].key); },
            [&](std::size_t i) { return leafEntries[i].row; }, owner, pages);
    }
    uint32_t writeTree(const PackedEntries& leafEntries, uint32_t owner,
                       std::vector<uint32_t>& pages) {
        return writeTree(
            leafEntries.size(), [&](std::size_t i) { return leafEntries.key(i); },
            [&](std::size_t i) { return leafEntries.entries[i].row; }, owner, pages);
    }

    // Writes a tree over n leaf entries in key order, entry i with key
    // keyAt(i) and row rowAt(i); returns its root.
    template <typename KeyAt, typename RowAt>
    uint32_t writeTree(std::size_t n, KeyAt keyAt, RowAt rowAt, uint32_t owner,
                       std::vector<uint32_t>& pages) {
        std::vector<EntryRef> refs;
        if (n == 0) {
            uint32_t p = alloc_.allocate();
            pages.push_back(p);
            out_.write(p, buildIndexPage(kPageIndexLeaf, owner, 0, 0, 0, refs));
            return p;
        }
        // Leaves.
        std::vector<IndexEntry> level;  // one entry a page: its last entry + the page as child
        {
            auto groups = packPages(n, false, keyAt);
            std::vector<uint32_t> numbers;
            for (std::size_t g = 0; g < groups.size(); ++g) numbers.push_back(alloc_.allocate());
            for (std::size_t g = 0; g < groups.size(); ++g) {
                refs.clear();
                for (std::size_t k = groups[g].first; k < groups[g].second; ++k)
                    refs.push_back({keyAt(k), rowAt(k), 0});
                out_.write(numbers[g],
                           buildIndexPage(kPageIndexLeaf, owner, g > 0 ? numbers[g - 1] : 0,
                                          g + 1 < groups.size() ? numbers[g + 1] : 0, 0, refs));
                IndexEntry& up = level.emplace_back();
                up.key = IndexKey(refs.back().key);
                up.row = refs.back().row;
                up.child = numbers[g];
                pages.push_back(numbers[g]);
            }
        }
        // Node levels until one page remains.
        while (level.size() > 1) {
            auto groups = packPages(level.size(), true,
                                    [&](std::size_t i) { return ByteView(level[i].key); });
            std::vector<uint32_t> numbers;
            for (std::size_t g = 0; g < groups.size(); ++g) numbers.push_back(alloc_.allocate());
            std::vector<IndexEntry> above;
            for (std::size_t g = 0; g < groups.size(); ++g) {
                auto [b, e] = groups[g];
                refs.clear();
                uint32_t tail = 0;
                auto ref = [&](const IndexEntry& x) {
                    refs.push_back({ByteView(x.key), x.row, x.child});
                };
                if (e - b == 1) {
                    ref(level[b]);
                } else {
                    for (std::size_t k = b; k + 1 < e; ++k) ref(level[k]);
                    tail = level[e - 1].child;
                }
                out_.write(numbers[g],
                           buildIndexPage(kPageIndexNode, owner, g > 0 ? numbers[g - 1] : 0,
                                          g + 1 < groups.size() ? numbers[g + 1] : 0, tail, refs));
                IndexEntry up = level[e - 1];
                up.child = numbers[g];
                above.push_back(std::move(up));
                pages.push_back(numbers[g]);
            }
            level = std::move(above);
        }
        return level.front().child;
    }

    void writeTableDef(const std::vector<uint32_t>& pages, const Bytes& buf) {
        std::size_t pos = 0;
        for (std::size_t k = 0; k < pages.size(); ++k) {
            Page p{};
            std::size_t payload;
            if (k == 0) {
                payload = std::min<std::size_t>(buf.size(), kPageSize);
                std::copy(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(payload),
                          p.begin());
            } else {
                payload = std::min<std::size_t>(buf.size() - pos, kTdefPayloadPerContinuation);
                std::copy(buf.begin() + static_cast<std::ptrdiff_t>(pos),
                          buf.begin() + static_cast<std::ptrdiff_t>(pos + payload), p.begin() + 8);
            }
            pos += payload;
            std::size_t used = (k == 0 ? 0 : 8) + payload;
            p[0] = kPageTableDef;
            p[1] = 0x01;
            put16(p.data() + 2,
                  static_cast<uint16_t>(used + 8 >= kPageSize ? 0 : kPageSize - used - 8));
            put32(p.data() + 4, k + 1 < pages.size() ? pages[k + 1] : 0);
            out_.write(pages[k], p);
        }
    }

    // Map rows, bitmap pages for maps too wide to be inline, page 1 (the
    // global map, then row1, owned by page1Owner), page 0.
    void finish(const Page& page0, uint32_t page1Owner, const Bytes& row1) {
        std::vector<Bytes> rows(maps_.size());
        for (std::size_t i = 0; i < maps_.size(); ++i) {
            auto& pages = maps_[i].pages;
            std::sort(pages.begin(), pages.end());
            if (!buildInlineMap(pages, rows[i])) rows[i] = referenceMap(pages, false, 0);
        }
        for (std::size_t h = 0; h < holderPages_.size(); ++h) {
            DataPageBuilder b(0);
            for (std::size_t i = h * kMapRowsPerPage;
                 i < std::min(maps_.size(), (h + 1) * kMapRowsPerPage); ++i) {
                b.add(rows[i]);
            }
            out_.write(holderPages_[h], b.build());
        }
        writeGlobalMap(page1Owner, row1);
        out_.write(0, page0);
    }

    // A reference map row: 01 then the numbers of the bitmap pages. For the
    // global map (free = true) a set bit means free and everything from
    // freeFrom on is free.
    Bytes referenceMap(const std::vector<uint32_t>& members, bool free, uint32_t freeFrom) {
        Bytes row(kUsageMapRowSize, 0);
        row[0] = 0x01;
        std::map<uint32_t, Page> bitmaps;
        auto bitmap = [&](uint32_t slot) -> Page& {
            auto it = bitmaps.find(slot);
            if (it != bitmaps.end()) return it->second;
            Page p{};
            p[0] = kPageUsageBitmap;
            p[1] = 0x01;
            if (free) std::fill(p.begin() + 4, p.end(), 0xFF);
            return bitmaps.emplace(slot, p).first->second;
        };
        for (uint32_t m : members) {
            Page& p = bitmap(m / kPagesPerBitmapPage);
            uint32_t bit = m % kPagesPerBitmapPage;
            p[4 + bit / 8] = static_cast<uint8_t>(p[4 + bit / 8] | (1u << (bit % 8)));
        }
        if (free) {
            for (uint32_t s = 0; s * kPagesPerBitmapPage < freeFrom; ++s) {
                Page& p = bitmap(s);
                for (uint32_t bit = 0;
                     bit < kPagesPerBitmapPage && s * kPagesPerBitmapPage + bit < freeFrom; ++bit) {
                    p[4 + bit / 8] = static_cast<uint8_t>(p[4 + bit / 8] & ~(1u << (bit % 8)));
                }
            }
        }
        for (auto& [slot, page] : bitmaps) {
            uint32_t n = free ? globalBitmapPages_.at(slot) : alloc_.allocate();
            out_.write(n, page);
            put32(row.data() + 1 + 4 * slot, n);
        }
        return row;
    }

    void writeGlobalMap(uint32_t owner, const Bytes& second) {
        Bytes global;
        const std::size_t maxInlineBytes = kPageSize - kDataHeaderSize - 4 - second.size() - 5;
        uint32_t n = alloc_.count();
        std::size_t bytes = std::max<std::size_t>(64, ((n + 7) / 8 + 31) / 32 * 32);
        if (bytes <= maxInlineBytes) {
            global.assign(5 + bytes, 0xFF);
            global[0] = 0x00;
            put32(global.data() + 1, 0);
            for (uint32_t p = 0; p < n; ++p)
                global[5 + p / 8] = static_cast<uint8_t>(global[5 + p / 8] & ~(1u << (p % 8)));
        } else {
            // The bitmap pages are part of the file too: reserve them first.
            uint32_t slots = 0;
            while (static_cast<uint64_t>(slots) * kPagesPerBitmapPage < alloc_.count() + 0ull) {
                globalBitmapPages_[slots] = alloc_.allocate();
                ++slots;
            }
            global = referenceMap({}, true, alloc_.count());
        }
        DataPageBuilder b(owner);
        b.add(global);
        b.add(second);
        out_.write(1, b.build());
    }

  private:
    OutputFile& out_;
    PageAllocator alloc_;
    std::vector<MapRow> maps_;
    std::vector<uint32_t> holderPages_;
    std::map<uint32_t, uint32_t> globalBitmapPages_;
};

}  // namespace jet
