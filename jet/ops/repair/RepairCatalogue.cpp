// The repair plan's catalogue: the tables it lists (read with the salvage
// reader), tables whose definition is lost, definitions it no longer lists,
// and its rows and permissions kept in step with what the copy holds,
// the damage log included.
#include <algorithm>
#include <chrono>
#include <set>

#include "format/Header.h"
#include "format/Row.h"
#include "format/Text.h"
#include "ops/repair/RepairPlan.h"
#include "write/SystemTables.h"

namespace jet {

namespace {

constexpr int32_t kIdTables = 0x0F000001;  // the "Tables" container
constexpr int32_t kIdMSysDb = 0x10000000;
constexpr uint32_t kLogTablePage = 0xEFFFFF;  // the damage log's Id until the copy gives it one
constexpr int32_t kCreatorAcm = 983294;       // the container's rights for an object's creator
const char* const kKnownTables[] = {"MSysObjects", "MSysACEs", "MSysQueries", "MSysRelationships"};

// Now as the engine stores dates: days since 1899-12-30.
double today() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(now).count() / 86400.0 + 25569.0;
}

int64_t intOf(const TableDef& def, const RowView& rv, const char* name, RowPtr at) {
    const Column* c = def.columnByName(name);
    if (!c) return 0;
    auto b = columnBytes(def, *c, rv, at.page, at.row);
    if (!b || b->size() < 2) return 0;
    if (b->size() >= 4) return static_cast<int32_t>(u32(*b, 0));
    return static_cast<int16_t>(u16(*b, 0));
}

Bytes bytesOf(const TableDef& def, const RowView& rv, const char* name, RowPtr at) {
    const Column* c = def.columnByName(name);
    if (!c) return {};
    auto b = columnBytes(def, *c, rv, at.page, at.row);
    return b ? Bytes(b->begin(), b->end()) : Bytes{};
}

// Values by column number, set by column name.
struct RowValues {
    const TableDef& def;
    std::vector<Value> v = std::vector<Value>(def.maxCols);
    RowValues& set(const char* name, Value value) {
        if (const Column* c = def.columnByName(name)) v[c->number] = std::move(value);
        return *this;
    }
};

}  // namespace

const TableDef& RepairPlan::catalogueDef() {
    try {
        return db_.tableDef(kCatalogPage, "MSysObjects");
    } catch (const JetException& e) {
        catalogueDamaged_ = true;
        logFileDamage("The catalogue's definition (page 2) cannot be read (" +
                      e.error().description +
                      "); it is made anew as the engine creates it, and the catalogue's rows are "
                      "found by reading the whole file.");
        defs_.push_back(std::make_unique<TableDef>(
            makeTableDef(systemTableSchemas().front(), true, kCatalogPage)));
        catalogueMade_ = true;
        return *defs_.back();
    }
}

// Every catalogue row the salvage reader keeps, with its slot and its
// owner's (masked) security identifier.
std::vector<std::pair<CatalogEntry, RowPtr>> RepairPlan::readCatalogue(const TableDef& def) {
    const auto listed = readOwnedMaps(db_.file(), {&def});
    const auto tables = tablesByPage({&def});
    const SalvageContext ctx{db_.file(), *census_, listed, tables};
    TableSalvage s(ctx, def);
    s.run();
    if (s.rowsDropped() + s.rowsMissing() > 0 || listed.empty()) catalogueDamaged_ = true;
    std::vector<std::pair<CatalogEntry, RowPtr>> out;
    PageRef holder;
    Bytes scratch;
    for (const KeptRow& r : s.rows()) {
        const ByteView b = s.rowBytes(r, holder, scratch);
        const RowView rv = crackRow(def, b, r.data.page, r.data.row);
        CatalogEntry e;
        e.id = static_cast<int32_t>(intOf(def, rv, "Id", r.data));
        e.parentId = static_cast<int32_t>(intOf(def, rv, "ParentId", r.data));
        e.type = static_cast<int16_t>(intOf(def, rv, "Type", r.data));
        e.flags = static_cast<int32_t>(intOf(def, rv, "Flags", r.data));
        e.name = utf16ToUtf8(decodeText(bytesOf(def, rv, "Name", r.data)));
        if (e.id == kIdMSysDb || (ownerSid_.empty() && e.isLocalTable() && !e.isSystem()))
            ownerSid_ = bytesOf(def, rv, "Owner", r.data);
        out.emplace_back(e, r.slot);
    }
    return out;
}

