// Where each row of a table went in the copy, for rebuilding its indexes. A
// row's old slot gives its number in the source's page order (LiveSlots);
// the order the rows were written in gives its place in the copy's order;
// the pages they were written to give its new slot. Memory goes with the
// pages, and for a table not written in page order with its rows (four
// bytes each), kept in a spill file when that is more than its share.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "format/Bytes.h"
#include "os/SpillFile.h"
#include "read/LiveSlots.h"

namespace jet {

// The source's side, filled by the reader as it reads the rows.
struct SourceRows {
    LiveSlots live;
    // Rows not written in page order: the place of each in writing order,
    // by its number in page order, in memory or else in a spill file (as
    // 32-bit numbers).
    bool reordered = false;
    std::vector<uint32_t> order;
    std::unique_ptr<SpillFile> orderFile;
    uint64_t orderMemory = 0;  // bytes of the share of memory the order took

    bool inMemory() const { return !orderFile; }
    // The row's place in writing order (in memory only); nothing when no
    // row was read from there.
    std::optional<uint32_t> place(RowPtr old) const {
        const std::optional<uint32_t> r = live.rank(old);
        if (!r || !reordered) return r;
        return order[*r];
    }
};

// The copy's side, filled by the writer: the pages the rows went to, in
// writing order.
class WrittenRows {
  public:
    void clear() {
        pages_.clear();
        first_.clear();
        buckets_.clear();
        count_ = 0;
    }
    // The next row in writing order went to at.
    void wrote(RowPtr at) {
        if (pages_.empty() || pages_.back() != at.page) {
            pages_.push_back(at.page);
            first_.push_back(count_);
        }
        ++count_;
    }
    uint32_t count() const { return count_; }
    // Builds the lookup, once every row is written.
    void finish();
    // Where the row at this place in writing order went.
    RowPtr at(uint32_t place) const {
        const std::size_t b = place >> kBucketShift;
        std::size_t lo = buckets_[b], hi = buckets_[b + 1] + 1;
        while (hi - lo > 1) {  // the last page whose first row is at or before place
            const std::size_t mid = (lo + hi) / 2;
            if (first_[mid] <= place)
                lo = mid;
            else
                hi = mid;
        }
        return RowPtr{pages_[lo], static_cast<uint8_t>(place - first_[lo])};
    }

  private:
    static constexpr unsigned kBucketShift = 8;
    std::vector<uint32_t> pages_;    // pages written, in order
    std::vector<uint32_t> first_;    // place of the first row on each
    std::vector<uint32_t> buckets_;  // page holding place b << kBucketShift
    uint32_t count_ = 0;
};

inline void WrittenRows::finish() {
    buckets_.clear();
    std::size_t page = 0;
    for (uint64_t place = 0; place <= count_; place += uint64_t{1} << kBucketShift) {
        while (page + 1 < first_.size() && first_[page + 1] <= place) ++page;
        buckets_.push_back(static_cast<uint32_t>(page));
    }
    buckets_.push_back(static_cast<uint32_t>(first_.empty() ? 0 : first_.size() - 1));
}

}  // namespace jet
