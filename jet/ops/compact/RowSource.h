// Where a table's rows come from when the compaction does not copy them as
// the source holds them: a table the repair salvaged, one it adds rows to,
// or one it adds to the copy.
#pragma once

#include <cstdint>

#include "format/Bytes.h"
#include "format/IndexPage.h"
#include "util/FunctionRef.h"

namespace jet {

class RowSource {
  public:
    virtual ~RowSource() = default;
    // Hands each row, in the order it is written, to take(slot, at, bytes):
    // slot is what the entries below point to, at where its bytes were
    // found. Stops, and gives false, when take gives false. Runs on the
    // compaction's reader thread, reading through the source's handle.
    virtual bool rows(FunctionRef<bool(RowPtr slot, RowPtr at, ByteView bytes)> take) = 0;
    // Real index i's entries, keys in key order, each with its row's slot.
    virtual PackedEntries entries(std::size_t index) = 0;
    // Pages the table's rows, long values and indexes take, about.
    virtual uint64_t pageEstimate() const = 0;
};

}  // namespace jet