void RepairPlan::findTables() {
    const TableDef& catalogue = catalogueDef();
    catalogue_ = readCatalogue(catalogue);
    std::set<uint32_t> seen;
    for (const auto& [e, slot] : catalogue_) {
        if (!e.isLocalTable()) continue;
        const uint32_t page = e.tdefPage();
        if (page == kCatalogPage) {
            if (seen.insert(page).second) {
                tables_.push_back({e, &catalogue});
                tables_.back().fresh = catalogueMade_;  // every map made for it
            }
            continue;
        }
        if (seen.count(page) != 0) {  // a second row for one table: left out
            duplicates_.push_back(slot);
            log_.add({static_cast<int32_t>(ErrorCode::kDamaged),
                      "Catalogue row left out (table 'MSysObjects', page " +
                          std::to_string(slot.page) + ", row " + std::to_string(slot.row) +
                          "): it names the table at page " + std::to_string(page) +
                          " as '" + e.name + "', which an earlier row names already.",
                      {},
                      "MSysObjects"});
            continue;
        }
        try {
            if (static_cast<uint32_t>(e.id) != page || page < 3)
                failDamage("its Id is not a page number", kCatalogPage);
            tables_.push_back({e, &db_.tableDef(page, e.name)});
            seen.insert(page);
        } catch (const JetException& ex) {
            gone_.push_back(page);
            lostTables_.push_back(e.name);
            log_.add({static_cast<int32_t>(ErrorCode::kDamaged),
                      "Table lost (table '" + e.name + "', page " + std::to_string(page) +
                          "): its definition cannot be read (" + ex.error().description +
                          "), so its rows cannot be decoded; it is left out of the copy, with its "
                          "catalogue and permission rows.",
                      {},
                      e.name});
        }
    }
    if (seen.count(kCatalogPage) == 0) {  // the catalogue's own row is lost
        Table t{{static_cast<int32_t>(kCatalogPage), kIdTables, "MSysObjects", 1,
                 static_cast<int32_t>(0x80000000u)},
                &catalogue};
        t.recovered = true;
        t.fresh = catalogueMade_;
        tables_.insert(tables_.begin(), std::move(t));
        catalogueDamaged_ = true;
    }
    if (catalogueDamaged_) recoverOrphans(catalogue_);
}

// Table definitions the damaged catalogue no longer lists come back, named
// where the file still says how, else under a name that says they were
// recovered.
void RepairPlan::recoverOrphans(const std::vector<std::pair<CatalogEntry, RowPtr>>& rows) {
    std::set<uint32_t> known(gone_.begin(), gone_.end());
    for (const Table& t : tables_) known.insert(t.def->pages.begin(), t.def->pages.end());
    for (const auto& [e, slot] : rows) {
        if (e.isLocalTable()) known.insert(e.tdefPage());
    }
    for (uint32_t p : census_->definitionPages()) {
        if (known.count(p) != 0 || census_->globallyFree(p)) continue;
        CatalogEntry e;
        e.id = static_cast<int32_t>(p);
        e.parentId = kIdTables;
        e.type = 1;
        try {
            // The name decides nothing about the definition: read it first.
            const TableDef probe = readTableDef(db_.file(), p, "?");
            e.name = recoveredName(p, probe.tableType);
            e.flags = p <= 5 ? static_cast<int32_t>(0x80000000u) : 0;
            const TableDef& def = db_.tableDef(p, e.name);
            known.insert(def.pages.begin(), def.pages.end());
            Table t{e, &def};
            t.recovered = true;
            tables_.push_back(std::move(t));
            log_.add({static_cast<int32_t>(ErrorCode::kDamaged),
                      "Table recovered (page " + std::to_string(p) +
                          "): its catalogue row is lost; its definition was found, and it is "
                          "copied under the name '" +
                          e.name + "'.",
                      {},
                      e.name});
        } catch (const JetException&) {
            // Not a table definition after all.
        }
    }
}

std::string RepairPlan::recoveredName(uint32_t page, uint8_t tableType) {
    if (page >= 2 && page <= 5) return kKnownTables[page - 2];
    std::set<std::string> names;
    for (const auto& [e, slot] : catalogue_) names.insert(e.name);
    for (const Table& t : tables_) names.insert(t.entry.name);
    std::string base =
        std::string(tableType == 'S' ? "MSys" : "") + "Recovered_Table_" + std::to_string(page);
    std::string name = base;
    for (int k = 2; names.count(name) != 0; ++k) name = base + "_" + std::to_string(k);
    return name;
}

// The catalogue, by its definition page: its own row's name may be damaged.
RepairPlan::Table* RepairPlan::catalogueTable() {
    for (Table& t : tables_) {
        if (t.def->firstPage == kCatalogPage) return &t;
    }
    return nullptr;
}

RepairPlan::Table* RepairPlan::tableNamed(const std::string& name) {
    for (Table& t : tables_) {
        if (t.entry.name == name) return &t;
    }
    return nullptr;
}

// The rows the copy gets for a table, from its salvage (made now for a
// table its check found sound: the salvage then reads what it holds).
SalvagedRows& RepairPlan::sourceOf(Table& t) {
    if (!t.source) {
        t.salvage = std::make_unique<TableSalvage>(*ctx_, *t.def);
        t.salvage->run();
        t.source = std::make_unique<SalvagedRows>(*t.def, t.salvage.get());
    }
    return *t.source;
}

Bytes RepairPlan::catalogueRow(const CatalogEntry& e) {
    const TableDef& def = *catalogueTable()->def;
    const double now = today();
    RowValues v{def};
    v.set("Id", static_cast<int64_t>(e.id))
        .set("ParentId", static_cast<int64_t>(e.parentId))
        .set("Name", e.name)
        .set("Type", static_cast<int64_t>(e.type))
        .set("DateCreate", now)
        .set("DateUpdate", now)
        .set("Flags", static_cast<int64_t>(e.flags));
    if (!ownerSid_.empty()) v.set("Owner", ownerSid_);
    return encodeRowBytes(def, v.v);
}

}  // namespace jet

