#include "ops/compact/Compactor.h"

#include <algorithm>
#include <exception>

#include "format/DataPage.h"
#include "format/Rc4.h"
#include "format/UsageMap.h"
#include "util/Background.h"
#include "write/PageBuilder.h"
#include "write/TableSchema.h"

namespace jet {

MemoryShares MemoryShares::of(uint64_t asked) {
    // Far below the default, large databases take many runs in their spill
    // files, each read through a buffer of its own when they are merged.
    const uint64_t budget = std::clamp<uint64_t>(asked, kMinimumMemoryBudget, kMostMemoryBudget);
    // At most these at once: the reader's pairs, rows and an order, the
    // writer's order of the table before, ties, levels and a sort, and
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

CompactResult Compactor::run() {
    // The header first, so that the copy can be opened (and a finished
    // table checked) while later tables are written; finish() writes it
    // again, the same.
    out_.write(0, newPage0_);
    Channel<RowBatch> full(kBytesInFlight);
    Background reader;
    reader.start([&] {
        try {
            readTables(full);
        } catch (...) {
            full.close();
            throw;
        }
        full.close();
    });
    try {
        for (std::size_t ti = 0; ti < tables_.size(); ++ti) {
            TablePlan& t = tables_[ti];
            withinTable(damagedTable(*t.def), [&] { copyTable(t, ti, full); });
        }
    } catch (...) {
        full.cancel();
        // A failed reader closes the channel, so the writer then only
        // sees the rows end early: the reader's error says what happened.
        reader.wait();
        throw;
    }
    reader.wait();
    readerTree_ = {};
    writerSource_.reset();
    finishFile();
    // An index begun again may have left pages past the end of the copy.
    if (abandonedEnd_ > alloc_.count()) out_.truncate(alloc_.count());
    CompactResult r;
    r.sourcePages = file_.pageCount();
    r.destinationPages = alloc_.count();
    return r;
}

// What each table should hold in the copy, by its new definition page.
std::map<uint32_t, std::pair<std::string, TableDigest>> Compactor::expected() const {
    std::map<uint32_t, std::pair<std::string, TableDigest>> out;
    for (const auto& t : tables_) out[t.newPages.front()] = {t.def->name, t.digest};
    return out;
}

// Pages the copy will need about: the pages the source's maps list for
// live structures, plus definitions and page 0 and 1.
uint64_t Compactor::estimatePages() {
    uint64_t n = 2;
    auto count = [&](RowPtr map) -> uint64_t {
        if (map.isNull()) return 0;
        return readUsageMap(file_, map, "usage map").pages.size();
    };
    for (const auto& t : tables_) {
        if (t.source) {
            n += t.newPages.size() + t.source->pageEstimate();
            continue;
        }
        n += t.newPages.size() + count(t.def->ownedMap);
        for (const auto& ri : t.def->realIndexes) n += count(ri.usageMap);
        for (const auto& lv : t.def->longValueMaps) n += count(lv.owned);
    }
    return n;
}

void Compactor::finishFile() {
    // Page 1's second row and owner come from the source, where it reads.
    Bytes second(kUsageMapRowSize, 0);
    uint32_t owner = 1;
    try {
        auto p1 = file_.page(1);
        DataPage dp = parseDataPage(*p1, 1);
        if (dp.slots.size() > 1 && !dp.slots[1].deleted && dp.slots[1].length() <= 512) {
            ByteView r = rowBytes(*p1, dp, 1, "page 1");
            second.assign(r.begin(), r.end());
        }
        owner = dp.owner;
    } catch (const JetException&) {
        // A damaged page 1 is rebuilt as the engine makes it.
    }
    w_.finish(newPage0_, owner, second);
}

// The local tables the catalogue lists, each with its definition.
std::vector<PlannedTable> Compactor::catalogueTables() {
    auto tables = src_.localTables();
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
        out.push_back({tables[i], &src_.tableDef(tables[i].tdefPage(), tables[i].name), nullptr});
    }
    return out;
}

void Compactor::plan() {
    std::vector<PlannedTable> tables = chosen_ ? std::move(planned_) : catalogueTables();
    std::sort(tables.begin(), tables.end(), [](const PlannedTable& a, const PlannedTable& b) {
        return a.entry.tdefPage() < b.entry.tdefPage();
    });
    for (const PlannedTable& p : tables) {
        TablePlan t;
        t.entry = p.entry;
        t.def = p.def;
        t.source = p.source;
        t.fresh = p.fresh;
        for (const auto& c : t.def->columns) {
            if (c.type == static_cast<uint8_t>(ColumnType::kLong) &&
                holdsTableIds(t.def->name, c.name))
                t.idColumns.push_back(&c);
            if (holdsSids(t.def->name, c.name) && !c.fixed()) t.sidColumns.push_back(&c);
            if (c.isLongValue() && !c.fixed()) t.lvColumns.push_back(&c);
        }
        std::sort(t.lvColumns.begin(), t.lvColumns.end(),
                  [](const Column* a, const Column* b) { return a->varIndex < b->varIndex; });
        tables_.push_back(t);
    }
    for (uint32_t page : gone_) tdefMap_[page] = 0;
    // Definition pages first, in the order of the old ones, so that table
    // Ids keep their order; continuation pages after them.
    for (auto& t : tables_) {
        t.newPages.push_back(alloc_.allocate());
        tdefMap_[t.def->firstPage] = t.newPages.front();
    }
    for (auto& t : tables_) {
        for (std::size_t k = continuationPages(t.def->length); k > 0; --k)
            t.newPages.push_back(alloc_.allocate());
    }
    // Usage-map rows, each on a shared holder page.
    for (auto& t : tables_) {
        const TableDef& d = *t.def;
        auto mapFor = [&](RowPtr source) { return t.fresh || !source.isNull() ? newMap() : -1; };
        t.maps.owned = newMap();
        t.maps.free = mapFor(d.freeMap);
        for (const auto& ri : d.realIndexes) t.maps.indexes.push_back(mapFor(ri.usageMap));
        for (const auto& lv : d.longValueMaps) {
            const int owned = mapFor(lv.owned);  // in turn: owned, then free
            const int free = mapFor(lv.free);
            t.maps.longValues.emplace_back(owned, free);
        }
    }
    w_.placeMaps();
    firstDataPage_ = alloc_.count();
    // Security identifiers are masked with a key that depends on the password.
    oldSidKey_ = sidKey(file_.header().decoded);
    newPage0_ = withPassword(file_.header(), newPassword_);
    Page decoded = newPage0_;
    maskHeaderRegion(decoded.data());
    newSidKey_ = sidKey(decoded);
}

}  // namespace jet
