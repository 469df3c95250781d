// The counts of what a repair did to rows.
#pragma once

#include <cstdint>

namespace jet {

// What a repair did to rows, of one table or of the whole copy: the one set
// of counts the salvage reader keeps, each table's report and the run's
// carry, and jet4 compact and the window's second message say, in the same
// words as MSysCompactError lists them row by row.
struct RepairCounts {
    uint64_t rowsKept = 0;
    // Unreadable, clashing on a unique key, left out as an old copy, or
    // counted by the table's definition but found nowhere where pages or
    // slots were lost (a count that is merely stale loses nothing).
    uint64_t rowsDropped = 0;
    uint64_t rowsChanged = 0;  // kept with a value that could not be read set to null
    // Kept: rows on pages another table's map listed, which are this
    // table's by their owner field and their shape.
    uint64_t rowsMovedBack = 0;
    // Left out: rows on pages this table's map listed that belong to no
    // table of the database (a page of another file written over one of its
    // own). They are no rows of the table, and are listed as foreign.
    uint64_t rowsForeign = 0;
    // Kept: rows flagged deleted that an index still listed (a delete cut
    // short, or a damaged flag). Those whose bytes were gone stay deleted.
    uint64_t rowsRestored = 0;
    uint64_t deletesKept = 0;
    // The definition's count of rows differed from the rows found by more
    // than what was lost: a stale count, rewritten (not a loss).
    bool countStale = false;

    // Rows lost or changed: dropped, set to null, or left out as foreign.
    bool losesRows() const { return rowsDropped != 0 || rowsChanged != 0 || rowsForeign != 0; }
    // Whether the copy's rows differ from what the pages hold: those, and
    // rows moved back or brought back.
    bool rowsDiffer() const { return losesRows() || rowsMovedBack != 0 || rowsRestored != 0; }
    RepairCounts& operator+=(const RepairCounts& o) {
        rowsKept += o.rowsKept;
        rowsDropped += o.rowsDropped;
        rowsChanged += o.rowsChanged;
        rowsMovedBack += o.rowsMovedBack;
        rowsForeign += o.rowsForeign;
        rowsRestored += o.rowsRestored;
        deletesKept += o.deletesKept;
        countStale = countStale || o.countStale;
        return *this;
    }
};

}  // namespace jet
