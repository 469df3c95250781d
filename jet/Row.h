// Row layout (Jet 4):
//
//   ncols (u16) | fixed area | variable data | eod (u16) |
//   variable offsets, reversed (u16 × nvar) | nvar (u16) | null mask
//
// The null mask holds one bit per column number (1 = not null; Yes/No values
// live there and nowhere else). Tables with no variable slots have no eod,
// offsets or nvar. Offsets are relative to the row start.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "jet/Bytes.h"
#include "jet/TableDef.h"

namespace jet {

struct RowView {
    ByteView bytes;
    uint16_t ncols = 0;
    std::size_t maskOffset = 0;  // start of the null mask
    std::size_t fixedEnd = 0;    // end of the fixed area (start of variable data)
    // [start, end) of each variable slot; size() is the row's nvar.
    std::vector<std::pair<uint16_t, uint16_t>> varSlots;

    bool notNull(uint16_t columnNumber) const;
};

// Cracks a row of the table; damage reports the page and row given.
RowView crackRow(const TableDef& def, ByteView row, uint32_t page, int rowNumber);

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
