// Builds data pages (table rows, long-value rows, usage-map rows): rows are
// packed downward from the end of the page in slot order, with no deleted
// slots and no flags.
#pragma once

#include <cstdint>
#include <vector>

#include "jet/Bytes.h"
#include "jet/Page.h"

namespace jet {

inline constexpr std::size_t kMaxRowSize = kPageSize - 14 - 2;  // one row alone on a page

class DataPageBuilder {
  public:
    explicit DataPageBuilder(uint32_t owner) : owner_(owner) {}
    // Room for a row of n bytes (with its slot)?
    bool fits(std::size_t n) const { return rows_.size() < 255 && used_ + n + 2 <= kPageSize; }
    std::size_t freeSpace() const { return kPageSize - used_; }
    // Adds a row; returns its slot number.
    uint8_t add(Bytes row, uint16_t flags = 0) {
        used_ += row.size() + 2;
        rows_.push_back(std::move(row));
        flags_.push_back(flags);
        return static_cast<uint8_t>(rows_.size() - 1);
    }
    Bytes& row(std::size_t i) { return rows_[i]; }
    std::size_t rowCount() const { return rows_.size(); }
    bool empty() const { return rows_.empty(); }
    Page build() const;
    void clear() {
        rows_.clear();
        flags_.clear();
        used_ = 14;
    }

  private:
    uint32_t owner_;
    std::vector<Bytes> rows_;
    std::vector<uint16_t> flags_;  // deleted rows carry 0xC000, as the engine leaves them
    std::size_t used_ = 14;
};

}  // namespace jet
