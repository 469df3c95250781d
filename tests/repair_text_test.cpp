// Repair of tables whose indexed text is Greek, Cyrillic or CJK: real files
// with their text rewritten, their indexes damaged and nothing else. No row
// is dropped for want of a key; the copy's keys are the encoder's (its check
// compares them with the rows). Where a column's sort order is one the
// engine cannot make keys in, keys come from the damaged index or a row of
// the same values, else the index is keyed anew in the General order and
// the column declared so, never keys of two orders in one index.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "format/IndexPage.h"
#include "format/TableDef.h"
#include "jet/Check.h"
#include "jet/Compact.h"
#include "read/Database.h"
#include "support/DamageLayout.h"
#include "support/Fixtures.h"
#include "support/Oracle.h"
#include "support/RepairRun.h"
#include "support/SampleDatabase.h"
#include "support/ScriptRewrite.h"

using namespace testsupport;

namespace {

const Layout::Table& tableNamed(const Layout& l, const std::string& name) {
    for (const auto& t : l.tables)
        if (t.def.name == name) return t;
    ADD_FAILURE() << "no table " << name;
    static const Layout::Table none;
    return none;
}

// The real index of a table whose first column is the one named.
std::size_t indexOn(const Layout::Table& t, const std::string& column) {
    const jet::Column* c = t.def.columnByName(column);
    for (std::size_t i = 0; c && i < t.def.realIndexes.size(); ++i)
        if (t.def.realIndexes[i].columns.front().column == c->number) return i;
    ADD_FAILURE() << "no index on " << column;
    return 0;
}

struct IndexDamage {
    const char* name;
    const char* table;
    const char* column;
    // What is done to the index's leaves (at least one is given).
    std::function<void(std::string& bytes, const std::vector<uint32_t>& leaves)> damage;
};

}  // namespace

// The damages, on the sample application with its indexed text in
// each script: once, rows whose keys the engine could not make were dropped
// (all 830 orders for one leaf of their customer-code index).
TEST(RepairText, IndexDamageInEveryScriptDropsNoRow) {
    SKIP_WITHOUT_FIXTURES();
    SKIP_WITHOUT_MDBTOOLS();
    const std::vector<IndexDamage> damages = {
        {"the only leaf of a company-name index zeroed", "Suppliers", "CompanyName",
         [](std::string& b, const std::vector<uint32_t>& leaves) {
             std::fill_n(pageBytes(b, leaves.front()), 4096, 0);
         }},
        {"one entry missing from it", "Suppliers", "CompanyName",
         [](std::string& b, const std::vector<uint32_t>& leaves) {
             editLeaf(b, leaves.front(), [](auto& e) { e.erase(e.begin() + 3); });
         }},
        {"the leaf of a unique name index zeroed", "Categories", "CategoryName",
         [](std::string& b, const std::vector<uint32_t>& leaves) {
             std::fill_n(pageBytes(b, leaves.front()), 4096, 0);
         }},
        {"a middle leaf of the orders' customer-code index zeroed", "Orders", "CustomerID",
         [](std::string& b, const std::vector<uint32_t>& leaves) {
             std::fill_n(pageBytes(b, leaves.at(leaves.size() / 2)), 4096, 0);
         }},
        {"the leaf of the customers' primary key zeroed", "Customers", "CustomerID",
         [](std::string& b, const std::vector<uint32_t>& leaves) {
             std::fill_n(pageBytes(b, leaves.front()), 4096, 0);
         }},
    };
    for (const Script script : {Script::kGreek, Script::kCyrillic, Script::kCjk}) {
        TempDir dir;
        const fs::path file =
            copyFixture(fixturesDir() / "jet4" / "sample-traders-full-2000.mdb", dir, "text.mdb");
        rewriteInScript(file, "", sampleTradersText(), script);
        const Tables original = userRows(file, "");
        const Layout layout = layoutOf(file, "");
        const std::string bytes = readFile(file);
        for (const IndexDamage& d : damages) {
            SCOPED_TRACE(std::string(d.name) + ", script " + std::to_string(int(script)));
            const Layout::Table& t = tableNamed(layout, d.table);
            const auto& leaves = t.indexLeaves.at(indexOn(t, d.column));
            std::string damaged = bytes;
            d.damage(damaged, leaves);
            const fs::path src = dir / "damaged.mdb";
            writeFile(src, damaged);
            const Repaired r = repair(src, "");
            EXPECT_EQ(r.rows, original);
            EXPECT_EQ(r.summary.rowsDropped, 0u);
            EXPECT_EQ(r.log.find("sort order"), std::string::npos) << r.log;
        }
    }
}

