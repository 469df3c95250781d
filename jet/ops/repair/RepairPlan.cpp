// The repair plan: which tables are damaged, their salvage, and the summary.
#include "ops/repair/RepairPlan.h"

#include <algorithm>

#include "ops/check/Checker.h"

namespace jet {

RepairPlan::RepairPlan(Database& db, const Error* stopped) : db_(db) {
    if (stopped && stopped->code() == ErrorCode::kDamaged) {
        stoppedAt_ = stopped->tablePage;
        stoppedIn_ = stopped->table;
    }
}

RepairPlan::~RepairPlan() = default;

void RepairPlan::logFileDamage(const std::string& what) {
    log_.add({static_cast<int32_t>(ErrorCode::kDamaged), what, {}, {}});
}

bool RepairPlan::make() {
    census_ = std::make_unique<PageCensus>(PageCensus::take(db_.file()));
    findTables();
    std::vector<const TableDef*> defs;
    for (const Table& t : tables_) defs.push_back(t.def);
    listed_ = readOwnedMaps(db_.file(), defs);
    byPage_ = tablesByPage(defs);
    ctx_ = std::make_unique<SalvageContext>(SalvageContext{db_.file(), *census_, listed_, byPage_});
    judge();
    for (Table& t : tables_) {
        if (t.damaged) salvage(t);
    }
    findDanglingReferences();
    keepCatalogueInStep();
    summarise();
    return std::any_of(tables_.begin(), tables_.end(),
                       [](const Table& t) { return t.damaged || t.recovered; }) ||
           !gone_.empty() || !log_.empty();
}

// A table is damaged when its check finds a problem, when the pages its
// map lists hold fewer rows than it counts while pages naming it lie
// outside the map, or when the plain compaction stopped on it.
void RepairPlan::judge() {
    std::vector<CatalogEntry> entries;
    for (const Table& t : tables_) {
        if (t.entry.tdefPage() == t.def->firstPage) entries.push_back(t.entry);
    }
    CheckOptions options;
    options.threads = 2;
    options.tables = &entries;
    const CheckResult checked = checkDatabase(db_, options);
    for (Table& t : tables_) {
        const uint32_t page = t.def->firstPage;
        if (checked.damagedTables.count(page) != 0) t.damaged = true;
        if (stoppedAt_ == page || (!stoppedIn_.empty() && stoppedIn_ == t.entry.name))
            t.damaged = true;
        if (page == kCatalogPage && catalogueDamaged_) t.damaged = true;
        const bool fullIndex = std::any_of(t.def->realIndexes.begin(), t.def->realIndexes.end(),
                                           [](const RealIndex& ri) { return !ri.ignoreNulls(); });
        auto summary =
            std::find_if(checked.tables.begin(), checked.tables.end(),
                         [&](const TableSummary& s) { return s.definitionPage == page; });
        auto listed = listed_.find(page);
        if (!fullIndex && summary != checked.tables.end() && listed != listed_.end() &&
            pagesMayBeMissing(*census_, *t.def, listed->second, summary->rows))
            t.damaged = true;
        if (listed == listed_.end() && !t.def->ownedMap.isNull()) t.damaged = true;
    }
}

void RepairPlan::salvage(Table& t) {
    t.salvage = std::make_unique<TableSalvage>(*ctx_, *t.def);
    t.salvage->run();
    log_.addIssues(db_, *t.def, t.salvage->issues());
    t.source = std::make_unique<SalvagedRows>(*t.def, t.salvage.get());
}

std::vector<PlannedTable> RepairPlan::tables() {
    std::vector<PlannedTable> out;
    for (Table& t : tables_) {
        // An index keyed anew in the General order takes its columns' new
        // declaration with it.
        const TableDef* def = t.salvage && t.salvage->reordered() ? t.salvage->reordered() : t.def;
        out.push_back({t.entry, def, t.source.get(), t.fresh});
    }
    return out;
}

void RepairPlan::summarise() {
    for (const Table& t : tables_) {
        if (!t.damaged && !t.recovered) continue;
        TableRepair r;
        r.table = t.entry.name;
        r.recovered = t.recovered;
        if (t.salvage) {
            const TableSalvage& s = *t.salvage;
            const SalvageCounts n = s.counts();
            r.rowsKept = n.kept;
            r.rowsDropped = n.dropped;
            r.rowsChanged = n.changed;
            r.rowsMovedBack = n.movedBack;
            r.rowsForeign = n.foreign;
            r.rowsRestored = n.restored;
            r.deletesKept = n.deletesKept;
            r.countStale = n.countStale;
            r.countedRows = t.def->rowCount;
            r.indexesRebuilt = static_cast<uint32_t>(t.def->realIndexes.size());
            if (const TableDef* general = s.reordered()) {
                for (std::size_t i = 0; i < general->realIndexes.size(); ++i)
                    r.indexesReordered += s.indexReordered(i) ? 1u : 0u;
            }
        }
        summary_.rowsDropped += r.rowsDropped;
        summary_.rowsChanged += r.rowsChanged;
        summary_.rowsMovedBack += r.rowsMovedBack;
        summary_.rowsForeign += r.rowsForeign;
        summary_.rowsRestored += r.rowsRestored;
        summary_.tables.push_back(r);
    }
    for (const std::string& name : lostTables_) {
        TableRepair r;
        r.table = name;
        r.lost = true;
        summary_.tables.push_back(r);
        ++summary_.tablesLost;
    }
    summary_.logEntries = log_.entries().size();
}

}  // namespace jet
