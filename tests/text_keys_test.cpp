// Text in every script on real files: Access-made tables with their text
// rewritten as Greek, Cyrillic and CJK (keys made by the engine's encoder)
// read, check and compact as the Latin originals do, and the checker
// compares every text key with its row.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "builder/Builder.h"
#include "format/IndexPage.h"
#include "format/Row.h"
#include "format/TableDef.h"
#include "format/Text.h"
#include "jet/Check.h"
#include "jet/Compact.h"
#include "keys/TextKey.h"
#include "ops/check/Checker.h"
#include "read/Database.h"
#include "read/Value.h"
#include "support/DamageLayout.h"
#include "support/EngineReads.h"
#include "support/Fixtures.h"
#include "support/Oracle.h"
#include "support/ScriptRewrite.h"

using namespace testsupport;

namespace {

const char* kTraders = "sample-traders-full-2000.mdb";

fs::path tradersIn(Script script, const TempDir& dir, const char* fixture = kTraders) {
    const fs::path f = copyFixture(fixturesDir() / "jet4" / fixture, dir);
    const RewriteReport r = rewriteInScript(f, "", sampleTradersText(), script);
    EXPECT_GT(r.values, 1000u);
    EXPECT_EQ(r.indexes, 9u);
    std::cout << "[ rewritten: " << r.values << " values (" << r.unchanged << " too short), "
              << r.indexes << " indexes, " << r.pagesAdded << " pages added ]\n";
    return f;
}

// Every index entry of every user table as "table/index: key | the row's
// values" (the system tables' keys hold table Ids, which a compaction
// numbers anew).
std::multiset<std::string> keyedRows(const fs::path& f) {
    auto db = jet::Database::open(jet::Env::standard(), f.string(), "");
    std::multiset<std::string> out;
    for (const auto& t : db->localTables()) {
        if (t.isSystem()) continue;
        const jet::TableDef& def = db->tableDef(t.tdefPage(), t.name);
        for (std::size_t i = 0; i < def.realIndexes.size(); ++i) {
            const auto& ri = def.realIndexes[i];
            for (const auto& e :
                 jet::readIndexTree(db->file(), ri.rootPage, def.firstPage, t.name).entries) {
                std::string line = t.name + "/" + std::to_string(i) + ":";
                for (uint8_t b : e.key) line += " " + std::to_string(b);
                line += " |";
                jet::PageRef holder;
                jet::RowPtr at;
                const jet::RowView rv =
                    jet::crackRow(def, db->fetchRow(def, e.row, holder, &at), at.page, at.row);
                for (const auto& c : def.columns)
                    line += " " + jet::columnJson(*db, def, c, rv, at.page, at.row);
                out.insert(line);
            }
        }
    }
    return out;
}

// The leaf pages of the table's index on the column (its first column).
std::vector<uint32_t> leavesOf(const fs::path& f, const std::string& table,
                               const std::string& column) {
    auto db = jet::Database::open(jet::Env::standard(), f.string(), "");
    for (const auto& t : db->localTables()) {
        if (t.name != table) continue;
        const jet::TableDef& def = db->tableDef(t.tdefPage(), t.name);
        const jet::Column* c = def.columnByName(column);
        for (const auto& ri : def.realIndexes) {
            if (c && ri.columns.front().column == c->number)
                return jet::readIndexTree(db->file(), ri.rootPage, def.firstPage, t.name)
                    .levels.back();
        }
    }
    ADD_FAILURE() << "no index on " << table << "." << column;
    return {};
}

// A table T of an ID primary key and one indexed text column, a row for
// each value.
void buildIndexedText(const fs::path& f, const std::string& column,
                      const std::vector<std::string>& values) {
    const jet::BuildTable t{
        "T",
        {{"ID", jet::ColumnType::kLong}, {column, jet::ColumnType::kText, 40}},
        {{"PrimaryKey", {{"ID", true}}, true}, {"By" + column, {{column, true}}}}};
    auto b = jet::DatabaseBuilder::create(f.string(), {}, {t});
    ASSERT_TRUE(b.ok()) << b.error().description;
    for (std::size_t i = 0; i < values.size(); ++i)
        ASSERT_TRUE(b.value()->addRow(0, {static_cast<int64_t>(i), values[i]}).ok());
    ASSERT_TRUE(b.value()->finish().ok());
}

std::vector<std::string> problemsOf(const fs::path& f) {
    auto report = jet::checkFile(f.string(), "");
    EXPECT_TRUE(report.ok()) << report.error().description;
    if (!report.ok()) return {"not checked"};
    std::vector<std::string> texts;
    for (const auto& p : report.value().problems) texts.push_back(p.text);
    return texts;
}

}  // namespace