namespace {

// The fixture whose text columns declare the Japanese sort order (1041).
const char* kJapanese = "pwd-code-modules-2003-before-compact.mdb";

// The column's sort order as the copy's definition declares it.
std::pair<uint16_t, uint8_t> declaredOrder(const fs::path& file, const std::string& pw,
                                           const std::string& table, const std::string& column) {
    auto db = jet::Database::open(jet::Env::standard(), file.string(), pw);
    for (const auto& t : db->localTables()) {
        if (t.name != table) continue;
        const jet::Column* c = db->tableDef(t.tdefPage(), t.name).columnByName(column);
        if (c) return {c->sortLcid, c->sortVersion};
    }
    ADD_FAILURE() << "no column " << table << "." << column;
    return {};
}

}  // namespace

// A row whose key no index entry gives any more, in a column sorted in an
// order the engine does not encode: the index is keyed anew in the General
// order, its text column declared General, and the log says so. The row
// stays; no Japanese-ordered index holds a General key.
TEST(RepairText, AnIndexInAnOrderTheEngineCannotKeyIsMadeAnewInTheGeneralOrder) {
    SKIP_WITHOUT_FIXTURES();
    SKIP_WITHOUT_MDBTOOLS();
    TempDir dir;
    const std::string pw = fixturePassword(kJapanese);
    const fs::path file = copyFixture(fixturesDir() / "jet4" / kJapanese, dir, "ja.mdb");
    const Layout layout = layoutOf(file, pw);
    // The table with an index over a Japanese-sorted text column (the
    // attachments' table), and that index.
    const Layout::Table* found = nullptr;
    std::size_t index = 0;
    std::string column;
    for (const auto* list : {&layout.tables, &layout.systemTables}) {
        for (const Layout::Table& x : *list) {
            for (std::size_t i = 0; i < x.def.realIndexes.size(); ++i) {
                for (const auto& ic : x.def.realIndexes[i].columns) {
                    const jet::Column* c = x.def.columnByNumber(ic.column);
                    if (c->type != static_cast<uint8_t>(jet::ColumnType::kText) ||
                        c->sortLcid != 1041)
                        continue;
                    found = &x;
                    index = i;
                    column = c->name;
                }
            }
        }
    }
    ASSERT_NE(found, nullptr) << "no index over a Japanese-sorted column";
    const Layout::Table& t = *found;
    std::string error;
    const Rows original = ourRows(file.string(), pw, t.def.name, error);
    ASSERT_TRUE(error.empty()) << error;
    ASSERT_FALSE(original.empty());
    std::string bytes = readFile(file);
    for (uint32_t leaf : t.indexLeaves[index]) std::fill_n(pageBytes(bytes, leaf), 4096, 0);
    writeFile(file, bytes);
    const Repaired r = repair(file, pw);
    EXPECT_EQ(ourRows(file.string() + ".copy", pw, t.def.name, error), original);
    EXPECT_EQ(r.summary.rowsDropped, 0u);
    EXPECT_NE(r.log.find("Index sort order changed"), std::string::npos) << r.log;
    EXPECT_NE(r.log.find("(sort order 1041)"), std::string::npos) << r.log;
    EXPECT_EQ(declaredOrder(file.string() + ".copy", pw, t.def.name, column),
              (std::pair<uint16_t, uint8_t>{1033, 0}));
    // Where the leaf is whole the column keeps its order and its keys.
    const fs::path sound = copyFixture(fixturesDir() / "jet4" / kJapanese, dir, "whole.mdb");
    const fs::path copy = dir / "whole-copy.mdb";
    ASSERT_TRUE(jet::compactFile({sound.string(), pw, copy.string(), pw, true}).ok());
    EXPECT_EQ(declaredOrder(copy, pw, t.def.name, column), (std::pair<uint16_t, uint8_t>{1041, 0}));
}

