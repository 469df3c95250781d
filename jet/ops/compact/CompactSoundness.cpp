// Where the compaction's reader stops because the source may lose rows to
// a plain reading: it never passes over what it cannot account for, and a
// repair then reads the table with the salvage reader.
#include <algorithm>

#include "format/DataPage.h"
#include "format/Row.h"
#include "ops/compact/CopyReader.h"
#include "salvage/SalvagePage.h"

namespace jet {

const std::map<uint32_t, std::vector<uint32_t>>& CopyReader::ownedMaps() {
    if (!ownedMaps_) {
        std::vector<const TableDef*> defs;
        for (const auto& t : plan_.tables) defs.push_back(t.def);
        ownedMaps_ =
            std::make_unique<std::map<uint32_t, std::vector<uint32_t>>>(readOwnedMaps(file_, defs));
    }
    return *ownedMaps_;
}

// A page the map lists that is not the table's: stale when another table
// owns and lists it, else the rows the table kept there are not reached.
void CopyReader::refuseLostPage(const TableDef& def, uint32_t page, const Page& bytes) {
    if (bytes[0] == kPageData) {
        const auto& maps = ownedMaps();
        auto other = maps.find(u32(bytes, 4));
        if (other != maps.end() && other->first != def.firstPage &&
            std::binary_search(other->second.begin(), other->second.end(), page))
            return;
    }
    failDamage(damagedTable(def),
               ": its owned-pages map lists page " + std::to_string(page) +
                   ", which is not one of its data pages",
               page);
}

// Fewer rows than the definition counts, in a table no index lists whole:
// pages naming the table outside its map may hold the rest.
void CopyReader::refuseIfPagesMissing(const TableDef& def, const std::vector<uint32_t>& mapPages,
                                      uint64_t rows) {
    for (const auto& ri : def.realIndexes) {
        if (!ri.ignoreNulls()) return;  // that index lists every row, and was checked
    }
    if (!census_) census_ = std::make_unique<PageCensus>(PageCensus::take(file_));
    if (pagesMayBeMissing(*census_, def, mapPages, rows)) {
        failDamage(damagedTable(def),
                   ": its definition counts " + std::to_string(def.rowCount) +
                       " rows, its pages hold " + std::to_string(rows) +
                       ", and pages naming it lie outside its map",
                   def.firstPage);
    }
}

// Two overflow pointers that lead to one row: a plain reading would copy it
// twice, and lose whatever row the other pointer's was.
void CopyReader::refuseSharedTargets(const TableDef& def) {
    std::sort(overflowTargets_.begin(), overflowTargets_.end());
    auto twice = std::adjacent_find(overflowTargets_.begin(), overflowTargets_.end());
    if (twice == overflowTargets_.end()) return;
    const RowPtr at = RowPtr::fromU32(*twice);
    failDamage(damagedTable(def), ": two overflow pointers lead to one row", at.page, at.row);
}

void CopyReader::refuseTorn(const TableDef& def, const Page& page, ByteView row, RowPtr at) {
    const std::size_t start = static_cast<std::size_t>(row.data() - page.data());
    if (!mayLieOnZeroSector(page, start, start + row.size())) return;
    RowView rv;
    if (tryCrackRow(def, row, rv) != nullptr) return;  // the row's own reading says so
    const int sector = tornSectorUnder(page, def, rv, start, start + row.size());
    if (sector >= 0) {
        failDamage(damagedTable(def),
                   ": part of the row lies in bytes " + std::to_string(sector * 512) + "-" +
                       std::to_string(sector * 512 + 511) +
                       " of its page, which read as zeros (a write cut short)",
                   at.page, at.row);
    }
}

}  // namespace jet
