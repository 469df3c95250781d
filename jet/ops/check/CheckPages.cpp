// Checking which pages are a table's: the pages its owned map lists that
// are not its data pages, the data pages naming it that the map leaves out
// (with every page of the file known), and what a compaction would do
// with a damaged table.
#include <algorithm>
#include <bit>

#include "format/DataPage.h"
#include "ops/check/TableChecker.h"
#include "salvage/TableSalvage.h"

namespace jet {

namespace {

bool contains(const std::vector<uint32_t>& sorted, uint32_t v) {
    return std::binary_search(sorted.begin(), sorted.end(), v);
}

std::string rows(uint64_t n) { return std::to_string(n) + (n == 1 ? " row" : " rows"); }

}  // namespace

std::vector<uint32_t> TableChecker::ownDataPages(const TableDef& def,
                                                    const std::vector<uint32_t>& listed,
                                                    const std::vector<uint32_t>& seen) {
    const std::string where = "table '" + def.name + "'";
    std::vector<uint32_t> own;
    for (uint32_t p : listed) {
        if (contains(seen, p)) {
            own.push_back(p);
            continue;
        }
        auto page = db_.file().page(p);
        if (isDataPageOf(*page, def.firstPage)) {
            own.push_back(p);
            continue;
        }
        const uint8_t type = (*page)[0];
        const uint32_t owner = type == kPageData ? u32(*page, 4) : 0;
        if (type == kPageData && facts_) {
            auto other = facts_->listed.find(owner);
            if (other != facts_->listed.end() && contains(other->second, p)) {
                note(where + ": owned-pages map lists page " + std::to_string(p) +
                     ", which the table at page " + std::to_string(owner) +
                     " owns and lists (stale; nothing is lost)");
                continue;
            }
        }
        std::string found =
            type == kPageData
                ? "a data page whose owner field names page " + std::to_string(owner)
                : "a page of type " + std::to_string(type) + (type == 0 ? " (zeroed?)" : "");
        Remedy remedy = Remedy::kPagesFound;
        if (facts_ && facts_->census) {
            // What a repair makes of it, as the salvage of every table decides.
            const PageClaim claim = claimListed(facts_->salvage(db_.file()), def.firstPage, p);
            if (claim.kind == PageClaim::Kind::kReturned) {
                auto other = facts_->byPage.find(claim.table);
                found += " (table '" + other->second->name +
                         "', whose rows it holds, though that table's map does not list it)";
                remedy = Remedy::kPageReturned;
            } else if (claim.kind == PageClaim::Kind::kRepaired) {
                remedy = Remedy::kOwnerRepaired;
            } else if (type == kPageData && offsetsSound(*page)) {
                found += ", no table of this file, holding rows that are no table's";
                remedy = Remedy::kForeign;
            }
        } else if (type == kPageData && std::popcount(owner ^ def.firstPage) == 1) {
            remedy = Remedy::kOwnerRepaired;
        }
        problem(where + ": its owned-pages map lists page " + std::to_string(p) + ", which is " +
                    found + ": the rows the table kept there cannot be reached",
                remedy, p);
    }
    return own;
}

void TableChecker::checkUnlisted(const TableDef& def, const std::vector<uint32_t>& listed,
                                    bool mapLost) {
    bool any = false;
    const PageCensus& census = *facts_->census;
    for (uint32_t p : census.dataPagesOf(def.firstPage)) {
        if (!contains(listed, p) && census[p].liveRows > 0) any = true;
    }
    if (!any) return;
    const SalvageContext ctx = facts_->salvage(db_.file());
    TableSalvage s(ctx, def);  // it keeps ctx by reference
    s.run();
    const std::string where = "table '" + def.name + "'";
    for (uint32_t p : s.pages()) {
        if (contains(listed, p) || census[p].owner != def.firstPage) continue;
        problem(where + ": page " + std::to_string(p) + " holds " + rows(census[p].liveRows) +
                    " of the table, but " +
                    (mapLost ? "its owned-pages map cannot be read"
                             : "its owned-pages map does not list it"),
                Remedy::kUnlistedTaken, p);
    }
    std::vector<uint32_t> leftOut;
    for (const auto& i : s.issues()) {
        if (i.kind == SalvageIssue::Kind::kRowLeftOut &&
            (leftOut.empty() || leftOut.back() != i.at.page))
            leftOut.push_back(i.at.page);
    }
    for (uint32_t p : leftOut) {
        note(where + ": page " + std::to_string(p) +
             " names the table as owner but is not in its owned-pages map; its " +
             rows(census[p].liveRows) +
             " look like an old copy left behind (the rows the definition counts are found "
             "elsewhere)");
    }
}

RepairCounts TableChecker::describeRepair(const TableDef& def) {
    const SalvageContext ctx = facts_->salvage(db_.file());
    TableSalvage s(ctx, def);  // it keeps ctx by reference
    s.run();
    const RepairCounts n = s.counts();
    std::string text = "table '" + def.name + "': a compaction keeps " + rows(n.rowsKept);
    std::string within;
    if (n.rowsMovedBack > 0)
        within += rows(n.rowsMovedBack) + " moved back from pages another table's map lists";
    if (n.rowsRestored > 0)
        within += (within.empty() ? "" : ", ") + rows(n.rowsRestored) +
                  " brought back that were flagged deleted while an index still lists them";
    if (!within.empty()) text += " (" + within + ")";
    if (n.rowsDropped > 0) text += ", drops " + rows(n.rowsDropped);
    if (n.rowsChanged > 0) text += ", changes " + rows(n.rowsChanged) + " (values set to null)";
    if (n.rowsForeign > 0) text += ", leaves out " + rows(n.rowsForeign) + " that are foreign";
    if (n.deletesKept > 0)
        text += ", keeps " + rows(n.deletesKept) + " deleted that an index lists";
    if (n.countStale)
        text += "; its definition counts " + rows(def.rowCount) + " (a stale count, rewritten)";
    if (!def.realIndexes.empty()) {
        text += "; it rebuilds the table's " + std::to_string(def.realIndexes.size()) +
                (def.realIndexes.size() == 1 ? " index" : " indexes");
        std::size_t general = 0;
        for (std::size_t i = 0; i < def.realIndexes.size(); ++i) general += s.indexReordered(i);
        if (general > 0)
            text += " (" + std::to_string(general) +
                    " in the General sort order, their columns declared so)";
    }
    if (n.rowsDropped + n.rowsChanged + n.rowsMovedBack + n.rowsForeign + n.rowsRestored + n.deletesKept > 0)
        text += "; each of those rows is listed in MSysCompactError";
    result_.repairs.push_back(text);
    return n;
}

}  // namespace jet