// A row whose entry the damaged index lost, in a column the engine cannot key
// (declared Japanese), takes the key of a row of the same value whose entry
// survived: nothing is keyed anew and the column keeps its order.
TEST(RepairText, ARowWithoutItsEntryTakesTheKeyOfARowOfTheSameValue) {
    SKIP_WITHOUT_MDBTOOLS();
    TempDir dir;
    const fs::path file = dir / "alike.mdb";
    using jet::ColumnType;
    jet::BuildTable t{"Parts",
                      {{"ID", ColumnType::kLong}, {"Code", ColumnType::kText, 20}},
                      {{"PrimaryKey", {{"ID", true}}, true, true}, {"ByCode", {{"Code", true}}}}};
    auto b = jet::DatabaseBuilder::create(file.string(), {}, {t});
    ASSERT_TRUE(b.ok()) << b.error().description;
    const char* codes[] = {"ALPHA", "BETA", "GAMMA"};
    for (int i = 0; i < 60; ++i) ASSERT_TRUE(b.value()->addRow(0, {int64_t(i), codes[i % 3]}).ok());
    ASSERT_TRUE(b.value()->finish().ok());
    const Tables original = userRows(file, "");
    // The column declared Japanese: its ASCII keys are alike in both orders.
    const Layout layout = layoutOf(file, "");
    const Layout::Table& parts = tableNamed(layout, "Parts");
    std::string bytes = readFile(file);
    const jet::Column* code = parts.def.columnByName("Code");
    uint8_t* order =
        pageBytes(bytes, parts.def.firstPage) + code->blockOffset + jet::kColumnSortOrder;
    order[0] = 0x11;  // 1041, version 0
    const std::size_t byCode = indexOn(parts, "Code");
    editLeaf(bytes, parts.indexLeaves[byCode].front(), [](auto& e) { e.erase(e.begin() + 5); });
    writeFile(file, bytes);
    const Repaired r = repair(file, "");
    EXPECT_EQ(r.rows, original);
    EXPECT_EQ(r.summary.rowsDropped, 0u);
    EXPECT_EQ(r.log.find("sort order"), std::string::npos) << r.log;
    EXPECT_EQ(declaredOrder(file.string() + ".copy", "", "Parts", "Code"),
              (std::pair<uint16_t, uint8_t>{1041, 0}));
}

