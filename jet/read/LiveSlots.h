// The live rows of a table, page by page: a bitmap of each page's slots and
// the number of rows on the pages before it. Each row then has a number, its
// place in page order, and no list of the rows is needed: memory goes with
// the pages (about 40 bytes each), not with the rows. What a lookup needs of
// a page lies together, found straight from the page number when the pages
// lie close together: rows are looked up in no order, a cache miss each.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "format/Bytes.h"
#include "format/DataPage.h"
#include "os/LargeArray.h"

namespace jet {

class LiveSlots {
  public:
    using Bits = std::array<uint64_t, 4>;  // a bit for each of a page's 256 slots
    struct Page {
        Bits bits{};
        uint32_t before = 0;  // live rows on the pages before
        uint32_t note = 0;    // for the user's own use
    };

    void clear();
    // The live (not deleted) slots of a page, or the slots given; each page
    // once, in any order. A page with no live slot may be left out.
    void addPage(uint32_t page, const DataPage& dp);
    void addPage(uint32_t page, const Bits& live);
    // Numbers the rows and builds the lookup, once every page is added.
    void finish();

    uint64_t count() const { return count_; }
    std::size_t pages() const { return pages_.size(); }

    // A page added, or nothing.
    const Page* find(uint32_t page) const {
        if (dense_) {
            if (page < lo_ || page - lo_ >= info_.size()) return nullptr;
            const Page& p = info_[page - lo_];
            return (p.bits[0] | p.bits[1] | p.bits[2] | p.bits[3]) == 0 ? nullptr : &p;
        }
        auto it = std::lower_bound(pages_.begin(), pages_.end(), page);
        if (it == pages_.end() || *it != page) return nullptr;
        return &info_[static_cast<std::size_t>(it - pages_.begin())];
    }
    Page* find(uint32_t page) {
        return const_cast<Page*>(static_cast<const LiveSlots*>(this)->find(page));
    }
    // Where what a lookup of the page needs lies, without reading it (for
    // asking the processor to fetch it ahead); nothing when not known.
    const Page* where(uint32_t page) const {
        if (!dense_ || page < lo_ || page - lo_ >= info_.size()) return nullptr;
        return &info_[page - lo_];
    }
    static bool has(const Page& p, uint8_t row) {
        return ((p.bits[row >> 6] >> (row & 63u)) & 1u) != 0;
    }
    // The number of the row in page order, given its page.
    static uint32_t rank(const Page& p, uint8_t row) {
        const unsigned word = row >> 6, bit = row & 63u;
        uint32_t n = p.before;
        for (unsigned w = 0; w < word; ++w) n += popcount(p.bits[w]);
        return n + (bit == 0 ? 0 : popcount(p.bits[word] & ((uint64_t{1} << bit) - 1)));
    }
    // The row's number in page order; nothing when no live row is there.
    std::optional<uint32_t> rank(RowPtr r) const {
        const Page* p = find(r.page);
        if (!p || !has(*p, r.row)) return std::nullopt;
        return rank(*p, r.row);
    }
    bool contains(RowPtr r) const {
        const Page* p = find(r.page);
        return p && has(*p, r.row);
    }
    // Calls f(number, Page&) for each page, in page order.
    template <typename F>
    void forEachPage(F&& f) {
        for (std::size_t i = 0; i < pages_.size(); ++i) f(pages_[i], *find(pages_[i]));
    }
    // Calls f(RowPtr) for each live slot, in page order.
    template <typename F>
    void forEach(F&& f) const {
        for (uint32_t page : pages_) {
            const Bits& b = find(page)->bits;
            for (unsigned w = 0; w < 4; ++w) {
                for (uint64_t word = b[w]; word != 0; word &= word - 1) {
                    f(RowPtr{page, static_cast<uint8_t>(
                                       w * 64 + static_cast<unsigned>(__builtin_ctzll(word)))});
                }
            }
        }
    }

  private:
    static uint32_t popcount(uint64_t v) {
        // Without a popcount instruction to count on, a few shifts and masks.
        v = v - ((v >> 1) & 0x5555555555555555ull);
        v = (v & 0x3333333333333333ull) + ((v >> 2) & 0x3333333333333333ull);
        v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0Full;
        return static_cast<uint32_t>((v * 0x0101010101010101ull) >> 56);
    }

    std::vector<uint32_t> pages_;  // ascending once finished
    std::vector<Bits> adding_;     // bits of each page, until finished
    // Each page's lookup: by page - lo_ over the whole range when the pages
    // lie close together (empty entries between), else beside pages_.
    LargeArray<Page> info_;
    bool dense_ = false;
    uint32_t lo_ = 0;
    uint64_t count_ = 0;
};

}  // namespace jet
