#include "format/PageGrid.h"

#include <algorithm>
#include <cstring>

#include "format/Bytes.h"
#include "format/DataPage.h"
#include "format/Header.h"
#include "format/Rc4.h"

namespace jet {

namespace {

constexpr uint8_t kCr = 0x0D, kLf = 0x0A;
// How far from where it should be a page is sought: a run of bytes put in
// or taken out, or the CR bytes a transfer changed in one page.
constexpr uint32_t kWindow = kPageSize;
constexpr std::size_t kChunk = 1 << 20;

// The file's bytes, read a window at a time.
class FileBytes {
  public:
    FileBytes(Env& env, int fd, uint64_t size) : env_(env), fd_(fd), size_(size) {}
    uint64_t size() const { return size_; }
    // Up to n bytes at off (fewer at the end, none on a read error).
    std::size_t read(uint64_t off, std::size_t n, uint8_t* out) {
        if (off >= size_) return 0;
        n = static_cast<std::size_t>(std::min<uint64_t>(n, size_ - off));
        std::size_t done = 0;
        while (done < n) {
            const auto r = env_.readAt(fd_, out + done, n - done, off + done);
            if (r.error.code == OsErrc::kInterrupted) continue;
            if (!r.ok() || r.value == 0) break;
            done += r.value;
        }
        return done;
    }

  private:
    Env& env_;
    int fd_;
    uint64_t size_;
};

// The page-encoding key of a stored page 0 (0: none).
uint32_t keyOf(const Page& stored) {
    Page decoded = stored;
    maskHeaderRegion(decoded.data());
    return u32(decoded, 0x3E);
}

// Whether page n of a file of pages pages starts at in (available bytes
// there): the first bytes decoded first, the rest only where they pass.
bool pageAt(const uint8_t* in, std::size_t available, uint32_t n, uint32_t key, uint32_t pages) {
    if (available < 64) return false;
    if (key == 0 && (in[1] != 0x01 || in[0] == kPageHeader || in[0] > kPageOtherLast))
        return false;  // most places: no page's first bytes, and nothing copied
    Page p{};
    std::copy_n(in, std::min<std::size_t>(available, kPageSize), p.data());
    const std::size_t got = std::min<std::size_t>(available, kPageSize);
    if (key != 0) {
        Page head = p;
        rc4Page(key, n, head.data(), 2);
        if (head[1] != 0x01 || head[0] == kPageHeader || head[0] > kPageOtherLast) return false;
        rc4Page(key, n, p.data(), got);
    }
    return looksLikePage(p.data(), got, pages);
}

// The bytes around where a page is sought: a page's width either side,
// and the page after.
struct Window {
    uint64_t from = 0;
    std::vector<uint8_t> bytes;
    void load(FileBytes& f, uint64_t pos) {
        from = pos > kWindow ? pos - kWindow : 0;
        bytes.resize(2 * kWindow + 2 * kPageSize);
        bytes.resize(f.read(from, bytes.size(), bytes.data()));
    }
    bool holds(uint64_t at) const { return at >= from && at < from + bytes.size(); }
    const uint8_t* at(uint64_t off) const { return bytes.data() + (off - from); }
    std::size_t after(uint64_t off) const {
        return holds(off) ? static_cast<std::size_t>(from + bytes.size() - off) : 0;
    }
};

std::size_t countLf(FileBytes& f, const PageGrid::Segment& s) {
    std::vector<uint8_t> b(s.length);
    const std::size_t got = f.read(s.offset, s.length, b.data());
    return static_cast<std::size_t>(std::count(b.begin(), b.begin() + static_cast<long>(got), kLf));
}

// A CR byte before every LF byte, as a transfer in text mode puts it: every
// LF has one, and taking them out leaves whole pages. Each page's segment
// is where its bytes went; taking out the CR before each LF gives them back
// exactly (a CR of the file's own before an LF became CR CR LF).
std::optional<PageGrid> crBeforeEveryLf(FileBytes& f) {
    PageGrid g;
    std::vector<uint8_t> chunk(kChunk);
    uint64_t original = 0, lfs = 0;
    bool pendingCr = false;  // the last byte read is a CR not yet counted
    PageGrid::Segment open{0, 0, PageGrid::Fix::kDropCr};
    auto count = [&](uint64_t at, uint32_t bytes) {  // original bytes ending at file offset at
        original += bytes;
        open.length = static_cast<uint32_t>(at - open.offset);
        if (original % kPageSize == 0) {
            g.pages.push_back(open);
            open = {at, 0, PageGrid::Fix::kDropCr};
        }
    };
    for (uint64_t off = 0; off < f.size(); off += kChunk) {
        const std::size_t n = f.read(off, kChunk, chunk.data());
        if (n == 0) return std::nullopt;
        for (std::size_t i = 0; i < n; ++i) {
            const uint8_t b = chunk[i];
            const uint64_t at = off + i;
            if (b == kLf) {
                if (!pendingCr) return std::nullopt;  // an LF alone: not this transfer
                pendingCr = false;
                ++lfs;
                count(at + 1, 1);  // the CR before it was put in
                continue;
            }
            if (pendingCr) count(at, 1);  // a CR of the file's own
            pendingCr = b == kCr;
            if (!pendingCr) count(at + 1, 1);
        }
    }
    if (pendingCr) count(f.size(), 1);
    if (lfs == 0 || original % kPageSize != 0 || g.pages.size() < 3) return std::nullopt;
    g.found = "a CR byte was put before each of its " + std::to_string(lfs) +
              " LF bytes, as a transfer in text mode does; they were taken out again";
    return g;
}

// Pages sought in the file's bytes, a window at a time.
class Seeker {
  public:
    Seeker(FileBytes& f, uint32_t key)
        : f_(f), key_(key), pages_(static_cast<uint32_t>(f.size() / kPageSize + 2)) {}

