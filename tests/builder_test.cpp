// Databases built from scratch: they check clean, read through mdbtools as
// the rows that were put in, keep their password and encoding, and compact.
#include "builder/Builder.h"

#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>

#include "format/Row.h"
#include "format/Text.h"
#include "jet/Check.h"
#include "jet/Compact.h"
#include "read/Database.h"
#include "read/Value.h"
#include "support/Fixtures.h"
#include "support/Oracle.h"
#include "support/SampleDatabase.h"

using namespace testsupport;

namespace {

// mdb-json's rows of a table, by their ID column.
std::map<int, nlohmann::json> mdbRowsById(const fs::path& file, const std::string& table) {
    std::string out;
    runCommand("mdb-json " + shellQuote(file.string()) + " " + shellQuote(table) + " 2>/dev/null",
               out);
    std::map<int, nlohmann::json> rows;
    std::stringstream ss(out);
    std::string line;
    while (std::getline(ss, line)) {
        auto obj = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
        if (obj.is_object() && obj.contains("ID")) {
            const int id = obj["ID"].get<int>();
            rows[id] = std::move(obj);
        }
    }
    return rows;
}

void expectCleanCheck(const fs::path& file, const std::string& password) {
    auto r = jet::checkFile(file.string(), password);
    ASSERT_TRUE(r.ok()) << r.error().description;
    for (const auto& p : r.value().problems) ADD_FAILURE() << p.text;
    for (const auto& n : r.value().notes) ADD_FAILURE() << n;
}

jet::Result<jet::CompactResult> compact(const fs::path& src, const fs::path& dst,
                                        const std::string& pw) {
    return jet::compactFile({src.string(), pw, dst.string(), pw, true});
}

}  // namespace

TEST(Builder, BuiltDatabasesCheckCleanAndReadAsPutIn) {
    SKIP_WITHOUT_MDBTOOLS();
    struct Variant {
        const char* name;
        std::string password;
        uint32_t key;
    } variants[] = {{"plain", "", 0},
                    {"password", "s3cret pw", 0},
                    {"encoded", "", 0x1234ABCD},
                    {"both", "MARLIN4ii8-tb3pz6qk", 0xA7B773E0}};
    for (const auto& v : variants) {
        SCOPED_TRACE(v.name);
        TempDir dir;
        const fs::path db = dir / "built.mdb";
        SampleOptions o;
        o.password = v.password;
        o.databaseKey = v.key;
        o.rows = 240;
        buildSampleDatabase(db.string(), o);
        expectCleanCheck(db, v.password);

        auto info = jet::databaseInfo(db.string(), v.password);
        ASSERT_TRUE(info.ok());
        EXPECT_EQ(info.value().encoded, v.key != 0);
        EXPECT_EQ(info.value().hasPassword, !v.password.empty());
        EXPECT_GT(info.value().report.unreachablePages(), 0u);  // the unused pages
        EXPECT_GT(info.value().report.deadRowBytes, 0u);        // the deleted rows
        if (!v.password.empty()) {
            auto wrong = jet::checkFile(db.string(), v.password + "!");
            ASSERT_FALSE(wrong.ok());
            EXPECT_EQ(wrong.error().number, -2147217843);
        }

        // mdbtools reads what was put in: every live row, by its AutoNumber.
        auto rows = mdbRowsById(db, "Customers");
        int live = 0;
        for (int i = 0; i < o.rows; ++i) {
            if (i % 4 == 3) {
                EXPECT_FALSE(rows.count(i + 1)) << "deleted row " << i << " is still there";
                continue;
            }
            ++live;
            SCOPED_TRACE("row " + std::to_string(i));
            ASSERT_TRUE(rows.count(i + 1));
            const nlohmann::json& r = rows[i + 1];
            auto name = sampleValue(i, 1);
            if (std::holds_alternative<std::string>(name)) {
                EXPECT_EQ(r.at("Name"), std::get<std::string>(name));
            } else {
                EXPECT_FALSE(r.contains("Name"));
            }
            EXPECT_EQ(r.at("Visits"), std::get<int64_t>(sampleValue(i, 5)));
            EXPECT_EQ(r.at("Notes"), std::get<std::string>(sampleValue(i, 9)));
            auto pic = sampleValue(i, 10);
            if (std::holds_alternative<jet::Bytes>(pic)) {
                EXPECT_EQ(r.at("Picture").at("$binary"), jet::base64(std::get<jet::Bytes>(pic)));
            }
            EXPECT_EQ(r.at("Grade"), i % 256);
        }
        EXPECT_EQ(static_cast<int>(rows.size()), live);
        // Our reader and mdbtools agree on every value.
        std::string err;
        EXPECT_EQ(ourRows(db.string(), v.password, "Customers", err),
                  mdbRows(db.string(), "Customers"));

        std::string schema;
        runCommand("mdb-schema --indexes " + shellQuote(db.string()) + " postgres 2>/dev/null",
                   schema);
        for (const char* s :
             {"\"customers\"", "\"joined\"", "\"picture\"", "\"id\"\t\t\tSERIAL",
              "customers_byname_idx", "(\"joined\" DESC, \"visits\")", "PRIMARY KEY (\"id\")"}) {
            EXPECT_NE(schema.find(s), std::string::npos) << s;
        }
    }
}