TEST(TextInEveryScript, RewrittenFilesAreSoundReadAlikeAndCompactFaithfully) {
    SKIP_WITHOUT_FIXTURES();
    SKIP_WITHOUT_MDBTOOLS();
    const std::pair<Script, const char*> scripts[] = {
        {Script::kGreek, "Εμπορική"}, {Script::kCyrillic, "Торговый"}, {Script::kCjk, "北海道"}};
    for (const auto& scriptAndWord : scripts) {
        const Script script = scriptAndWord.first;
        const std::string word = scriptAndWord.second;
        SCOPED_TRACE(word);
        TempDir dir;
        const fs::path src = tradersIn(script, dir);
        EXPECT_EQ(problemsOf(src), std::vector<std::string>{});
        std::string checked;
        EXPECT_EQ(
            runCommand(shellQuote(JET4_BINARY) + " check " + shellQuote(src.string()), checked), 0)
            << checked;
        // mdbtools reads the new text as the engine does.
        for (const char* table : {"Customers", "Suppliers", "Orders", "Categories"}) {
            std::string error;
            const auto rows = mdbRows(src.string(), table);
            EXPECT_EQ(rows, ourRows(src.string(), "", table, error)) << table << error;
        }
        const auto names = mdbRows(src.string(), "Suppliers");
        EXPECT_TRUE(std::any_of(names.begin(), names.end(), [&](const std::string& r) {
            return r.find(word) != std::string::npos;
        }));
        // A healthy compaction brings every row and every (key, row) pair.
        jet::CompactRequest req;
        req.sourcePath = src.string();
        req.destinationPath = (dir / "copy.mdb").string();
        auto r = jet::compactFile(req);
        ASSERT_TRUE(r.ok()) << r.error().description;
        EXPECT_FALSE(r->repair.lostOrChanged());
        EXPECT_EQ(problemsOf(dir / "copy.mdb"), std::vector<std::string>{});
        EXPECT_EQ(keyedRows(dir / "copy.mdb"), keyedRows(src));
        for (const auto& t : mdbTables(src.string())) {
            std::string e1, e2;
            EXPECT_EQ(ourRows(req.destinationPath, "", t, e2), ourRows(src.string(), "", t, e1))
                << t;
        }
    }
    // The same sample after later edits, with its many deleted rows.
    TempDir dir;
    const fs::path edited = tradersIn(Script::kGreek, dir, "sample-traders-deleted-rows.mdb");
    EXPECT_EQ(problemsOf(edited), std::vector<std::string>{});
}

TEST(TextInEveryScript, AnIndexWhoseNewKeysOutgrowItsPagesTakesPagesAtTheEnd) {
    SKIP_WITHOUT_MDBTOOLS();
    // Four digits become three Greek capitals: keys two bytes longer, on
    // leaves the builder packed full.
    TempDir dir;
    const fs::path f = dir / "codes.mdb";
    std::vector<std::string> codes;
    for (int i = 0; i < 1500; ++i) {
        char code[8];
        std::snprintf(code, sizeof code, "%04d", i);
        codes.emplace_back(code);
    }
    ASSERT_NO_FATAL_FAILURE(buildIndexedText(f, "Code", codes));
    const std::size_t leavesBefore = leavesOf(f, "T", "Code").size();
    const auto keyedBefore = keyedRows(f);
    const RewriteReport r = rewriteAsGreek(f, {{"T", "Code"}});
    EXPECT_EQ(r.values, 1500u);
    EXPECT_GT(r.pagesAdded, 0u);
    EXPECT_GT(leavesOf(f, "T", "Code").size(), leavesBefore);
    EXPECT_EQ(problemsOf(f), std::vector<std::string>{});
    std::string error;
    EXPECT_EQ(mdbRows(f.string(), "T"), ourRows(f.string(), "", "T", error)) << error;
    EXPECT_NE(keyedRows(f), keyedBefore);
}

