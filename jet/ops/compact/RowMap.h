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
#include "os/LargeArray.h"
#include "os/SpillFile.h"
#include "read/LiveSlots.h"

namespace jet {

class WrittenRows;

// The source's side, filled by the reader as it reads the rows.
struct SourceRows {
    LiveSlots live;
    // Rows not written in page order: the place of each in writing order,
    // by its number in page order, in memory or else in a spill file (as
    // 32-bit numbers).
    bool reordered = false;
    LargeArray<uint32_t> order;
    std::unique_ptr<SpillFile> orderFile;
    uint64_t orderMemory = 0;  // bytes of the share of memory the order took

    bool inMemory() const { return !orderFile; }
    // Once the rows are written, the lookup of where each went: for rows
    // written in page order, each page notes where in the written pages its
    // first row went, where a lookup starts; an order in memory becomes the
    // new slot of each row (as RowPtr::toU32), one lookup away.
    void noteWritten(const WrittenRows& written);
};

// The copy's side, filled by the copier: the pages the rows went to, in
// writing order.
class WrittenRows {
  public:
    void clear() {
        pages_.clear();
        buckets_.clear();
        count_ = 0;
    }
    // The next row in writing order went to at.
    void wrote(RowPtr at) {
        if (pages_.empty() || pages_.back().page != at.page) pages_.push_back({count_, at.page});
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
            if (pages_[mid].first <= place)
                lo = mid;
            else
                hi = mid;
        }
        return {pages_[lo].page, static_cast<uint8_t>(place - pages_[lo].first)};
    }
    // The same, looked for from the written page `from` on (at or before
    // the one that holds it).
    RowPtr at(uint32_t place, std::size_t from) const {
        while (from + 1 < pages_.size() && pages_[from + 1].first <= place) ++from;
        return {pages_[from].page, static_cast<uint8_t>(place - pages_[from].first)};
    }
    // Where the lookup from that written page on starts (to fetch ahead).
    const void* where(std::size_t from) const {
        return from < pages_.size() ? &pages_[from] : pages_.data();
    }
    // The written page that holds the row at this place.
    std::size_t pageOf(uint32_t place, std::size_t from) const {
        while (from + 1 < pages_.size() && pages_[from + 1].first <= place) ++from;
        return from;
    }

  private:
    static constexpr unsigned kBucketShift = 8;
    struct Written {
        uint32_t first;  // place of its first row
        uint32_t page;
    };
    std::vector<Written> pages_;     // in order
    std::vector<uint32_t> buckets_;  // page holding place b << kBucketShift
    uint32_t count_ = 0;
};

inline void WrittenRows::finish() {
    buckets_.clear();
    std::size_t page = 0;
    for (uint64_t place = 0; place <= count_; place += uint64_t{1} << kBucketShift) {
        page = pageOf(static_cast<uint32_t>(place), page);
        buckets_.push_back(static_cast<uint32_t>(page));
    }
    buckets_.push_back(static_cast<uint32_t>(pages_.empty() ? 0 : pages_.size() - 1));
}

inline void SourceRows::noteWritten(const WrittenRows& written) {
    if (reordered) {
        for (uint32_t& o : order) o = written.at(o).toU32();
        return;
    }
    if (written.count() == 0) return;
    std::size_t from = 0;
    live.forEachPage([&](uint32_t, LiveSlots::Page& p) {
        from = written.pageOf(p.before, from);
        p.note = static_cast<uint32_t>(from);
    });
}

}  // namespace jet