namespace jet {

namespace {

bool contains(const std::vector<uint32_t>& v, uint32_t x) {
    return std::find(v.begin(), v.end(), x) != v.end();
}

}  // namespace

// The permission rows of a table, read from its salvage.
std::vector<RepairPlan::Ace> RepairPlan::aceRows(Table& aces) {
    sourceOf(aces);
    const TableDef& def = *aces.def;
    std::vector<Ace> out;
    PageRef holder;
    Bytes scratch;
    for (const KeptRow& r : aces.salvage->rows()) {
        const ByteView b = aces.salvage->rowBytes(r, holder, scratch);
        const RowView rv = crackRow(def, b, r.data.page, r.data.row);
        Ace a;
        a.slot = r.slot;
        a.objectId = static_cast<int32_t>(intOf(def, rv, "ObjectId", r.data));
        a.sid = bytesOf(def, rv, "SID", r.data);
        a.acm = static_cast<int32_t>(intOf(def, rv, "ACM", r.data));
        const Column* inherit = def.columnByName("FInheritable");
        a.inheritable = inherit && boolValue(*inherit, rv);
        out.push_back(std::move(a));
    }
    return out;
}

// A new table's permissions as the engine gives them: one row for each
// right the "Tables" container passes on, but its creator's.
void RepairPlan::addPermissions(Table& aces, const std::vector<Ace>& rows, int32_t objectId) {
    const uint32_t key = sidKey(db_.header().decoded);
    for (const Ace& a : rows) {
        if (a.objectId != objectId) continue;
        return;  // it has its own
    }
    for (const Ace& a : rows) {
        if (a.objectId != kIdTables || !a.inheritable || a.acm == kCreatorAcm) continue;
        Bytes plain = a.sid;
        applySidMask(key, plain.data(), plain.size());
        if (plain == Bytes{0x02, 0x04}) continue;  // the creator
        RowValues v{*aces.def};
        v.set("ObjectId", static_cast<int64_t>(objectId))
            .set("SID", a.sid)
            .set("ACM", static_cast<int64_t>(a.acm))
            .set("FInheritable", false);
        sourceOf(aces).add(encodeRowBytes(*aces.def, v.v));
    }
}

void RepairPlan::keepCatalogueInStep() {
    Table* objects = catalogueTable();
    Table* aces = tableNamed("MSysACEs");
    const bool recovered =
        std::any_of(tables_.begin(), tables_.end(), [](const Table& t) { return t.recovered; });
    if (!objects || (gone_.empty() && duplicates_.empty() && !recovered)) return;
    SalvagedRows& catalogue = sourceOf(*objects);
    for (const auto& [e, slot] : catalogue_) {
        if (e.isLocalTable() && contains(gone_, e.tdefPage())) catalogue.omit(slot);
    }
    for (RowPtr slot : duplicates_) catalogue.omit(slot);
    std::vector<Ace> aceList = aces ? aceRows(*aces) : std::vector<Ace>{};
    for (const Ace& a : aceList) {
        if (contains(gone_, static_cast<uint32_t>(a.objectId))) sourceOf(*aces).omit(a.slot);
    }
    for (Table& t : tables_) {
        if (!t.recovered) continue;
        catalogue.add(catalogueRow(t.entry));
        if (aces) addPermissions(*aces, aceList, t.entry.id);
    }
}

// The damage log: after the rows of the log the source holds, or as a new
// table with its catalogue row and permissions.
void RepairPlan::addDamageLog() {
    if (log_.empty()) return;
    Table* aces = tableNamed("MSysACEs");
    const std::vector<Ace> list = aces ? aceRows(*aces) : std::vector<Ace>{};
    const std::vector<Ace>* aceList = aces ? &list : nullptr;
    if (Table* existing = tableNamed(kCompactErrorTable)) {
        SalvagedRows& rows = sourceOf(*existing);
        for (const DamageEntry& e : log_.entries())
            rows.add(encodeRowBytes(*existing->def, compactErrorRow(*existing->def, e)));
        return;
    }
    defs_.push_back(
        std::make_unique<TableDef>(makeTableDef(compactErrorSchema(), false, kLogTablePage)));
    const TableDef& def = *defs_.back();
    Table t{{static_cast<int32_t>(kLogTablePage), kIdTables, kCompactErrorTable, 1, 2}, &def};
    t.fresh = true;
    t.source = std::make_unique<SalvagedRows>(def, nullptr);
    for (const DamageEntry& e : log_.entries())
        t.source->add(encodeRowBytes(def, compactErrorRow(def, e)));
    sourceOf(*catalogueTable()).add(catalogueRow(t.entry));
    if (aces && aceList) addPermissions(*aces, *aceList, t.entry.id);
    tables_.push_back(std::move(t));
}

}  // namespace jet
