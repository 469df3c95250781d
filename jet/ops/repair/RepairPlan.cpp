// The repair plan: which tables are damaged, their salvage, and the summary.
#include "ops/repair/RepairPlan.h"

#include <algorithm>
#include <set>

#include "ops/check/Checker.h"
#include "util/Failure.h"

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
    // Most pages no Jet 4 page where they lie: the file was changed as a
    // whole, and a repair would keep next to nothing while it said so.
    if (2 * uint64_t{census_->pagesInPlace()} < census_->usedPages()) {
        fail(ErrorCode::kDamaged,
             "The database is damaged beyond repair: only " +
                 std::to_string(census_->pagesInPlace()) + " of its " +
                 std::to_string(census_->usedPages()) +
                 " pages in use read as pages of a Jet 4 database where they lie (the file may "
                 "have been changed as a whole, as a copy in text mode does). Nothing was "
                 "changed.");
    }
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
    account();
    summarise();
    addDamageLog();
    summary_.logEntries = log_.entries().size();
    return std::any_of(tables_.begin(), tables_.end(),
                       [](const Table& t) { return t.damaged || t.recovered; }) ||
           !gone_.empty() || !log_.empty();
}

// A table is damaged when its check finds a problem, when pages naming it
// with rows on them lie outside its map, or when the plain compaction
// stopped on it.
void RepairPlan::judge() {
    std::vector<CatalogEntry> entries;
    for (const Table& t : tables_) {
        if (t.entry.tdefPage() == t.def->firstPage) entries.push_back(t.entry);
    }
    CheckOptions options;
    options.threads = 2;
    options.tables = &entries;
    const std::set<uint32_t> damaged = checkDatabase(db_, options).damagedTables();
    for (Table& t : tables_) {
        const uint32_t page = t.def->firstPage;
        if (damaged.count(page) != 0) t.damaged = true;
        if (stoppedAt_ == page || (!stoppedIn_.empty() && stoppedIn_ == t.entry.name))
            t.damaged = true;
        if (page == kCatalogPage && catalogueDamaged_) t.damaged = true;
        auto listed = listed_.find(page);
        if (listed == listed_.end() && !t.def->ownedMap.isNull()) t.damaged = true;
        // Rows on a page that names the table outside its map: a copy as
        // the source holds it would leave them out without a word.
        if (listed != listed_.end()) {
            for (uint32_t p : census_->dataPagesOf(page)) {
                if ((*census_)[p].liveRows != 0 && !std::binary_search(listed->second.begin(), listed->second.end(), p)) t.damaged = true;
            }
        }
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
        r.rowsKept = t.rowsCopied;
        if (t.salvage) {
            const TableSalvage& s = *t.salvage;
            static_cast<RepairCounts&>(r) = s.counts();
            r.countedRows = t.def->rowCount;
            r.indexesRebuilt = static_cast<uint32_t>(t.def->realIndexes.size());
            if (const TableDef* general = s.reordered()) {
                for (std::size_t i = 0; i < general->realIndexes.size(); ++i)
                    r.indexesReordered += s.indexReordered(i) ? 1u : 0u;
            }
        }
        summary_ += r;
        summary_.tables.push_back(r);
    }
    for (const std::string& name : lostTables_) {
        TableRepair r;
        r.table = name;
        r.lost = true;
        summary_.tables.push_back(r);
        ++summary_.tablesLost;
    }
}

namespace {

// Whether an issue of a salvage is a row left out of the copy, its reason
// in the damage log.
bool dropsRow(SalvageIssue::Kind k) {
    using K = SalvageIssue::Kind;
    return k == K::kRowDropped || k == K::kKeyClash || k == K::kRowLeftOut ||
           k == K::kRowForeign || k == K::kSecondReference;
}

std::string rowsText(uint64_t n) { return std::to_string(n) + (n == 1 ? " row" : " rows"); }

}  // namespace

void RepairPlan::account() {
    RowLedger ledger(*ctx_);
    for (Table& t : tables_) {
        const std::string& name = t.entry.name;
        if (!t.salvage) {
            if (!t.fresh) t.rowsCopied = ledger.keepListed(*ctx_, t.def->firstPage, name, t.recovered);
            continue;
        }
        for (const KeptRow& r : t.salvage->rows()) {
            if (t.source && t.source->omitted(r.slot)) {
                ledger.drop(r.slot, name);
            } else {
                ledger.keep(r.slot, name, t.recovered);
            }
        }
        for (const SalvageIssue& i : t.salvage->issues()) {
            if (dropsRow(i.kind)) ledger.drop(i.at, name);
        }
    }
    std::string fault;
    const RowAccount a = ledger.settle(fault);
    if (!fault.empty()) {
        fail(ErrorCode::kUnaccounted,
             "The database is damaged, and its repair cannot account for every row: " + fault +
                 ". Nothing was changed.");
    }
    summary_.account = a;
    if (log_.empty() && !a.fewer()) return;
    std::string text = "Rows accounted for: the damaged file holds " + rowsText(a.rows);
    if (a.deleted != 0) text += " and " + rowsText(a.deleted) + " flagged deleted";
    text += ". The copy keeps " + std::to_string(a.kept) + " in their own tables";
    if (a.recovered != 0) text += " and " + std::to_string(a.recovered) + " in recovered tables";
    text += "; " + std::to_string(a.dropped) + " are dropped, each listed in this table";
    if (a.deletedLeftOut != 0)
        text += "; " + std::to_string(a.deletedLeftOut) + " flagged deleted are left out";
    logFileDamage(text + ".");
}

}  // namespace jet
