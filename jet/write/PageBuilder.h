// Builds data pages (table rows, long-value rows, usage-map rows): rows are
// packed downward from the end of the page in slot order, with no deleted
// slots and no flags.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "format/Bytes.h"
#include "format/Page.h"

namespace jet {

inline constexpr std::size_t kMaxRowSize = kPageSize - 14 - 2;  // one row alone on a page

class DataPageBuilder {
  public:
    explicit DataPageBuilder(uint32_t owner) : owner_(owner) {}
    // Room for a row of n bytes (with its slot)?
    bool fits(std::size_t n) const { return count_ < 255 && used_ + n + 2 <= kPageSize; }
    std::size_t freeSpace() const { return kPageSize - used_; }
    // Adds a row (copied into the page at once); returns its slot number.
    uint8_t add(ByteView row, uint16_t flags = 0) {
        end_ -= row.size();
        std::copy(row.begin(), row.end(), page_.begin() + static_cast<std::ptrdiff_t>(end_));
        put16(page_.data() + 14 + 2 * count_, static_cast<uint16_t>(end_ | flags));
        used_ += row.size() + 2;
        return static_cast<uint8_t>(count_++);
    }
    // The bytes of row i, which may still be changed.
    std::span<uint8_t> row(std::size_t i) {
        const std::size_t start = u16(page_, 14 + 2 * i) & 0x1FFFu;
        const std::size_t stop = i == 0 ? kPageSize : u16(page_, 14 + 2 * (i - 1)) & 0x1FFFu;
        return std::span<uint8_t>(page_.data() + start, stop - start);
    }
    std::size_t rowCount() const { return count_; }
    bool empty() const { return count_ == 0; }
    // The finished page, valid until the next change.
    const Page& build();
    // Nothing is zeroed here: rows and slots overwrite what they need, and
    // build() sets the header and zeroes the gap between them.
    void clear() {
        count_ = 0;
        end_ = kPageSize;
        used_ = 14;
    }

  private:
    uint32_t owner_;
    Page page_{};  // rows packed from the end, slots from the header on
    std::size_t count_ = 0;
    std::size_t end_ = kPageSize;
    std::size_t used_ = 14;
};

}  // namespace jet
