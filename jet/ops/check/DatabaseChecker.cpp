#include "ops/check/DatabaseChecker.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <set>

#include "format/DataPage.h"
#include "salvage/TableSalvage.h"
#include "util/Background.h"

namespace jet {

namespace {

// Every finding of a table's check is the table's.
void stampTable(std::vector<Finding>& findings, uint32_t table) {
    for (Finding& f : findings) f.table = table;
}

}  // namespace

CheckResult DatabaseChecker::run() {
    report_.pageCount = db_.file().pageCount();
    live_.assign(report_.pageCount, false);
    for (uint32_t p : {0u, 1u, kCatalogPage}) mark(p);
    attempt("page 1", Remedy::kMapRebuilt, [&] { checkPageOne(); });
    const std::vector<CatalogEntry> tables = catalogue();
    shareWhatTheFileSays(tables);
    const std::vector<CheckItem> items = checkItems(tables);
    // Tables are checked one at a time by each worker, each worker
    // reading through its own handle on the file.
    std::vector<CheckResult> parts(items.size());
    std::atomic<std::size_t> next{0};
    auto work = [&](DatabaseChecker& c) {
        for (std::size_t i; (i = next.fetch_add(1)) < items.size();) {
            if (items[i].table) parts[i] = checkItem(c, *items[i].table);
        }
    };
    std::unique_ptr<Database> second;
    std::unique_ptr<DatabaseChecker> helper = makeHelper(second, items.size());
    Background other;
    if (helper && !other.tryStart([&] { work(*helper); }))
        helper.reset();  // no second thread: one worker does it all
    work(*this);         // should it fail, the other is waited for as it goes out of scope
    other.wait();
    if (helper) takeLivePages(*helper);
    gather(items, parts);
    report_.reachablePages = static_cast<uint32_t>(std::count(live_.begin(), live_.end(), true));
    return std::move(report_);
}

// The tables to check: those given, or the catalogue's.
std::vector<CatalogEntry> DatabaseChecker::catalogue() {
    if (options_.tables) return *options_.tables;
    std::vector<CatalogEntry> tables;
    attempt("catalogue", Remedy::kCatalogue, [&] { tables = db_.localTables(); });
    return tables;
}

std::vector<DatabaseChecker::CheckItem> DatabaseChecker::checkItems(
    const std::vector<CatalogEntry>& tables) {
    std::vector<CheckItem> items;
    std::set<uint32_t> defPages;
    for (const auto& t : tables) {
        if (!defPages.insert(t.tdefPage()).second) {
            items.push_back({nullptr, "catalogue: table '" + t.name + "' shares definition page " +
                                          std::to_string(t.tdefPage()) + " with another table"});
        } else {
            items.push_back({&t, {}});
        }
    }
    return items;
}

// One table checked by a worker, or taken as checked where it was checked
// while its copy was written.
CheckResult DatabaseChecker::checkItem(DatabaseChecker& worker, const CatalogEntry& t) const {
    if (options_.checked) {
        auto it = options_.checked->find(t.tdefPage());
        if (it != options_.checked->end() && it->second.name == t.name) {
            return worker.adopt(it->second);
        }
    }
    return worker.checkOne(t);
}

// A second worker with its own handle on the file, when more than one is
// wanted and there is more than one table; none when the file will not reopen.
std::unique_ptr<DatabaseChecker> DatabaseChecker::makeHelper(std::unique_ptr<Database>& second,
                                                             std::size_t items) {
    if (options_.threads <= 1 || items <= 1) return nullptr;
    try {
        second = db_.reopen();
        auto helper = std::make_unique<DatabaseChecker>(*second, options_);
        helper->live_.assign(report_.pageCount, false);
        helper->census_ = census_;
        helper->listed_ = listed_;
        helper->byPage_ = byPage_;
        return helper;
    } catch (const JetException&) {
        return nullptr;  // one worker does it all
    }
}

void DatabaseChecker::takeLivePages(const DatabaseChecker& helper) {
    for (std::size_t p = 0; p < live_.size(); ++p) {
        if (helper.live_[p]) live_[p] = true;
    }
}

// Every table's findings into the report, in catalogue order.
void DatabaseChecker::gather(const std::vector<CheckItem>& items, std::vector<CheckResult>& parts) {
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!items[i].table) {
            problem(items[i].shared, Remedy::kCatalogue);
            report_.findings.back().table = kCatalogPage;
            continue;
        }
        CheckResult& part = parts[i];
        for (auto& f : part.findings) report_.findings.push_back(std::move(f));
        for (auto& s : part.repairs) report_.repairs.push_back(std::move(s));
        for (auto& s : part.notes) report_.notes.push_back(std::move(s));
        for (auto& t : part.tables) report_.tables.push_back(std::move(t));
        for (auto& [page, digest] : part.digests) report_.digests[page] = digest;
        report_.deadRowBytes += part.deadRowBytes;
        report_.freeBytesOnPages += part.freeBytesOnPages;
    }
}

