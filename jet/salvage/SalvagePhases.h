// The salvage of a table as a pipeline, each phase a function of what the
// phases before it found: the indexes' evidence (IndexEvidence.h), then the
// pages chosen, the rows harvested from them, and the rows keyed. Every
// issue and count goes to the one ledger; each phase's working sets are its
// own.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "format/Bytes.h"
#include "format/IndexPage.h"
#include "format/PageFile.h"
#include "format/TableDef.h"
#include "salvage/IndexEvidence.h"
#include "salvage/PageClaim.h"
#include "salvage/SalvageLedger.h"

namespace jet {

// The pages whose rows are the table's.
struct ChosenPages {
    std::vector<uint32_t> pages;  // ascending
    // Of those, pages another table's map lists, with that table.
    std::vector<std::pair<uint32_t, uint32_t>> returned;
    bool contains(uint32_t page) const;
};

// The listed pages that are its own or whose header alone is damaged, and
// the pages that name it which its map leaves out where its other evidence
// says they hold its rows; the rest are lost, foreign or old copies.
ChosenPages choosePages(const SalvageContext& ctx, const TableDef& def,
                        const IndexEvidence& evidence, SalvageLedger& ledger);

// A row the salvage keeps.
struct KeptRow {
    RowPtr slot;                  // where it was found: what index entries point to
    RowPtr data;                  // the slot whose bytes it is (another for an overflow row)
    uint16_t start = 0, end = 0;  // its bytes on data.page
    uint32_t nulled = 0;          // 0, or 1 + the number of its list of columns set to null
};

// The rows the chosen pages hold that read, by slot.
struct HarvestedRows {
    std::vector<KeptRow> rows;
    std::vector<std::vector<uint16_t>> nulledColumns;
    // The index in rows of the row found at slot (rows.size() if none).
    std::size_t at(RowPtr slot) const;
    // The bytes of a kept row as it is copied; valid until the next call.
    ByteView bytes(PageFile& file, const TableDef& def, const KeptRow& r, PageRef& holder,
                   Bytes& scratch) const;
};

// Reads the rows through the offset tables, follows overflow pointers and
// long values, brings back rows flagged deleted that an index still lists,
// and takes rows overflow pointers led to that no pointer reaches now.
HarvestedRows harvestRows(const SalvageContext& ctx, const TableDef& def,
                          const IndexEvidence& evidence, const ChosenPages& chosen,
                          SalvageLedger& ledger);

// The rows with their keys, as they are written.
struct KeyedRows {
    // By primary key where there is one, else as found.
    std::vector<KeptRow> rows;
    // Real index i's entries: keys in key order, each with its row's slot.
    std::vector<PackedEntries> entries;
    // The definition with columns declared General where an index had to
    // be keyed anew in that order (null: no index had), and those indexes.
    std::unique_ptr<TableDef> general;
    std::vector<bool> rekeyed;
};

// Makes each index's keys from the rows (from the evidence where the
// values cannot give one), drops rows that clash on a unique index (the
// first found stays) and puts the rows in their order.
KeyedRows keyRows(const SalvageContext& ctx, const TableDef& def, const IndexEvidence& evidence,
                  const HarvestedRows& harvested, SalvageLedger& ledger);

}  // namespace jet
