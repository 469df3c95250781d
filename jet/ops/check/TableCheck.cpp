// A table checked while its file is still being written, whose usage maps
// are given: whole (checkTableEarly) or in steps as it is written
// (TableCheck).
#include <algorithm>
#include <optional>

#include "ops/check/Checker.h"
#include "ops/check/TableChecker.h"

namespace jet {

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

struct TableCheck::State {
    State(Database& d, const CatalogEntry& t, const TableDef& l, const CheckOptions& o)
        : db(d), table(t), layout(l), checker(d, given(o), nullptr, 0) {}
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
    TableChecker checker;
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
            const TableDef& def = s_->db.tableDef(s_->table.tdefPage(), s_->table.name);
            if (!sameRowLayout(def, s_->layout)) {
                fail(ErrorCode::kVerifyFailed,
                     "table '" + s_->table.name + "': its definition changed");
            }
            out = s_->checker.endEarly(s_->table, def);
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

CheckedTable checkTableEarly(Database& db, const CatalogEntry& table,
                             std::map<uint32_t, std::vector<uint32_t>> maps,
                             const CheckOptions& options) {
    for (auto& [at, pages] : maps) std::sort(pages.begin(), pages.end());
    CheckOptions given = options;
    given.givenMaps = &maps;
    given.checked = nullptr;
    TableChecker c(db, given, nullptr, db.file().pageCount());
    CheckedTable out = c.checkEarly(table);
    out.maps = std::move(maps);
    return out;
}

}  // namespace jet