// What every table shares: each owned map (to tell a page another table
// owns from a page lost to the table), and with ownerScan every page of
// the file.
void DatabaseChecker::shareWhatTheFileSays(const std::vector<CatalogEntry>& tables) {
    std::vector<const TableDef*> defs;
    for (const auto& t : tables) {
        try {
            defs.push_back(&db_.tableDef(t.tdefPage(), t.name));
        } catch (const JetException&) {
            // Its own check says so.
        }
    }
    listed_ = std::make_shared<const std::map<uint32_t, std::vector<uint32_t>>>(
        readOwnedMaps(db_.file(), defs));
    byPage_ = std::make_shared<const std::map<uint32_t, const TableDef*>>(tablesByPage(defs));
    if (options_.ownerScan)
        census_ = std::make_shared<const PageCensus>(PageCensus::take(db_.file()));
}

// One table checked by itself, with the pages it reached.
std::vector<uint32_t> DatabaseChecker::markedPages() {
    std::vector<uint32_t> pages = std::move(marked_);
    marked_.clear();
    std::sort(pages.begin(), pages.end());
    return pages;
}

CheckedTable DatabaseChecker::checkEarly(const CatalogEntry& t) {
    live_.assign(db_.file().pageCount(), false);
    listing_ = true;
    marked_.clear();
    CheckedTable out;
    out.name = t.name;
    out.part = checkOne(t);
    out.livePages = markedPages();
    return out;
}

// One table's findings, by themselves.
CheckResult DatabaseChecker::checkOne(const CatalogEntry& t) {
    CheckResult saved = std::move(report_);
    report_ = CheckResult{};
    attempt("table '" + t.name + "'", Remedy::kTableLost, [&] { checkTable(t); });
    stampTable(report_.findings, t.tdefPage());
    if (!report_.findings.empty() && census_) {
        try {
            const RepairCounts n = describeRepair(db_.tableDef(t.tdefPage(), t.name));
            // What each problem's remedy says agrees with what the table loses.
            for (Finding& f : report_.findings) f.tableLosesRows = n.losesRows();
        } catch (const JetException&) {
            // Its definition cannot be read: the problem says it is lost.
        }
    }
    CheckResult part = std::move(report_);
    report_ = std::move(saved);
    return part;
}

void DatabaseChecker::checkPageOne() {
    auto p = db_.file().page(1);
    DataPage dp = parseDataPage(*p, 1);
    if (dp.slots.empty() || dp.slots[0].deleted) {
        problem("page 1: the global usage map row is missing", Remedy::kMapRebuilt, 1, 0);
        return;
    }
    readUsageMap(db_.file(), {1, 0}, "global usage map", true);
}

void DatabaseChecker::markMap(const UsageMap& m) {
    for (uint32_t p : m.holderPages) mark(p);
}

