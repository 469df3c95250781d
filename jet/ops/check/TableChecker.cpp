// A table's check by one worker: its rows and long values, its usage maps,
// and its indexes against its rows; a table by itself, or in steps as its
// file is written.
#include "ops/check/TableChecker.h"

#include <algorithm>

#include "format/DataPage.h"
#include "format/LongValue.h"
#include "format/Row.h"
#include "read/Value.h"
#include "salvage/SalvagePage.h"

namespace jet {

// One table's findings, by themselves.
CheckResult TableChecker::checkOne(const CatalogEntry& t) {
    result_ = CheckResult{};
    attempt("table '" + t.name + "'", Remedy::kTableLost, [&] { checkTable(t); });
    if (!result_.findings.empty() && facts_ && facts_->census) {
        try {
            const RepairCounts n = describeRepair(db_.tableDef(t.tdefPage(), t.name));
            // What each problem's remedy says agrees with what the table loses.
            for (Finding& f : result_.findings) f.tableLosesRows = n.losesRows();
        } catch (const JetException&) {
            // Its definition cannot be read: the problem says it is lost.
        }
    }
    return takeResult(t.tdefPage());
}

CheckResult TableChecker::takeResult(uint32_t table) {
    CheckResult part = std::move(result_);
    result_ = CheckResult{};
    for (Finding& f : part.findings) f.table = table;
    return part;
}

// Takes a table checked early as checked: the pages it reached are
// live, and the maps it was given must be what the file now holds.
CheckResult TableChecker::adopt(const CheckedTable& early, uint32_t table) {
    CheckResult part = early.part;
    for (uint32_t p : early.livePages) reached_.mark(p);
    for (const auto& [at, pages] : early.maps) {
        const RowPtr row = RowPtr::fromU32(at);
        const std::string where = "table '" + early.name + "', usage map at page " +
                                  std::to_string(row.page) + " row " + std::to_string(row.row);
        try {
            UsageMap m = readUsageMap(db_.file(), row, where.c_str());
            reached_.markMap(m);
            if (m.pages != pages)
                jet::problem(part.findings, where + ": lists other pages", Remedy::kMapRebuilt,
                             row.page, row.row);
        } catch (const JetException& e) {
            jet::problem(part.findings, where + ": " + e.error().description, Remedy::kMapRebuilt,
                         e.error().page, e.error().row);
        }
    }
    for (Finding& f : part.findings) f.table = table;
    return part;
}

CheckedTable TableChecker::checkEarly(const CatalogEntry& t) {
    reached_.reset(db_.file().pageCount(), true);
    CheckedTable out;
    out.name = t.name;
    out.part = checkOne(t);
    out.livePages = reached_.takeListed();
    return out;
}

void TableChecker::beginEarly(const CatalogEntry& t, const TableDef& layout) {
    reached_.reset(kMaxPages, true);  // the file grows as it is checked
    result_ = CheckResult{};
    beginRows(t, layout);
}

void TableChecker::rowsEarly(const std::vector<uint32_t>& pages) {
    if (table_.rowsDone) fail(ErrorCode::kVerifyFailed, "rows came after an index was checked");
    checkPages(pages);
}

void TableChecker::indexEarly(std::size_t i, uint32_t root) {
    const TableDef& def = *table_.def;
    if (i >= def.realIndexes.size()) fail(ErrorCode::kVerifyFailed, "no such index");
    rowsDone();
    RealIndex ri = def.realIndexes[i];
    ri.rootPage = root;
    ri.usageMap = {};  // not written yet
    attempt(table_.where + ", index " + std::to_string(i), Remedy::kIndexRebuilt,
            [&] { index_.check(def, ri, i, table_.live, reached_, result_.findings); });
    table_.indexRoots[i] = root;
}

CheckedTable TableChecker::endEarly(const CatalogEntry& t, const TableDef& def) {
    table_.def = &def;
    // Pages its map lists whose rows were not checked yet.
    std::vector<uint32_t> done = table_.pages;
    std::sort(done.begin(), done.end());
    std::vector<uint32_t> rest;
    for (uint32_t p : tableMaps(def)) {
        if (!std::binary_search(done.begin(), done.end(), p)) rest.push_back(p);
    }
    if (!rest.empty() && table_.rowsDone)
        fail(ErrorCode::kVerifyFailed, "table '" + t.name + "': rows came after its indexes");
    checkPages(rest);
    endTable(def);
    CheckedTable out;
    out.name = t.name;
    out.part = takeResult(t.tdefPage());
    out.livePages = reached_.takeListed();
    return out;
}

// A table's usage map: as given, for a table checked before its file's
// maps are written, or as read from the file.
UsageMap TableChecker::tableMap(RowPtr at, const std::string& what) {
    if (options_.givenMaps) {
        auto it = options_.givenMaps->find(at.toU32());
        if (it != options_.givenMaps->end()) {
            UsageMap m;
            m.pages = it->second;
            return m;
        }
    }
    return readUsageMap(db_.file(), at, what.c_str());
}

void TableChecker::checkTable(const CatalogEntry& entry) {
    const TableDef& def = db_.tableDef(entry.tdefPage(), entry.name);
    beginRows(entry, def);
    checkPages(tableMaps(def));
    endTable(def);
}

void TableChecker::beginRows(const CatalogEntry& entry, const TableDef& def) {
    TableState& t = table_;
    t.def = &def;
    t.summary = TableSummary{};
    t.summary.name = entry.name;
    t.summary.definitionPage = def.firstPage;
    t.summary.system = entry.isSystem();
    t.summary.indexes = static_cast<uint32_t>(def.realIndexes.size());
    t.where = "table '" + def.name + "'";
    // Rows and long values; each row also adds what each index should
    // hold for it to that index's tally.
    index_.begin(def);
    t.live.clear();
    t.lvPagesUsed.clear();
    t.digest = &result_.digests[def.firstPage];
    t.digest->layout = layoutDigest(def);
    t.rows = 0;
    t.pages.clear();
    t.seenOwn.clear();
    t.overflowTargets.clear();
    t.listed.clear();
    t.mapLost = true;
    t.rowsDone = false;
    t.indexRoots.assign(def.realIndexes.size(), 0);
    lastLv_ = {0xFFFF, 0};
}

void TableChecker::rowsDone() {
    if (table_.rowsDone) return;
    table_.live.finish();
    table_.rowsDone = true;
}

// Owned and free-space maps; the pages of the owned map that are the
// table's data pages.
std::vector<uint32_t> TableChecker::tableMaps(const TableDef& def) {
    TableState& t = table_;
    const std::string& where = t.where;
    if (def.ownedMap.isNull()) {
        problem(where + ": no owned-pages usage map", Remedy::kPagesFound);
    } else {
        attempt(where + " owned pages", Remedy::kPagesFound, [&] {
            UsageMap om = tableMap(def.ownedMap, where + " owned pages");
            reached_.markMap(om);
            t.listed = std::move(om.pages);
            t.mapLost = false;
        });
    }
    // A table checked as it was written: the pages whose rows were checked
    // were classified then, and are not read again for it.
    std::sort(t.seenOwn.begin(), t.seenOwn.end());
    std::vector<uint32_t> pages = ownDataPages(def, t.listed, t.seenOwn);
    if (!def.freeMap.isNull()) {
        attempt(where + " free-space pages", Remedy::kMapRebuilt, [&] {
            UsageMap fm = tableMap(def.freeMap, where + " free-space pages");
            reached_.markMap(fm);
        });
    }
    return pages;
}

// The rows of these data pages of the table.
void TableChecker::checkPages(const std::vector<uint32_t>& pages) {
    TableState& t = table_;
    const TableDef& def = *t.def;
    for (uint32_t p : pages) {
        t.pages.push_back(p);
        auto page = db_.file().page(p);
        reached_.mark(p);
        if (isDataPageOf(*page, def.firstPage)) t.seenOwn.push_back(p);
        DataPage dp = parseDataPage(*page, p);
        uint64_t used = kDataHeaderSize + 2 * dp.slots.size();
        LiveSlots::Bits passed{};
        for (std::size_t i = 0; i < dp.slots.size(); ++i) {
            const Slot& s = dp.slots[i];
            used += s.length();
            if (s.deleted || s.overflow) result_.deadRowBytes += s.length();
            if (s.deleted) continue;
            RowPtr slot{p, static_cast<uint8_t>(i)};
            attempt(t.where, Remedy::kRowDropped, [&] {
                PageRef holder;
                RowPtr at;
                ByteView b = db_.fetchRow(def, slot, holder, &at);
                if (at != slot) {
                    reached_.mark(at.page);
                    t.overflowTargets.push_back(at.toU32());
                }
                checkRow(def, holder, b, slot, at);
                passed[i >> 6] |= uint64_t{1} << (i & 63u);
                ++t.rows;
            });
        }
        t.live.addPage(p, passed);
        if (used <= kPageSize) result_.freeBytesOnPages += kPageSize - used;
    }
}

void TableChecker::endTable(const TableDef& def) {
    TableState& t = table_;
    for (uint32_t p : def.pages) reached_.mark(p);
    t.summary.rows = t.rows;
    checkOverflowTargets();
    if (facts_ && facts_->census) checkUnlisted(def, t.listed, t.mapLost);
    if (def.rowCount != t.rows) {
        note(t.where + ": definition says " + std::to_string(def.rowCount) +
             " rows, the table holds " + std::to_string(t.rows) + " (page " +
             std::to_string(def.firstPage) + ")");
    }
    checkLongValueMaps(def);
    rowsDone();
    checkIndexes(def);
    result_.tables.push_back(t.summary);
}

// No row is reached by two overflow pointers.
void TableChecker::checkOverflowTargets() {
    std::vector<uint32_t>& targets = table_.overflowTargets;
    std::sort(targets.begin(), targets.end());
    for (auto it = targets.begin(); (it = std::adjacent_find(it, targets.end())) != targets.end();
         ++it) {
        const RowPtr at = RowPtr::fromU32(*it);
        problem(table_.where + ": two overflow pointers lead to the row at page " +
                    std::to_string(at.page) + " row " + std::to_string(at.row),
                Remedy::kRowDropped, at.page, at.row);
    }
}

// Each long-value column's maps, and that its owned map lists every page
// the table's long values were found on.
void TableChecker::checkLongValueMaps(const TableDef& def) {
    const std::string& where = table_.where;
    for (const auto& m : def.longValueMaps) {
        std::vector<uint32_t> lvListed;  // ascending, as maps list their pages
        bool lvMapRead = m.owned.isNull();
        if (!m.owned.isNull()) {
            attempt(where + " long-value pages", Remedy::kMapRebuilt, [&] {
                UsageMap um = tableMap(m.owned, where + " long-value pages");
                reached_.markMap(um);
                lvListed = std::move(um.pages);
                lvMapRead = true;
            });
        }
        if (!m.free.isNull()) {
            attempt(where + " long-value free pages", Remedy::kMapRebuilt,
                    [&] { reached_.markMap(tableMap(m.free, where + " long-value free pages")); });
        }
        std::vector<uint32_t>& used = table_.lvPagesUsed[m.column];
        std::sort(used.begin(), used.end());
        used.erase(std::unique(used.begin(), used.end()), used.end());
        for (uint32_t p : used) {
            if (lvMapRead && !std::binary_search(lvListed.begin(), lvListed.end(), p)) {
                problem(where + ": long-value page " + std::to_string(p) + " of column " +
                            std::to_string(m.column) + " is missing from the column's usage map",
                        Remedy::kMapRebuilt, p);
            }
        }
    }
}

// Each index against the rows, once every row is counted; an index checked
// as soon as it was written only for its usage map.
void TableChecker::checkIndexes(const TableDef& def) {
    for (std::size_t i = 0; i < def.realIndexes.size(); ++i) {
        const RealIndex& ri = def.realIndexes[i];
        const std::string whereIndex = table_.where + ", index " + std::to_string(i);
        const bool checkedEarly = table_.indexRoots[i] != 0 && table_.indexRoots[i] == ri.rootPage;
        attempt(whereIndex, Remedy::kIndexRebuilt, [&] {
            if (!ri.usageMap.isNull())
                reached_.markMap(tableMap(ri.usageMap, whereIndex + " pages"));
            if (!checkedEarly) index_.check(def, ri, i, table_.live, reached_, result_.findings);
        });
    }
}

// Every value decodes within bounds; long values are read whole. The
// same pass adds the row to the table's digest and its indexes' tallies.
void TableChecker::checkRow(const TableDef& def, const PageRef& page, ByteView bytes,
                            RowPtr rowSlot, RowPtr at) {
    RowView rv = crackRow(def, bytes, at.page, at.row);
    const std::size_t start = static_cast<std::size_t>(bytes.data() - page->data());
    const int torn = tornSectorUnder(*page, def, rv, start, start + bytes.size());
    if (torn >= 0) {
        failDamage(damagedTable(def),
                   ": part of the row lies in bytes " + std::to_string(torn * 512) + "-" +
                       std::to_string(torn * 512 + 511) +
                       " of its page, which read as zeros (a write cut short)",
                   at.page, at.row);
    }
    table_.digest->add(rowDigest(def, rv, at.page, at.row, [&](const Column& c, ByteView slot) {
        auto& used = table_.lvPagesUsed[c.number];
        try {
            readLongValueInto(db_.file(), slot, at.page, at.row, longValue_, [&](RowPtr lv) {
                if (lastLv_ != std::make_pair(c.number, lv.page)) {
                    reached_.mark(lv.page);
                    used.push_back(lv.page);
                    lastLv_ = {c.number, lv.page};
                }
            });
        } catch (const JetException& e) {
            problem("table '" + def.name + "', column '" + c.name + "': " + e.error().description,
                    Remedy::kValueNulled, at.page, at.row);
            longValue_.clear();
        }
        return ByteView(longValue_);
    }));
    for (const auto& c : def.columns) {
        if (c.isBool() || c.isLongValue()) continue;
        auto b = columnBytes(def, c, rv, at.page, at.row);
        if (b && c.fixed() && b->size() != c.length) {
            failDamage(damagedTable(def), ", column '" + c.name + "': value of the wrong size",
                       at.page, at.row);
        }
    }
    index_.tallyRow(def, rv, rowSlot, at);
}

}  // namespace jet
