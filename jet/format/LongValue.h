// Long values (Memo, OLE). The column's variable slot holds a 12-byte header:
//
//   0  4  length in bits 0-29; bits 30-31: 0x80 inline, 0x40 one LVAL row, 0x00 chain
//   4  4  row pointer to the first LVAL row (0 for inline)
//   8  4  tag (0, or an opaque link repeated in the LVAL page header)
//   12 .. the value itself, for inline values
//
// LVAL pages are data pages owned by "LVAL". A chain row is a 4-byte row
// pointer to the next chunk (0 = last) followed by the chunk.
#pragma once

#include <cstdint>
#include <vector>

#include "format/Bytes.h"
#include "util/FunctionRef.h"

namespace jet {

class PageFile;

inline constexpr std::size_t kLongValueHeaderSize = 12;
inline constexpr uint8_t kLvInline = 0x80;
inline constexpr uint8_t kLvSingle = 0x40;
inline constexpr uint8_t kLvChain = 0x00;

struct LongValueRef {
    uint32_t length = 0;
    uint8_t kind = 0;
    RowPtr first;
};

LongValueRef parseLongValueHeader(ByteView slot, uint32_t page, int row);

// Reads the whole value. visit, when given, is told each LVAL row the value
// uses (for reachability checks).
Bytes readLongValue(PageFile& file, ByteView slot, uint32_t page, int row,
                    FunctionRef<void(RowPtr)> visit = {});
// The same into a caller's buffer, which it replaces.
void readLongValueInto(PageFile& file, ByteView slot, uint32_t page, int row, Bytes& out,
                       FunctionRef<void(RowPtr)> visit = {});
// The same appended to a caller's buffer.
void appendLongValue(PageFile& file, ByteView slot, uint32_t page, int row, Bytes& out,
                     FunctionRef<void(RowPtr)> visit = {});

}  // namespace jet
