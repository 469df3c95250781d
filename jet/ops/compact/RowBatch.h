// Rows on their way from the compaction's reader to its writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "format/Bytes.h"
#include "format/IndexPage.h"
#include "ops/compact/RowMap.h"
#include "read/RowDigest.h"

namespace jet {

// One row read from the source, ready to be written: its bytes (table Ids
// and SIDs rewritten) and the long values it holds, kept in its batch's
// buffer. A batch's rows and values lie one after another in one buffer,
// so that the copier reads them in order as the reader wrote them.
struct RowJob {
    RowPtr slot;                      // what index entries point to
    RowPtr at;                        // where its bytes are (different for an overflow row)
    uint32_t rowOff = 0, rowLen = 0;  // in the batch's data
    uint32_t firstValue = 0;          // its long values: the batch's values from here
};

struct LongValueExtent {
    uint32_t off = 0, len = 0;  // in the batch's data
    bool active = false;        // the row holds a value
};

// Rows pass from the reader to the copier in batches, in writing order.
struct RowBatch {
    std::size_t table = 0;  // index of the table in the plan
    std::vector<RowJob> rows;
    std::vector<LongValueExtent> values;  // by row, then by long-value column
    Bytes data;
    bool tableEnd = false;               // the table's last rows; its index trees follow
    std::unique_ptr<SourceRows> source;  // with the last rows: where they were read
    TableDigest digest;                  // with the last rows: what the table's rows hold
    // Instead of rows: entries of the table's index (by its number among
    // the real indexes), in the source's order, a part at a time.
    int index = -1;
    bool indexEnd = false;  // the index's last entries
    PackedEntries entries;
    // The reader's pages read when it sent this, as the plan weighs them.
    uint64_t pagesRead = 0;
    std::size_t bytes() const {
        return data.size() + rows.size() * sizeof(RowJob) +
               values.size() * sizeof(LongValueExtent) + entries.keys.size() +
               entries.size() * sizeof(PackedEntries::Entry);
    }
    ByteView row(const RowJob& j) const { return ByteView(data).subspan(j.rowOff, j.rowLen); }
    const LongValueExtent& extent(const RowJob& j, std::size_t k) const {
        return values[j.firstValue + k];
    }
    ByteView value(const RowJob& j, std::size_t k) const {
        const LongValueExtent& e = extent(j, k);
        return ByteView(data).subspan(e.off, e.len);
    }
};

}  // namespace jet
