// Data pages: table rows, long-value rows and usage-map rows.
//
//   0   1   01
//   1   1   01
//   2   2   free space = 4096 - 14 - 2n - sum of row lengths
//   4   4   owner: table definition page, "LVAL", 0 (usage maps) or 1 (page 1)
//   8   4   0 (a tag on some long-value pages)
//   12  2   number of row slots n
//   14  2n  row offsets: bits 0-12 offset, 0x4000 overflow pointer, 0x8000 deleted
// Row i occupies [offset(i), offset(i-1)) with offset(-1) = 4096.
#pragma once

#include <cstdint>
#include <vector>

#include "format/Bytes.h"
#include "format/Page.h"

namespace jet {

inline constexpr uint32_t kOwnerLval = 0x4C41564C;  // "LVAL" read as u32
inline constexpr uint16_t kSlotDeleted = 0x8000;
inline constexpr uint16_t kSlotOverflow = 0x4000;
inline constexpr std::size_t kDataHeaderSize = 14;
inline constexpr std::size_t kMaxRowsPerPage = 255;

struct Slot {
    uint16_t start;
    uint16_t end;
    bool deleted;
    bool overflow;
    uint16_t length() const { return static_cast<uint16_t>(end - start); }
};

// The slots of one page, held in place: pages are parsed for every row and
// long value read, so parsing one must not allocate.
class SlotList {
  public:
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    const Slot& operator[](std::size_t i) const { return slots_[i]; }
    Slot& operator[](std::size_t i) { return slots_[i]; }
    const Slot* begin() const { return slots_; }
    const Slot* end() const { return slots_ + count_; }
    const Slot* data() const { return slots_; }
    void resize(std::size_t n) { count_ = static_cast<uint16_t>(n); }

  private:
    uint16_t count_ = 0;
    Slot slots_[256];
};

struct DataPage {
    uint32_t number = 0;
    uint32_t owner = 0;
    SlotList slots;
};

// Whether a page is a data page of the table whose definition is at owner
// (a usage map may list pages that are not, or no longer, the table's).
inline bool isDataPageOf(const Page& page, uint32_t owner) {
    return page[0] == kPageData && u32(page, 4) == owner;
}

// Parses the header and slot table. Live rows with impossible extents are
// damage; deleted rows with impossible extents are given zero length.
DataPage parseDataPage(const Page& page, uint32_t number);

// The bytes of a row slot, live or deleted (what a deleted slot means is the
// caller's to decide); damage when the slot is missing.
ByteView rowBytes(const Page& page, const DataPage& dp, uint8_t row, const char* what);

}  // namespace jet