    // Loads the bytes around pos; false where the file cannot be read there.
    bool load(uint64_t pos) {
        if (!w_.holds(pos) || w_.after(pos) < kPageSize + kWindow) w_.load(f_, pos);
        return w_.holds(pos);
    }
    // Whether page n, or a page of zeros, starts at at.
    bool pageOrZeros(uint64_t at, uint32_t n) const {
        return w_.holds(at) && (pageAt(w_.at(at), w_.after(at), n, key_, pages_) ||
                                (w_.after(at) >= kPageSize && allZero(w_.at(at), kPageSize)));
    }
    // Where page n starts near pos, after floor, closest first: a page
    // followed by page n + 1 (or zeros, or the end of what is held).
    std::optional<uint64_t> near(uint64_t pos, uint32_t n, uint64_t floor) const {
        for (uint32_t d = 1; d <= kWindow; ++d) {
            for (const int64_t sign : {1, -1}) {
                const int64_t q = static_cast<int64_t>(pos) + sign * d;
                if (q <= static_cast<int64_t>(floor) || q < 0 ||
                    !w_.holds(static_cast<uint64_t>(q)))
                    continue;
                const auto at = static_cast<uint64_t>(q);
                if (!pageAt(w_.at(at), w_.after(at), n, key_, pages_)) continue;
                const uint64_t after = at + kPageSize;
                if (after < f_.size() && w_.holds(after) && !pageOrZeros(after, n + 1)) continue;
                return at;
            }
        }
        return std::nullopt;
    }

