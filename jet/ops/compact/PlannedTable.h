// What a caller that chooses the tables of a copy (the repair) hands the
// compaction: each table, where its rows come from, and the tables that are
// gone.
#pragma once

#include <cstdint>
#include <vector>

#include "ops/compact/RowSource.h"
#include "read/Database.h"

namespace jet {

// A table the caller chose to copy, instead of those the catalogue lists.
struct PlannedTable {
    CatalogEntry entry;
    const TableDef* def = nullptr;
    RowSource* source = nullptr;  // none: copied as the source holds it
    bool fresh = false;           // not in the source: every usage map is made for it
};

// The tables of a copy, when a caller chooses them: tables whose Ids are
// gone lose them (set to 0) where other tables refer to them.
struct ChosenTables {
    std::vector<PlannedTable> tables;
    std::vector<uint32_t> gone;
};

}  // namespace jet