// A table's usage map: as given, for a table checked before its file's
// maps are written, or as read from the file.
UsageMap DatabaseChecker::tableMap(RowPtr at, const std::string& what) {
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

// Takes a table checked early as checked: the pages it reached are
// live, and the maps it was given must be what the file now holds.
CheckResult DatabaseChecker::adopt(const CheckedTable& early) {
    CheckResult part = early.part;
    for (uint32_t p : early.livePages) mark(p);
    for (const auto& [at, pages] : early.maps) {
        const RowPtr row = RowPtr::fromU32(at);
        const std::string where = "table '" + early.name + "', usage map at page " +
                                  std::to_string(row.page) + " row " + std::to_string(row.row);
        try {
            UsageMap m = readUsageMap(db_.file(), row, where.c_str());
            markMap(m);
            if (m.pages != pages) {
                part.findings.push_back(
                    {Remedy::kMapRebuilt, where + ": lists other pages", {}, row.page, row.row});
            }
        } catch (const JetException& e) {
            part.findings.push_back({Remedy::kMapRebuilt, where + ": " + e.error().description, {},
                                     e.error().page, e.error().row});
        }
    }
    return part;
}

void DatabaseChecker::beginEarly(const CatalogEntry& t, const TableDef& layout) {
    live_.assign(kMaxPages, false);  // the file grows as it is checked
    listing_ = true;
    marked_.clear();
    report_ = CheckResult{};
    beginRows(t, layout);
}

void DatabaseChecker::rowsEarly(const std::vector<uint32_t>& pages) {
    if (table_.rowsDone) fail(ErrorCode::kVerifyFailed, "rows came after an index was checked");
    checkPages(pages);
}

void DatabaseChecker::indexEarly(std::size_t i, uint32_t root) {
    const TableDef& def = *table_.def;
    if (i >= def.realIndexes.size()) fail(ErrorCode::kVerifyFailed, "no such index");
    rowsDone();
    RealIndex ri = def.realIndexes[i];
    ri.rootPage = root;
    ri.usageMap = {};  // not written yet
    attempt(table_.where + ", index " + std::to_string(i), Remedy::kIndexRebuilt,
            [&] { checkIndex(def, ri, i, table_.live, tallies_[i]); });
    table_.indexRoots[i] = root;
}

namespace {

// Whether rows read with one definition read alike with the other: the same
// columns where they were, and the same indexes over them.
bool sameRowLayout(const TableDef& a, const TableDef& b) {
    auto sameColumn = [](const Column& x, const Column& y) {
        return x.type == y.type && x.number == y.number && x.varIndex == y.varIndex &&
               x.fixedOffset == y.fixedOffset && x.length == y.length && x.flags == y.flags &&
               x.name == y.name;
    };
    auto sameIndex = [](const RealIndex& x, const RealIndex& y) {
        if (x.flags != y.flags || x.columns.size() != y.columns.size()) return false;
        for (std::size_t i = 0; i < x.columns.size(); ++i) {
            if (x.columns[i].column != y.columns[i].column ||
                x.columns[i].ascending != y.columns[i].ascending)
                return false;
        }
        return true;
    };
    return a.name == b.name && a.firstPage == b.firstPage && a.tableType == b.tableType &&
           a.numVar == b.numVar && a.numCols == b.numCols &&
           std::equal(a.columns.begin(), a.columns.end(), b.columns.begin(), b.columns.end(),
                      sameColumn) &&
           std::equal(a.realIndexes.begin(), a.realIndexes.end(), b.realIndexes.begin(),
                      b.realIndexes.end(), sameIndex);
}

}  // namespace

CheckedTable DatabaseChecker::endEarly(const CatalogEntry& t, const TableDef& layout) {
    const TableDef& def = db_.tableDef(t.tdefPage(), t.name);
    if (!sameRowLayout(def, layout)) {
        fail(ErrorCode::kVerifyFailed, "table '" + t.name + "': its definition changed");
    }
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
    out.part = std::move(report_);
    report_ = CheckResult{};
    stampTable(out.part.findings, t.tdefPage());
    out.livePages = markedPages();
    return out;
}

struct TableCheck::State {
    State(Database& d, const CatalogEntry& t, const TableDef& l, const CheckOptions& o)
        : db(d), table(t), layout(l), checker(d, given(o)) {}
    // The maps are given at the end.
    CheckOptions given(CheckOptions o) {
        o.checked = nullptr;
        o.givenMaps = &maps;
        return o;
    }
    // Damage ends the table's check, as it ends the check of a table read
    // whole; a step out of turn is thrown on.
    void stop(const JetException& e, Remedy remedy) {
        if (e.error().code() == ErrorCode::kVerifyFailed) throw;
        stopped = Finding{remedy, "table '" + table.name + "': " + e.error().description,
                          table.tdefPage(), e.error().page, e.error().row};
    }
    Database& db;
    CatalogEntry table;
    TableDef layout;
    std::map<uint32_t, std::vector<uint32_t>> maps;
    DatabaseChecker checker;
    std::optional<Finding> stopped;  // the damage that ended the check
};

TableCheck::TableCheck(Database& db, const CatalogEntry& table, const TableDef& layout,
                       const CheckOptions& options)
    : s_(std::make_unique<State>(db, table, layout, options)) {
    s_->checker.beginEarly(s_->table, s_->layout);
}

TableCheck::~TableCheck() = default;

uint32_t TableCheck::table() const { return s_->table.tdefPage(); }

void TableCheck::index(std::size_t i, uint32_t root) {
    if (s_->stopped) return;
    s_->db.refresh();
    try {
        s_->checker.indexEarly(i, root);
    } catch (const JetException& e) {
        s_->stop(e, Remedy::kIndexRebuilt);
    }
}

void TableCheck::rows(const std::vector<uint32_t>& pages) {
    if (s_->stopped) return;
    s_->db.refresh();
    try {
        s_->checker.rowsEarly(pages);
    } catch (const JetException& e) {
        s_->stop(e, Remedy::kRowDropped);
    }
}

CheckedTable TableCheck::finish(std::map<uint32_t, std::vector<uint32_t>> maps) {
    for (auto& [at, pages] : maps) std::sort(pages.begin(), pages.end());
    s_->maps = std::move(maps);
    s_->db.refresh();
    CheckedTable out;
    if (!s_->stopped) {
        try {
            out = s_->checker.endEarly(s_->table, s_->layout);
        } catch (const JetException& e) {
            s_->stop(e, Remedy::kNone);
        }
    }
    if (s_->stopped) {
        out = CheckedTable{};
        out.name = s_->table.name;
        out.part.findings.push_back(*s_->stopped);
    }
    out.maps = std::move(s_->maps);
    return out;
}

CheckResult checkDatabase(Database& db, const CheckOptions& options) {
    DatabaseChecker c(db, options);
    return c.run();
}

std::set<uint32_t> CheckResult::damagedTables() const {
    std::set<uint32_t> pages;
    for (const Finding& f : findings) {
        if (f.table) pages.insert(*f.table);
    }
    return pages;
}

CheckReport toReport(CheckResult r) {
    CheckReport out;
    for (const Finding& f : r.findings) out.problems.push_back(describe(f));
    out.repairs = std::move(r.repairs);
    out.notes = std::move(r.notes);
    out.tables = std::move(r.tables);
    out.pageCount = r.pageCount;
    out.reachablePages = r.reachablePages;
    out.deadRowBytes = r.deadRowBytes;
    out.freeBytesOnPages = r.freeBytesOnPages;
    return out;
}

CheckedTable checkTableEarly(Database& db, const CatalogEntry& table,
                             std::map<uint32_t, std::vector<uint32_t>> maps,
                             const CheckOptions& options) {
    for (auto& [at, pages] : maps) std::sort(pages.begin(), pages.end());
    CheckOptions given = options;
    given.givenMaps = &maps;
    given.checked = nullptr;
    DatabaseChecker c(db, given);
    CheckedTable out = c.checkEarly(table);
    out.maps = std::move(maps);
    return out;
}

}  // namespace jet