TEST(TextInEveryScript, AWrongGreekKeyIsNamedWithItsPageAndRowWhereTheOrderIsGeneral) {
    SKIP_WITHOUT_FIXTURES();
    SKIP_WITHOUT_MDBTOOLS();
    TempDir dir;
    const fs::path f = tradersIn(Script::kGreek, dir);
    const uint32_t leaf = leavesOf(f, "Customers", "CustomerID").front();
    // The fourth key given a diacritic it does not have: still in order,
    // but not the key of its row.
    std::string bytes = readFile(f);
    jet::RowPtr row;
    editLeaf(bytes, leaf, [&](std::vector<jet::IndexEntry>& e) {
        jet::Bytes key(e[3].key.begin(), e[3].key.end());
        key.insert(key.end() - 1, 0x13);
        e[3].key = jet::IndexKey(key);
        row = e[3].row;
    });
    writeFile(f, bytes);
    auto report = jet::checkFile(f.string(), "");
    ASSERT_TRUE(report.ok());
    const std::string named = "key of column 'CustomerID' does not match the row at page " +
                              std::to_string(row.page) + " row " + std::to_string(row.row);
    ASSERT_EQ(report.value().problems.size(), 1u);
    EXPECT_NE(report.value().problems[0].text.find(named), std::string::npos)
        << report.value().problems[0].text;
    EXPECT_NE(report.value().problems[0].remedy.find("rebuilds the index"), std::string::npos);
    std::string out;
    EXPECT_EQ(runCommand(shellQuote(JET4_BINARY) + " check " + shellQuote(f.string()), out), 1);
    EXPECT_NE(out.find(named), std::string::npos) << out;
    {
        // Where, as data beside the words: the table, the page and the row.
        auto db = jet::Database::open(jet::Env::standard(), f.string(), "");
        const jet::CheckResult checked = jet::checkDatabase(*db);
        ASSERT_EQ(checked.findings.size(), 1u);
        const jet::Finding& found = checked.findings[0];
        EXPECT_EQ(found.remedy, jet::Remedy::kIndexRebuilt);
        EXPECT_EQ(found.page, row.page);
        EXPECT_EQ(found.row, row.row);
        for (const auto& t : db->localTables()) {
            if (t.name == "Customers") {
                EXPECT_EQ(found.table, t.tdefPage());
            }
        }
        EXPECT_EQ(checked.damagedTables().size(), 1u);
    }

    // The same key under a column that declares the Greek order (1032): the
    // engine does not encode that order, so the key is not judged.
    auto db = jet::Database::open(jet::Env::standard(), f.string(), "");
    std::size_t at = 0;
    for (const auto& t : db->localTables()) {
        if (t.name != "Customers") continue;
        const jet::TableDef& def = db->tableDef(t.tdefPage(), t.name);
        ASSERT_EQ(def.pages.size(), 1u);
        at = std::size_t{def.firstPage} * 4096 + def.columnByName("CustomerID")->blockOffset +
             jet::kColumnSortOrder;
    }
    db.reset();
    ASSERT_EQ(bytes.substr(at, 4), std::string("\x09\x04\x00\x00", 4));
    bytes.replace(at, 2, "\x08\x04");
    writeFile(f, bytes);
    EXPECT_EQ(problemsOf(f), std::vector<std::string>{});
    EXPECT_EQ(runCommand(shellQuote(JET4_BINARY) + " check " + shellQuote(f.string()), out), 0)
        << out;
}

TEST(TextInEveryScript, ASharpSKeyOfEitherCountPassesAndOneOfNeitherIsNamed) {
    TempDir dir;
    const fs::path f = dir / "names.mdb";
    const std::vector<std::string> names = {"Berlin", "Gro\xC3\x9Fm\xC3\xA4rkte",
                                            "Nu\xC3\x9F-Nougat",
                                            "Stra\xC3\x9F"
                                            "e",
                                            "Zo\xC3\xAB"};
    ASSERT_NO_FATAL_FAILURE(buildIndexedText(f, "Name", names));
    EXPECT_EQ(problemsOf(f), std::vector<std::string>{});  // the sharp s counted twice
    const uint32_t leaf = leavesOf(f, "T", "Name").front();
    const std::string built = readFile(f);
    // Each key made with the sharp s counted once, as a later engine writes it.
    auto rekey = [&](jet::SharpS count, bool spoil) {
        std::string bytes = built;
        editLeaf(bytes, leaf, [&](std::vector<jet::IndexEntry>& e) {
            for (std::size_t i = 0; i < e.size(); ++i) {
                std::u16string name;
                ASSERT_TRUE(jet::utf8ToUtf16(names[i], name));
                jet::Bytes key = jet::encodeTextKey(name, true, count);
                if (spoil && i == 1) key[key.size() - 2] = 0x14;  // ä as â
                e[i].key = jet::IndexKey(key);
            }
        });
        writeFile(f, bytes);
        return problemsOf(f);
    };
    EXPECT_EQ(rekey(jet::SharpS::kOnePosition, false), std::vector<std::string>{});
    EXPECT_EQ(rekey(jet::SharpS::kTwoPositions, false), std::vector<std::string>{});
    const auto spoilt = rekey(jet::SharpS::kOnePosition, true);
    ASSERT_EQ(spoilt.size(), 1u);
    EXPECT_NE(spoilt[0].find("key of column 'Name' does not match the row"), std::string::npos)
        << spoilt[0];
}