// Damage to indexes alone, every kind, where the indexed text columns are
// declared in the General, the Greek or the Japanese order: no row is
// dropped or left out as foreign. Once, a unique index with one entry
// missing, over a Greek-declared column, "found elsewhere" the rows it no
// longer knew, and the pages holding them were left out.
TEST(RepairText, IndexOnlyDamageDropsNoRowInAnyDeclaredOrder) {
    SKIP_WITHOUT_MDBTOOLS();
    TempDir dir;
    const fs::path built = dir / "orders.mdb";
    using jet::ColumnType;
    jet::BuildTable t{"Πελάτες",
                      {{"Όνομα", ColumnType::kText, 40},
                       {"Πόλη", ColumnType::kText, 30},
                       {"Ποσό", ColumnType::kLong}},
                      {{"PrimaryKey", {{"Όνομα", true}}, true, true},
                       {"ΚατάΠόλη", {{"Πόλη", true}, {"Ποσό", false}}}}};
    auto b = jet::DatabaseBuilder::create(built.string(), {}, {t});
    ASSERT_TRUE(b.ok()) << b.error().description;
    const char* cities[] = {"Αθήνα", "Θεσσαλονίκη", "Πάτρα", "Ηράκλειο", "Λάρισα", "Βόλος"};
    for (int i = 0; i < 400; ++i) {
        const std::string name = "Πελάτης " + std::to_string(1000 + i) + " Ωμέγα ΐΰ";
        ASSERT_TRUE(b.value()->addRow(0, {name, cities[i % 6], int64_t(i * 7 % 113)}).ok());
    }
    ASSERT_TRUE(b.value()->finish().ok());
    const Tables original = userRows(built, "");
    const Layout layout = layoutOf(built, "");
    const Layout::Table& table = tableNamed(layout, "Πελάτες");
    ASSERT_GT(table.dataPages.size(), 2u);
    const std::size_t pk = indexOn(table, "Όνομα"), byCity = indexOn(table, "Πόλη");
    using Damage = std::function<void(std::string&)>;
    const std::vector<std::pair<std::string, Damage>> damages = {
        {"a leaf of the primary key zeroed",
         [&](std::string& x) { std::fill_n(pageBytes(x, table.indexLeaves[pk].back()), 4096, 0); }},
        {"a leaf of the primary key scrambled",
         [&](std::string& x) {
             std::mt19937 g(7);
             uint8_t* p = pageBytes(x, table.indexLeaves[pk].front());
             for (std::size_t i = 0x1E0; i < 4096; ++i) p[i] = static_cast<uint8_t>(g());
         }},
        {"one entry missing from the primary key",
         [&](std::string& x) {
             editLeaf(x, table.indexLeaves[pk].front(), [](auto& e) { e.erase(e.begin() + 3); });
         }},
        {"one entry of the primary key duplicated",
         [&](std::string& x) {
             editLeaf(x, table.indexLeaves[pk].front(),
                      [](auto& e) {
                          // In place of a later entry: the leaf is full.
                          const auto twin = e[4];
                          e.erase(e.begin() + 9);
                          e.insert(e.begin() + 4, twin);
                      });
         }},
        {"one entry missing from the city index",
         [&](std::string& x) {
             editLeaf(x, table.indexLeaves[byCity].front(),
                      [](auto& e) { e.erase(e.begin() + 1); });
         }},
        {"every leaf of both indexes zeroed",
         [&](std::string& x) {
             for (const auto& leaves : table.indexLeaves)
                 for (uint32_t leaf : leaves) std::fill_n(pageBytes(x, leaf), 4096, 0);
         }},
    };
    const std::string bytes = readFile(built);
    const std::pair<uint8_t, const char*> orders[] = {
        {0x09, "General (1033)"}, {0x08, "Greek (1032)"}, {0x11, "Japanese (1041)"}};
    for (const auto& [lcidLow, order] : orders) {
        std::string declared = bytes;
        for (const char* column : {"Όνομα", "Πόλη"}) {
            const jet::Column* c = table.def.columnByName(column);
            pageBytes(declared, table.def.firstPage)[c->blockOffset + jet::kColumnSortOrder] =
                lcidLow;
        }
        for (const auto& [what, damage] : damages) {
            SCOPED_TRACE(what + ", declared " + order);
            std::string damaged = declared;
            damage(damaged);
            const fs::path src = dir / "damaged.mdb";
            writeFile(src, damaged);
            const Repaired r = repair(src, "");
            EXPECT_EQ(r.rows, original);
            EXPECT_EQ(r.summary.rowsDropped, 0u) << r.log;
            EXPECT_EQ(r.summary.rowsForeign, 0u) << r.log;
            EXPECT_TRUE(r.summary.account.balances());
        }
    }
}
