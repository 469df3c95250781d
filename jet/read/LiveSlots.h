// The live rows of a table, page by page: a bitmap of each page's slots and
// the number of rows on the pages before it. Each row then has a number, its
// place in page order, and no list of the rows is needed: memory goes with
// the pages (about 40 bytes each), not with the rows.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "format/Bytes.h"
#include "format/DataPage.h"

namespace jet {

class LiveSlots {
  public:
    using Bits = std::array<uint64_t, 4>;  // a bit for each of a page's 256 slots

    void clear();
    // The live (not deleted) slots of a page, or the slots given; each page
    // once, in any order. A page with no live slot may be left out.
    void addPage(uint32_t page, const DataPage& dp);
    void addPage(uint32_t page, const Bits& live);
    // Numbers the rows and builds the lookup, once every page is added.
    void finish();

    uint64_t count() const { return count_; }
    std::size_t pages() const { return pages_.size(); }
    // The row's number in page order; nothing when no live row is there.
    std::optional<uint32_t> rank(RowPtr r) const {
        const std::optional<std::size_t> i = pageIndex(r.page);
        if (!i) return std::nullopt;
        const Bits& b = bits_[*i];
        const unsigned word = r.row >> 6, bit = r.row & 63u;
        if (((b[word] >> bit) & 1u) == 0) return std::nullopt;
        uint32_t n = before_[*i];
        for (unsigned w = 0; w < word; ++w) n += static_cast<uint32_t>(__builtin_popcountll(b[w]));
        const uint64_t below = bit == 0 ? 0 : b[word] & ((uint64_t{1} << bit) - 1);
        return n + static_cast<uint32_t>(__builtin_popcountll(below));
    }
    bool contains(RowPtr r) const { return rank(r).has_value(); }
    // Where a page's bits are among the pages (for a bitmap of the same
    // shape); nothing for a page not added.
    std::optional<std::size_t> pageIndex(uint32_t page) const {
        if (dense_) {
            if (page < lo_ || page - lo_ >= index_.size() || index_[page - lo_] == 0)
                return std::nullopt;
            return index_[page - lo_] - 1;
        }
        auto it = std::lower_bound(pages_.begin(), pages_.end(), page);
        if (it == pages_.end() || *it != page) return std::nullopt;
        return static_cast<std::size_t>(it - pages_.begin());
    }
    // Calls f(RowPtr) for each live slot, in page order.
    template <typename F>
    void forEach(F&& f) const {
        for (std::size_t i = 0; i < pages_.size(); ++i) {
            for (unsigned w = 0; w < 4; ++w) {
                for (uint64_t word = bits_[i][w]; word != 0; word &= word - 1) {
                    f(RowPtr{pages_[i], static_cast<uint8_t>(w * 64 + static_cast<unsigned>(
                                                                          __builtin_ctzll(word)))});
                }
            }
        }
    }

  private:
    std::vector<uint32_t> pages_;  // ascending
    std::vector<Bits> bits_;
    std::vector<uint32_t> before_;  // live rows on the pages before
    uint64_t count_ = 0;
    // A page's place: straight from its number when the pages lie close
    // together, else by binary search.
    bool dense_ = false;
    uint32_t lo_ = 0;
    std::vector<uint32_t> index_;  // place + 1, 0 for none
};

}  // namespace jet
