#include "ops/compact/CopyPlan.h"

#include <algorithm>

#include "format/Rc4.h"
#include "format/UsageMap.h"
#include "write/TableSchema.h"

namespace jet {

MemoryShares MemoryShares::of(uint64_t asked) {
    // Far below the default, large databases take many runs in their spill
    // files, each read through a buffer of its own when they are merged.
    const uint64_t budget = std::clamp<uint64_t>(asked, kMinimumMemoryBudget, kMostMemoryBudget);
    // At most these at once: the reader's pairs, rows and an order, the
    // copier's order of the table before, ties, levels and a sort, and
    // the check: 28/32 of the budget.
    const auto part = [&](unsigned thirtySeconds) {
        return static_cast<std::size_t>(budget / 32 * thirtySeconds);
    };
    MemoryShares s;
    s.keyPairs = part(4);
    s.rowRuns = part(8);
    s.rowOrders = part(8);
    s.ties = part(1);
    s.levels = part(1);
    s.sorts = part(2);
    s.check = part(4);
    return s;
}

bool holdsTableIds(const std::string& table, const std::string& column) {
    return (table == "MSysObjects" && (column == "Id" || column == "ParentId")) ||
           (table == "MSysACEs" && column == "ObjectId") ||
           (table == "MSysNavPaneObjectIDs" && column == "Id");
}

bool holdsSids(const std::string& table, const std::string& column) {
    return (table == "MSysObjects" && column == "Owner") ||
           (table == "MSysACEs" && column == "SID");
}

std::vector<PlannedTable> catalogueTables(Database& src) {
    auto tables = src.localTables();
    std::sort(tables.begin(), tables.end(), [](const CatalogEntry& a, const CatalogEntry& b) {
        return a.tdefPage() < b.tdefPage();
    });
    if (tables.empty() || tables.front().tdefPage() != kCatalogPage) {
        failDamage("the catalogue does not list itself at page 2", kCatalogPage);
    }
    std::vector<PlannedTable> out;
    for (std::size_t i = 0; i < tables.size(); ++i) {
        if (i > 0 && tables[i].tdefPage() == tables[i - 1].tdefPage()) {
            failDamage("two tables share the definition page", tables[i].tdefPage());
        }
        if (static_cast<uint32_t>(tables[i].id) != tables[i].tdefPage()) {
            failDamage(DamagedTable{tables[i].name, tables[i].tdefPage()},
                       " has an Id that is not a page number", kCatalogPage);
        }
        out.push_back({tables[i], &src.tableDef(tables[i].tdefPage(), tables[i].name), nullptr});
    }
    return out;
}

namespace {

// The table's columns the reader rewrites or reads whole.
TablePlan tablePlan(const PlannedTable& p) {
    TablePlan t;
    t.entry = p.entry;
    t.def = p.def;
    t.source = p.source;
    t.fresh = p.fresh;
    for (const auto& c : t.def->columns) {
        if (c.type == static_cast<uint8_t>(ColumnType::kLong) && holdsTableIds(t.def->name, c.name))
            t.idColumns.push_back(&c);
        if (holdsSids(t.def->name, c.name) && !c.fixed()) t.sidColumns.push_back(&c);
        if (c.isLongValue() && !c.fixed()) t.lvColumns.push_back(&c);
    }
    std::sort(t.lvColumns.begin(), t.lvColumns.end(),
              [](const Column* a, const Column* b) { return a->varIndex < b->varIndex; });
    return t;
}

// Definition pages first, in the order of the old ones, so that table Ids
// keep their order; continuation pages after them; then the usage-map rows,
// each on a shared holder page.
void placeTables(CopyPlan& plan, DatabaseWriter& w) {
    PageAllocator& alloc = w.alloc();
    for (auto& t : plan.tables) {
        t.newPages.push_back(alloc.allocate());
        plan.tableIds[t.def->firstPage] = t.newPages.front();
    }
    for (auto& t : plan.tables) {
        for (std::size_t k = continuationPages(t.def->length); k > 0; --k)
            t.newPages.push_back(alloc.allocate());
    }
    for (auto& t : plan.tables) {
        const TableDef& d = *t.def;
        auto mapFor = [&](RowPtr source) { return t.fresh || !source.isNull() ? w.newMap() : -1; };
        t.maps.owned = w.newMap();
        t.maps.free = mapFor(d.freeMap);
        for (const auto& ri : d.realIndexes) t.maps.indexes.push_back(mapFor(ri.usageMap));
        for (const auto& lv : d.longValueMaps) {
            const int owned = mapFor(lv.owned);  // in turn: owned, then free
            const int free = mapFor(lv.free);
            t.maps.longValues.emplace_back(owned, free);
        }
    }
    w.placeMaps();
    plan.firstDataPage = alloc.count();
}

}  // namespace

CopyPlan planCopy(Database& src, DatabaseWriter& w, std::vector<PlannedTable> tables,
                  const std::vector<uint32_t>& gone,
                  const std::array<uint8_t, kPasswordBytes>& newPassword, MemoryShares shares,
                  SpillFolders spill) {
    std::sort(tables.begin(), tables.end(), [](const PlannedTable& a, const PlannedTable& b) {
        return a.entry.tdefPage() < b.entry.tdefPage();
    });
    CopyPlan plan;
    plan.shares = shares;
    plan.spill = std::move(spill);
    for (const PlannedTable& p : tables) plan.tables.push_back(tablePlan(p));
    for (uint32_t page : gone) plan.tableIds[page] = 0;
    placeTables(plan, w);
    // Security identifiers are masked with a key that depends on the password.
    PageFile& file = src.file();
    plan.oldSidKey = sidKey(file.header().decoded);
    plan.page0 = withPassword(file.header(), newPassword);
    Page decoded = plan.page0;
    maskHeaderRegion(decoded.data());
    plan.newSidKey = sidKey(decoded);
    return plan;
}

void weighTables(CopyPlan& plan, PageFile& src) {
    auto count = [&](RowPtr map) -> uint64_t {
        if (map.isNull()) return 0;
        return readUsageMap(src, map, "usage map").pages.size();
    };
    uint64_t before = 0;
    for (auto& t : plan.tables) {
        t.pagesBefore = before;
        t.indexPages.clear();
        if (t.source) {
            t.rowPages = t.source->pageEstimate();
        } else {
            t.rowPages = count(t.def->ownedMap);
            for (const auto& lv : t.def->longValueMaps) t.rowPages += count(lv.owned);
            for (const auto& ri : t.def->realIndexes) t.indexPages.push_back(count(ri.usageMap));
        }
        before += t.pagesToRead();
    }
    plan.pagesToRead = before;
}

uint64_t estimatePages(const CopyPlan& plan) {
    uint64_t n = 2 + plan.pagesToRead;
    for (const auto& t : plan.tables) n += t.newPages.size();
    return n;
}

}  // namespace jet
