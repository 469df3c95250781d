// Row layout (Jet 4):
//
//   ncols (u16) | fixed area | variable data | eod (u16) |
//   variable offsets, reversed (u16 × nvar) | nvar (u16) | null mask
//
// The null mask holds one bit per column number (1 = not null; Yes/No values
// live there and nowhere else). Tables with no variable slots have no eod,
// offsets or nvar. Offsets are relative to the row start.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "format/Bytes.h"
#include "format/TableDef.h"

namespace jet {

// The [start, end) of each variable slot of a row. Most rows have a few:
// those are held in place, so that cracking a row does not allocate.
class VarSlots {
  public:
    using Extent = std::pair<uint16_t, uint16_t>;
    void resize(std::size_t n) {
        if (n > kInline) {
            heap_.resize(n);
        } else {
            heap_.clear();
        }
        size_ = n;
    }
    std::size_t size() const { return size_; }
    Extent& operator[](std::size_t i) { return data()[i]; }
    const Extent& operator[](std::size_t i) const { return data()[i]; }
    const Extent* begin() const { return data(); }
    const Extent* end() const { return data() + size_; }

  private:
    static constexpr std::size_t kInline = 32;
    Extent* data() { return size_ > kInline ? heap_.data() : inline_.data(); }
    const Extent* data() const { return size_ > kInline ? heap_.data() : inline_.data(); }
    std::array<Extent, kInline> inline_{};
    std::vector<Extent> heap_;
    std::size_t size_ = 0;
};

struct RowView {
    ByteView bytes;
    uint16_t ncols = 0;
    std::size_t maskOffset = 0;  // start of the null mask
    std::size_t fixedEnd = 0;    // end of the fixed area (start of variable data)
    // [start, end) of each variable slot; size() is the row's nvar.
    VarSlots varSlots;

    bool notNull(uint16_t columnNumber) const;
};

// Cracks a row of the table; damage reports the page and row given.
RowView crackRow(const TableDef& def, ByteView row, uint32_t page, int rowNumber);
// The same without throwing: what is wrong, or nullptr when the row cracks.
const char* tryCrackRow(const TableDef& def, ByteView row, RowView& out);

// The stored bytes of a column, or nothing when null. Yes/No columns give an
// empty span when set (use boolValue).
std::optional<ByteView> columnBytes(const TableDef& def, const Column& col, const RowView& row,
                                    uint32_t page, int rowNumber);
bool boolValue(const Column& col, const RowView& row);

// Builds a row from its parts, in the same layout crackRow reads.
Bytes buildRow(uint16_t ncols, ByteView fixedArea, const std::vector<Bytes>& varSlots,
               ByteView nullMask, bool hasVarSection);
// The same into a caller's buffer, which it replaces.
void buildRowInto(Bytes& out, uint16_t ncols, ByteView fixedArea,
                  const std::vector<ByteView>& varSlots, ByteView nullMask, bool hasVarSection);

}  // namespace jet