  private:
    FileBytes& f_;
    uint32_t key_;
    uint32_t pages_;
    Window w_;
};

// What the report says the file went through.
std::string described(const PageGrid& g, uint32_t moves, uint32_t crPut, uint32_t crTaken) {
    if (crPut > 0 && g.unsure == 0) {
        return "each CR LF pair was made LF, as a transfer in text mode does: " +
               std::to_string(crPut) + " CR bytes were put back";
    }
    std::string found = "its pages were moved off their places at " + std::to_string(moves) +
                        (moves == 1 ? " point" : " points") +
                        " (bytes put in or taken out); they were put back";
    if (crTaken + crPut > 0)
        found += ", " + std::to_string(crTaken + crPut) +
                 (crTaken + crPut == 1 ? " CR byte put right" : " CR bytes put right");
    if (g.unsure > 0) {
        std::string which;
        uint32_t named = 0;
        for (std::size_t n = 0; n < g.pages.size() && named < 5; ++n) {
            if (g.pages[n].fix != PageGrid::Fix::kLost) continue;
            which += (named++ == 0 ? "" : ", ") + std::to_string(n);
        }
        if (named < g.unsure) which += ", ...";
        found += "; " + std::to_string(g.unsure) +
                 (g.unsure == 1 ? " page that held the change (page " + which +
                                      ") could not be put right and is read as lost"
                                : " pages that held the change (pages " + which +
                                      ") could not be put right and are read as lost");
    }
    return found;
}

// Where the pages lie, each sought near where the last one ended: pages
// that start where they should are taken as they are; where page n is
// found off its place (and the page after it where it should then be), the
// page before it was longer or shorter. A page that CR bytes were taken out
// of, or put in, is put right where its LF bytes are as many as that.
std::optional<PageGrid> resync(FileBytes& f) {
    Page first{};
    if (f.read(0, kPageSize, first.data()) != kPageSize) return std::nullopt;
    Seeker seek(f, keyOf(first));
    PageGrid g;
    g.pages.push_back({0, kPageSize, PageGrid::Fix::kNone});
    uint64_t pos = kPageSize;
    uint32_t moves = 0, crPut = 0, crTaken = 0;
    for (uint32_t n = 1; pos < f.size() && n < kMaxPages; ++n) {
        if (!seek.load(pos)) return std::nullopt;  // the file could not be read there
        // A page damaged where it lies leaves the grid as it was: the page
        // after it is in its place.
        const uint64_t next = pos + kPageSize;
        const bool inPlace =
            seek.pageOrZeros(pos, n) || next >= f.size() || seek.pageOrZeros(next, n + 1);
        if (const auto found = inPlace ? std::nullopt : seek.near(pos, n, g.pages.back().offset)) {
            PageGrid::Segment& before = g.pages.back();
            before.length = static_cast<uint32_t>(*found - before.offset);
            const uint32_t off = before.length > kPageSize ? before.length - kPageSize
                                                           : kPageSize - before.length;
            if (countLf(f, before) == off) {
                before.fix =
                    before.length > kPageSize ? PageGrid::Fix::kDropCr : PageGrid::Fix::kAddCr;
                (before.length > kPageSize ? crTaken : crPut) += off;
            } else {
                // Where in the page the change lies is unknown: every row
                // after it would read shifted, as other values.
                before.fix = PageGrid::Fix::kLost;
                ++g.unsure;
            }
            ++moves;
            pos = *found;
        }
        const uint64_t left = f.size() - pos;
        g.pages.push_back({pos, static_cast<uint32_t>(std::min<uint64_t>(left, kPageSize)),
                           PageGrid::Fix::kNone});
        pos += kPageSize;
    }
    if (moves == 0) return std::nullopt;
    // A transfer in text mode moves every page that holds an LF; one move
    // is a run put in or taken out, whose length matched the page's LF
    // bytes by chance, and the CR bytes would not put the page right.
    if (moves == 1 && crPut + crTaken > 0) {
        for (PageGrid::Segment& s : g.pages) {
            if (s.fix == PageGrid::Fix::kAddCr || s.fix == PageGrid::Fix::kDropCr)
                s.fix = PageGrid::Fix::kLost;
        }
        crPut = crTaken = 0;
        ++g.unsure;
    }
    g.found = described(g, moves, crPut, crTaken);
    return g;
}

}  // namespace

void PageGrid::fill(const Segment& s, const uint8_t* in, Page& out) {
    out.fill(0);
    if (s.fix == Fix::kLost) return;
    std::size_t o = 0;
    for (std::size_t i = 0; i < s.length && o < kPageSize; ++i) {
        const uint8_t b = in[i];
        const bool lfNext = i + 1 < s.length && in[i + 1] == kLf;
        if (s.fix == Fix::kDropCr && b == kCr && lfNext) continue;
        if (s.fix == Fix::kAddCr && b == kLf) {
            out[o++] = kCr;
            if (o == kPageSize) break;
        }
        out[o++] = b;
    }
}

bool looksLikePage(const uint8_t* p, std::size_t available, uint32_t pages) {
    if (available < 32 || p[1] != 0x01) return false;
    const ByteView b(p, available);
    switch (p[0]) {
        case kPageData: {
            const uint32_t owner = u32(b, 4);
            const uint16_t n = u16(b, 12);
            if (n > 1024 || kDataHeaderSize + 2u * n > available) return false;
            if (owner >= pages && owner != kOwnerLval) return false;
            // The free space is what the table of slots leaves.
            const uint32_t low =
                n == 0 ? kPageSize : u16(b, kDataHeaderSize + 2u * (n - 1u)) & 0x1FFFu;
            return low >= kDataHeaderSize + 2u * n && u16(b, 2) == low - kDataHeaderSize - 2u * n;
        }
        case kPageTableDef:
            return u16(b, 2) <= kPageSize - 8 && u32(b, 4) < pages;
        case kPageIndexNode:
        case kPageIndexLeaf:
            return u16(b, 2) <= kPageSize - 0x1E0 && u32(b, 4) < pages && u32(b, 8) == 0 &&
                   u32(b, 12) < pages && u32(b, 16) < pages;
        case kPageUsageBitmap:
        case kPageOtherFirst:
        case kPageOtherLast:
            // Kinds Access writes that the engine only copies (type 8 and 9
            // pages of 2003 files): their header is all there is to check.
            return u16(b, 2) <= kPageSize;
        default:
            return false;
    }
}

std::optional<PageGrid> findPageGrid(Env& env, int fd, uint64_t size) {
    if (size < 3 * kPageSize) return std::nullopt;
    FileBytes f(env, fd, size);
    if (auto g = crBeforeEveryLf(f)) return g;
    return resync(f);
}

}  // namespace jet