TEST(Builder, CompactingABuiltDatabaseReclaimsItsDeadSpace) {
    SKIP_WITHOUT_MDBTOOLS();
    TempDir dir;
    for (uint32_t key : {0u, 0x5EEDu}) {
        SCOPED_TRACE(key);
        const fs::path db = dir / ("built" + std::to_string(key) + ".mdb");
        SampleOptions o;
        o.password = "pw";
        o.databaseKey = key;
        buildSampleDatabase(db.string(), o);
        const fs::path out = dir / ("copy" + std::to_string(key) + ".mdb");
        auto r = compact(db, out, "pw");
        ASSERT_TRUE(r.ok()) << r.error().description;
        EXPECT_LT(fs::file_size(out), fs::file_size(db));
        auto info = jet::databaseInfo(out.string(), "pw");
        ASSERT_TRUE(info.ok());
        EXPECT_EQ(info.value().report.unreachablePages(), 0u);
        EXPECT_EQ(info.value().report.deadRowBytes, 0u);
        EXPECT_EQ(info.value().encoded, key != 0);
        std::string e1, e2;
        EXPECT_EQ(ourRows(out.string(), "pw", "Customers", e1),
                  ourRows(db.string(), "pw", "Customers", e2));
        EXPECT_EQ(mdbRows(out.string(), "Customers"), mdbRows(db.string(), "Customers"));
        const fs::path again = dir / ("again" + std::to_string(key) + ".mdb");
        ASSERT_TRUE(compact(out, again, "pw").ok());
        EXPECT_TRUE(readFile(again) == readFile(out));
    }
}

TEST(Builder, WideDefinitionsAndLargeTablesUseContinuationPagesAndReferenceMaps) {
    SKIP_WITHOUT_MDBTOOLS();
    TempDir dir;
    const fs::path db = dir / "big.mdb";
    jet::BuildTable wide{"Wide", {}, {}};
    for (int c = 0; c < 120; ++c) {
        wide.columns.push_back(
            {"A rather long column name number " + std::to_string(c), jet::ColumnType::kLong});
    }
    jet::BuildTable large{"Large",
                          {{"ID", jet::ColumnType::kLong},
                           {"Payload", jet::ColumnType::kText, 255},
                           {"More", jet::ColumnType::kText, 255},
                           {"Rest", jet::ColumnType::kText, 255}},
                          {{"PrimaryKey", {{"ID", true}}, true}}};
    auto b = jet::DatabaseBuilder::create(db.string(), {}, {wide, large});
    ASSERT_TRUE(b.ok());
    std::vector<jet::Value> w(120);
    for (std::size_t c = 0; c < w.size(); ++c) w[c] = static_cast<int64_t>(c);
    ASSERT_TRUE(b.value()->addRow(0, w).ok());
    // About 1,500 bytes a row: two rows a page, 1,400 pages, beyond what an
    // inline usage map can list.
    for (int i = 0; i < 2800; ++i) {
        std::string s(250, static_cast<char>('A' + i % 26));
        ASSERT_TRUE(b.value()->addRow(1, {int64_t(2800 - i), s + "\xC3\xA9", s, s}).ok());
    }
    ASSERT_TRUE(b.value()->finish().ok());
    expectCleanCheck(db, "");
    EXPECT_EQ(mdbRows(db.string(), "Wide").size(), 1u);
    EXPECT_EQ(mdbRows(db.string(), "Large").size(), 2800u);
    const fs::path out = dir / "copy.mdb";
    auto r = compact(db, out, "");
    ASSERT_TRUE(r.ok()) << r.error().description;
    expectCleanCheck(out, "");
    EXPECT_EQ(mdbRows(out.string(), "Large"), mdbRows(db.string(), "Large"));
}

