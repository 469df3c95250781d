// Reading a damaged table without trusting what is damaged.
//
// Its data pages are those its usage map lists that are its own, a listed
// page whose type or owner field is damaged when its rows read as the
// table's and no other table lists it, and pages found by reading the whole file
// that name the table as owner but are missing from its map, where the
// table's other evidence (its free-space map, its indexes, the rows its
// definition counts) says they hold its rows. Rows are read through the
// offset table (a damaged offset found again between its neighbours);
// deleted rows stay deleted; a row that does not read is dropped; overflow
// rows and long values are followed where intact, and a long value that
// cannot be followed becomes null, the row kept. Every drop and change is
// an issue, with the row's bytes as found. Then each index's keys are made
// from the rows; a row whose key repeats a kept row's in a unique index is
// dropped, the first kept.
//
// The work is a pipeline (SalvagePhases.h): the indexes' evidence, the
// pages, the rows, the keys, each phase a function of the last ones'
// results, with one ledger of issues and counts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "format/Bytes.h"
#include "format/IndexPage.h"
#include "format/PageFile.h"
#include "format/TableDef.h"
#include "jet/RepairCounts.h"
#include "salvage/PageClaim.h"
#include "salvage/SalvageLedger.h"
#include "salvage/SalvagePhases.h"

namespace jet {

class TableSalvage {
  public:
    TableSalvage(const SalvageContext& ctx, const TableDef& def)
        : ctx_(ctx), def_(def), ledger_(def.firstPage, def.rowCount) {}

    // Finds the pages and rows, makes the keys, drops clashing rows.
    void run();

    const std::vector<SalvageIssue>& issues() const { return ledger_.issues(); }
    // The rows kept, in the order they are written: by primary key where
    // there is one, else as found.
    const std::vector<KeptRow>& rows() const { return keyed_.rows; }
    // Real index i's entries: keys in key order, each with its row's slot.
    PackedEntries& entries(std::size_t i) { return keyed_.entries[i]; }
    // The bytes of a kept row as it is copied; valid until the next call.
    ByteView rowBytes(const KeptRow& r, PageRef& holder, Bytes& scratch) const {
        return harvested_.bytes(ctx_.file, def_, r, holder, scratch);
    }

    const std::vector<uint32_t>& pages() const { return chosen_.pages; }
    uint64_t rowsDropped() const { return ledger_.rowsFound() - keyed_.rows.size(); }
    uint64_t rowsMissing() const { return ledger_.rowsMissing(); }
    // The definition the copy takes where an index was keyed anew in the
    // General order (its text columns declared so); null otherwise.
    const TableDef* reordered() const { return keyed_.general.get(); }
    bool indexReordered(std::size_t i) const { return keyed_.general && keyed_.rekeyed[i]; }
    // What it keeps, drops and changes, in the terms every report of a
    // repair uses.
    RepairCounts counts() const { return ledger_.counts(keyed_.rows.size()); }

  private:
    const SalvageContext& ctx_;
    const TableDef& def_;
    SalvageLedger ledger_;
    ChosenPages chosen_;
    HarvestedRows harvested_;
    KeyedRows keyed_;
};

}  // namespace jet
