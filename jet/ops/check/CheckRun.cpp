#include "ops/check/CheckRun.h"

#include <atomic>
#include <set>
#include <utility>

#include "format/DataPage.h"
#include "ops/check/TableChecker.h"
#include "util/Background.h"

namespace jet {

CheckResult CheckRun::run() {
    report_.pageCount = db_.file().pageCount();
    reached_.reset(report_.pageCount, false);
    for (uint32_t p : {0u, 1u, kCatalogPage}) reached_.mark(p);
    attempt(report_.findings, "page 1", Remedy::kMapRebuilt, [&] { checkPageOne(); });
    const std::vector<CatalogEntry> tables = catalogue();
    const std::vector<CheckItem> items = checkItems(tables);
    std::vector<CheckResult> parts = checkAll(items, readFacts(tables));
    gather(items, parts);
    report_.reachablePages = reached_.count();
    return std::move(report_);
}

void CheckRun::checkPageOne() {
    auto p = db_.file().page(1);
    DataPage dp = parseDataPage(*p, 1);
    if (dp.slots.empty() || dp.slots[0].deleted) {
        problem(report_.findings, "page 1: the global usage map row is missing",
                Remedy::kMapRebuilt, 1, 0);
        return;
    }
    readUsageMap(db_.file(), {1, 0}, "global usage map", true);
}

// The tables to check: those given, or the catalogue's.
std::vector<CatalogEntry> CheckRun::catalogue() {
    if (options_.tables) return *options_.tables;
    std::vector<CatalogEntry> tables;
    attempt(report_.findings, "catalogue", Remedy::kCatalogue, [&] { tables = db_.localTables(); });
    return tables;
}

std::vector<CheckRun::CheckItem> CheckRun::checkItems(
    const std::vector<CatalogEntry>& tables) const {
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

std::shared_ptr<const FileFacts> CheckRun::readFacts(const std::vector<CatalogEntry>& tables) {
    std::vector<const TableDef*> defs;
    for (const auto& t : tables) {
        try {
            defs.push_back(&db_.tableDef(t.tdefPage(), t.name));
        } catch (const JetException&) {
            // Its own check says so.
        }
    }
    auto facts = std::make_shared<FileFacts>();
    facts->listed = readOwnedMaps(db_.file(), defs);
    facts->byPage = tablesByPage(defs);
    if (options_.ownerScan) facts->census.emplace(PageCensus::take(db_.file()));
    return facts;
}

// Tables are checked one at a time by each worker, each worker reading
// through its own handle on the file: a second worker when more than one
// is wanted and there is more than one table, and the file reopens.
std::vector<CheckResult> CheckRun::checkAll(const std::vector<CheckItem>& items,
                                            std::shared_ptr<const FileFacts> facts) {
    std::vector<CheckResult> parts(items.size());  // each written by the worker that took it
    std::atomic<std::size_t> next{0};
    auto work = [&](TableChecker& c) {
        for (std::size_t i; (i = next.fetch_add(1)) < items.size();) {
            if (items[i].table) parts[i] = checkItem(c, *items[i].table);
        }
    };
    TableChecker first(db_, options_, facts, report_.pageCount);
    std::unique_ptr<Database> second;
    std::unique_ptr<TableChecker> helper;
    if (options_.threads > 1 && items.size() > 1) {
        try {
            second = db_.reopen();
            helper = std::make_unique<TableChecker>(*second, options_, facts, report_.pageCount);
        } catch (const JetException&) {
            // One worker does it all.
        }
    }
    Background other;
    if (helper && !other.tryStart([&] { work(*helper); }))
        helper.reset();  // no second thread: one worker does it all
    work(first);         // should it fail, the other is waited for as it goes out of scope
    other.wait();
    reached_.add(first.reached());
    if (helper) reached_.add(helper->reached());
    return parts;
}

// One table checked by a worker, or taken as checked where it was checked
// while its copy was written.
CheckResult CheckRun::checkItem(TableChecker& worker, const CatalogEntry& t) const {
    if (options_.checked) {
        auto it = options_.checked->find(t.tdefPage());
        if (it != options_.checked->end() && it->second.name == t.name) {
            return worker.adopt(it->second, t.tdefPage());
        }
    }
    return worker.checkOne(t);
}

// Every table's findings into the report, in catalogue order.
void CheckRun::gather(const std::vector<CheckItem>& items, std::vector<CheckResult>& parts) {
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!items[i].table) {
            problem(report_.findings, items[i].shared, Remedy::kCatalogue);
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

CheckResult checkDatabase(Database& db, const CheckOptions& options) {
    CheckRun run(db, options);
    return run.run();
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

}  // namespace jet