TEST(Builder, TextInAnyScriptIsStoredAsJetStoresItAndKeyedInTheGeneralOrder) {
    SKIP_WITHOUT_MDBTOOLS();
    // A Greek primary key and indexed Greek, Cyrillic and CJK names, with
    // Latin ones among them: stored compressed where every unit fits one
    // byte, else as UTF-16.
    TempDir dir;
    const fs::path db = dir / "scripts.mdb";
    const jet::BuildTable t{"Πελάτες",
                            {{"Κωδικός", jet::ColumnType::kText, 12},
                             {"Name", jet::ColumnType::kText, 60},
                             {"City", jet::ColumnType::kText, 40}},
                            {{"PrimaryKey", {{"Κωδικός", true}}, true},
                             {"ByName", {{"Name", true}}},
                             {"ByCity", {{"City", false}, {"Name", true}}}}};
    const std::vector<std::vector<std::string>> rows = {
        {"ΑΘΗ-001", "Εμπορική Αθηνών Α.Ε.", "Αθήνα"},
        {"ΘΕΣ-002", "Καφέ «Ωραία» Ο.Ε.", "Θεσσαλονίκη"},
        {"ΜΟΣ-003", "Торговый дом Москва", "Москва"},
        {"ΤΟΚ-004", "東京株式会社", "東京"},
        {"PAR-005", "Caf\xC3\xA9 de la Gare", "Paris"},
        {"ΕΜΟ-006", "Ζαχαροπλαστείο Ｓｗｅｅｔ", "Ｔｏｋｙｏ"},  // fullwidth forms
    };
    {
        auto b = jet::DatabaseBuilder::create(db.string(), {}, {t});
        ASSERT_TRUE(b.ok()) << b.error().description;
        for (const auto& r : rows) ASSERT_TRUE(b.value()->addRow(0, {r[0], r[1], r[2]}).ok());
        ASSERT_TRUE(b.value()->finish().ok());
    }
    expectCleanCheck(db, "");
    std::vector<std::string> expected;
    for (const auto& r : rows) {
        expected.push_back(
            nlohmann::json{{"Κωδικός", r[0]}, {"Name", r[1]}, {"City", r[2]}}.dump());
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(mdbRows(db.string(), "Πελάτες"), canonicalRows([&] {
                  std::string lines;
                  for (const auto& e : expected) lines += e + "\n";
                  return lines;
              }()));
    // How each name is stored.
    auto opened = jet::Database::open(jet::Env::standard(), db.string(), "");
    const auto tables = opened->localTables();
    const auto& entry = tables.back();
    const jet::TableDef& def = opened->tableDef(entry.tdefPage(), entry.name);
    std::map<std::string, bool> compressed;
    opened->scanRows(def, [&](const jet::RowLocation& at, jet::ByteView b) {
        const jet::RowView rv = jet::crackRow(def, b, at.data.page, at.data.row);
        auto name = jet::columnBytes(def, *def.columnByName("Name"), rv, at.data.page, at.data.row);
        ASSERT_TRUE(name);
        compressed[jet::utf16ToUtf8(jet::decodeText(*name))] =
            name->size() >= 2 && (*name)[0] == 0xFF && (*name)[1] == 0xFE;
    });
    EXPECT_TRUE(compressed["Caf\xC3\xA9 de la Gare"]);
    EXPECT_FALSE(compressed["Εμπορική Αθηνών Α.Ε."]);
    EXPECT_FALSE(compressed["東京株式会社"]);
    opened.reset();
    const fs::path out = dir / "copy.mdb";
    ASSERT_TRUE(compact(db, out, "").ok());
    expectCleanCheck(out, "");
    EXPECT_EQ(mdbRows(out.string(), "Πελάτες"), mdbRows(db.string(), "Πελάτες"));
}

// Characters beyond the basic plane (mdbtools reads them as "??", so our
// own reader is the witness here) are keyed as their surrogates, in a key of
// one column and as the first of two.
TEST(Builder, CharactersBeyondTheBasicPlaneAreKeyedAndKeptByACompaction) {
    TempDir dir;
    const fs::path db = dir / "emoji.mdb";
    const jet::BuildTable t{"Γλυκά",
                            {{"ID", jet::ColumnType::kLong}, {"Name", jet::ColumnType::kText, 40}},
                            {{"PrimaryKey", {{"ID", true}}, true},
                             {"ByName", {{"Name", true}}},
                             {"ByNameDown", {{"Name", false}, {"ID", true}}}}};
    const std::vector<std::string> names = {"\xF0\x9F\x8E\x82 Τούρτα",
                                            "Μπακλαβάς \xF0\x9F\x8D\xAF-2",
                                            "\xF0\xA0\x80\x80\xF0\xAF\xA0\x80", "\xF4\x8F\xBF\xBD"};
    {
        auto b = jet::DatabaseBuilder::create(db.string(), {}, {t});
        ASSERT_TRUE(b.ok()) << b.error().description;
        for (std::size_t i = 0; i < names.size(); ++i)
            ASSERT_TRUE(b.value()->addRow(0, {int64_t(i), names[i]}).ok()) << names[i];
        ASSERT_TRUE(b.value()->finish().ok());
    }
    expectCleanCheck(db, "");
    const fs::path out = dir / "copy.mdb";
    ASSERT_TRUE(compact(db, out, "").ok());
    expectCleanCheck(out, "");
    auto copy = jet::Database::open(jet::Env::standard(), out.string(), "");
    const auto entry = copy->localTables().back();
    const jet::TableDef& def = copy->tableDef(entry.tdefPage(), entry.name);
    std::vector<std::string> kept;
    copy->scanRows(def, [&](const jet::RowLocation& at, jet::ByteView b) {
        const jet::RowView rv = jet::crackRow(def, b, at.data.page, at.data.row);
        auto name = jet::columnBytes(def, *def.columnByName("Name"), rv, at.data.page, at.data.row);
        ASSERT_TRUE(name);
        kept.push_back(jet::utf16ToUtf8(jet::decodeText(*name)));
    });
    std::sort(kept.begin(), kept.end());
    std::vector<std::string> expect = names;
    std::sort(expect.begin(), expect.end());
    EXPECT_EQ(kept, expect);
}

TEST(Builder, RefusesWhatItCannotWrite) {
    TempDir dir;
    jet::BuildTable t{
        "T",
        {{"ID", jet::ColumnType::kLong}, {"Name", jet::ColumnType::kText, 20}},
        {{"PrimaryKey", {{"ID", true}}, true}, {"ByName", {{"Name", true}}, false, true}}};
    {
        auto b = jet::DatabaseBuilder::create((dir / "a.mdb").string(), {}, {t});
        ASSERT_TRUE(b.ok());
        // U+F8FF (private use) has a key like any unit.
        ASSERT_TRUE(b.value()->addRow(0, {int64_t(1), std::string("a\xEF\xA3\xBF")}).ok());
        EXPECT_FALSE(b.value()->addRow(0, {int64_t(2), std::string(21, 'x')}).ok());
        EXPECT_FALSE(b.value()->addRow(0, {std::string("not a number"), std::monostate{}}).ok());
        ASSERT_TRUE(b.value()->addRow(0, {int64_t(3), std::string("Same")}).ok());
        ASSERT_TRUE(b.value()->addRow(0, {int64_t(4), std::string("same")}).ok());
        auto dup = b.value()->finish();
        ASSERT_FALSE(dup.ok());
        EXPECT_NE(dup.error().description.find("unique"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(dir / "a.mdb")) << "an unfinished database was left behind";
    writeFile(dir / "exists.mdb", "x");
    auto exists = jet::DatabaseBuilder::create((dir / "exists.mdb").string(), {}, {t});
    ASSERT_FALSE(exists.ok());
    EXPECT_EQ(readFile(dir / "exists.mdb"), "x");
    jet::BuildTable bad{"B", {{"Memo", jet::ColumnType::kMemo}}, {{"ByMemo", {{"Memo", true}}}}};
    EXPECT_FALSE(jet::DatabaseBuilder::create((dir / "b.mdb").string(), {}, {bad}).ok());
    jet::BuildOptions longPassword;
    longPassword.password = std::string(21, 'p');
    EXPECT_FALSE(jet::DatabaseBuilder::create((dir / "c.mdb").string(), longPassword, {t}).ok());
}
