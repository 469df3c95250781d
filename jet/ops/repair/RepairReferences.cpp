// Rows left without the row they refer to: where a repair dropped rows of a
// table that another refers to through a relationship (MSysRelationships),
// the referring rows whose values no kept row holds any longer are counted
// and named, table by table.
#include <algorithm>
#include <cctype>
#include <map>
#include <set>

#include "format/Row.h"
#include "ops/repair/RepairPlan.h"
#include "read/Value.h"

namespace jet {

namespace {

// One relationship: its name, the referring table and columns, the table
// and columns they refer to, in the relationship's order of columns.
struct Relationship {
    std::string name, table, referenced;
    std::vector<std::pair<int64_t, std::pair<std::string, std::string>>> columns;
};

// A value as compared across two tables: its text form, letters of either
// case alike (as the engine compares text).
std::string comparable(std::string v) {
    for (char& c : v) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return v;
}

// The values of a row in the columns named, or nothing when one is null
// (a row that refers to nothing).
std::optional<std::string> valuesOf(Database& db, const TableDef& def, const RowView& rv, RowPtr at,
                                    const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& n : names) {
        const Column* c = def.columnByName(n);
        if (!c || !columnBytes(def, *c, rv, at.page, at.row)) return std::nullopt;
        out += comparable(columnJson(db, def, *c, rv, at.page, static_cast<int>(at.row)));
        out.push_back('\x1f');
    }
    return out;
}

std::string textOf(Database& db, const TableDef& def, const RowView& rv, RowPtr at,
                   const char* name) {
    const Column* c = def.columnByName(name);
    if (!c || !columnBytes(def, *c, rv, at.page, at.row)) return {};
    std::string v = columnJson(db, def, *c, rv, at.page, static_cast<int>(at.row));
    // A JSON string: its quotes off (the names hold no escapes worth undoing here).
    return v.size() >= 2 && v.front() == '"' ? v.substr(1, v.size() - 2) : v;
}

}  // namespace

void RepairPlan::eachRow(Table& t, FunctionRef<void(const TableDef&, const RowView&, RowPtr)> f) {
    const TableDef& def = *t.def;
    if (t.salvage) {
        PageRef holder;
        Bytes scratch;
        for (const KeptRow& r : t.salvage->rows()) {
            const ByteView b = t.salvage->rowBytes(r, holder, scratch);
            f(def, crackRow(def, b, r.data.page, r.data.row), r.data);
        }
        return;
    }
    try {
        db_.scanRows(def, [&](const RowLocation& loc, ByteView b) {
            f(def, crackRow(def, b, loc.data.page, loc.data.row), loc.data);
        });
    } catch (const JetException&) {
        // A sound table reads; one that does not was salvaged.
    }
}

void RepairPlan::findDanglingReferences() {
    Table* rel = tableNamed("MSysRelationships");
    if (!rel) return;
    std::map<std::string, Relationship> byName;
    eachRow(*rel, [&](const TableDef& def, const RowView& rv, RowPtr at) {
        Relationship& r = byName[textOf(db_, def, rv, at, "szRelationship")];
        r.name = textOf(db_, def, rv, at, "szRelationship");
        r.table = textOf(db_, def, rv, at, "szObject");
        r.referenced = textOf(db_, def, rv, at, "szReferencedObject");
        const std::string icolumn = textOf(db_, def, rv, at, "icolumn");
        r.columns.push_back({std::atoll(icolumn.c_str()),
                             {textOf(db_, def, rv, at, "szColumn"),
                              textOf(db_, def, rv, at, "szReferencedColumn")}});
    });
    for (auto& [name, r] : byName) {
        Table* referenced = tableNamed(r.referenced);
        Table* referring = tableNamed(r.table);
        if (!referenced || !referring || !referenced->salvage) continue;
        if (referenced->salvage->counts().rowsDropped == 0) continue;
        std::sort(r.columns.begin(), r.columns.end());
        std::vector<std::string> from, to;
        for (const auto& [n, cols] : r.columns) {
            from.push_back(cols.first);
            to.push_back(cols.second);
        }
        std::set<std::string> kept;
        eachRow(*referenced, [&](const TableDef& def, const RowView& rv, RowPtr at) {
            if (auto v = valuesOf(db_, def, rv, at, to)) kept.insert(std::move(*v));
        });
        uint64_t without = 0;
        eachRow(*referring, [&](const TableDef& def, const RowView& rv, RowPtr at) {
            auto v = valuesOf(db_, def, rv, at, from);
            if (v && kept.count(*v) == 0) ++without;
        });
        if (without == 0) continue;
        summary_.references.push_back({r.table, r.referenced, r.name, without});
        log_.add({static_cast<int32_t>(ErrorCode::kDamaged),
                  "Rows without their row (table '" + r.table + "'): " + std::to_string(without) +
                      (without == 1 ? " row refers" : " rows refer") +
                      ", through the relationship '" + r.name + "', to rows of table '" +
                      r.referenced + "' that were dropped.",
                  {},
                  r.table});
    }
}

}  // namespace jet
