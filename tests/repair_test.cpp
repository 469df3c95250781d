// Damaged databases compacted and repaired, one group of cases for each
// kind of damage. Every case asserts the same: the source is untouched; the
// copy passes the check and reads the same through mdbtools; the rows that
// survive are the original's (a row kept with a value set to null aside);
// and every row lost or changed is accounted for in MSysCompactError.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <random>
#include <regex>
#include <set>

#include "format/DataPage.h"
#include "format/IndexPage.h"
#include "format/LongValue.h"
#include "format/Row.h"
#include "format/UsageMap.h"
#include "jet/Check.h"
#include "jet/Compact.h"
#include "read/Database.h"
#include "support/DamageLayout.h"
#include "support/EngineReads.h"
#include "support/Fixtures.h"
#include "support/Oracle.h"
#include "support/SampleDatabase.h"

using namespace testsupport;

namespace {

using Rows = std::vector<std::string>;  // canonical rows, sorted
using Tables = std::map<std::string, Rows>;

// Our own database: the sample table (a primary key and two more indexes,
// memo and OLE values in every form, deleted rows) and a table no index
// lists, whose rows only the pages themselves can vouch for.
void buildDamageable(const fs::path& path, int rows) {
    using jet::ColumnType;
    jet::BuildTable plain{
        "Plain",
        {{"ID", ColumnType::kLong}, {"Label", ColumnType::kText, 40}, {"Story", ColumnType::kMemo}},
        {}};
    auto b = jet::DatabaseBuilder::create(path.string(), {}, {sampleTable(), plain});
    ASSERT_TRUE(b.ok()) << b.error().description;
    for (int i = 0; i < rows; ++i) {
        std::vector<jet::Value> v;
        for (std::size_t k = 0; k < 12; ++k) v.push_back(sampleValue(i, k));
        const auto form = i % 3 == 0 ? jet::LongValueForm::kChain : jet::LongValueForm::kBySize;
        ASSERT_TRUE(b.value()->addRow(0, v, i % 7 == 3, form).ok());
    }
    for (int i = 0; i < rows; ++i) {
        jet::Value story = std::string(static_cast<std::size_t>(30 + (i * 53) % 500), 'x');
        ASSERT_TRUE(b.value()
                        ->addRow(1, {int64_t(i), "row " + std::to_string(i), story}, i % 11 == 5)
                        .ok());
    }
    ASSERT_TRUE(b.value()->finish().ok());
}

// Where a table's parts lie in a file.
struct Anatomy {
    jet::TableDef def;
    std::vector<uint32_t> dataPages, lvPages;
    std::vector<std::vector<std::vector<uint32_t>>> indexLevels;  // by index, root level first
};

Anatomy anatomy(const fs::path& file, const std::string& pw, const std::string& table) {
    Anatomy a;
    auto db = jet::Database::open(jet::Env::standard(), file.string(), pw);
    for (const auto& t : db->localTables()) {
        if (t.name != table) continue;
        a.def = db->tableDef(t.tdefPage(), t.name);
    }
    a.dataPages = jet::readUsageMap(db->file(), a.def.ownedMap, "owned").pages;
    for (const auto& m : a.def.longValueMaps) {
        if (m.owned.isNull()) continue;
        auto p = jet::readUsageMap(db->file(), m.owned, "lv").pages;
        a.lvPages.insert(a.lvPages.end(), p.begin(), p.end());
    }
    for (const auto& ri : a.def.realIndexes)
        a.indexLevels.push_back(
            jet::readIndexTree(db->file(), ri.rootPage, a.def.firstPage, "index").levels);
    return a;
}

void zeroPage(std::string& bytes, uint32_t p) { std::fill_n(pageBytes(bytes, p), 4096, 0); }

uint32_t firstLeaf(const Anatomy& a, std::size_t index) {
    return a.indexLevels[index].back().front();
}

// The live slots of a data page.
std::vector<jet::Slot> liveSlots(const std::string& bytes, uint32_t p) {
    const jet::DataPage dp = jet::parseDataPage(pageCopy(bytes, p), p);
    std::vector<jet::Slot> out;
    for (const auto& s : dp.slots) {
        if (!s.deleted) out.push_back(s);
    }
    return out;
}

Tables userRows(const fs::path& file, const std::string& pw) {
    Tables out;
    for (const auto& t : mdbTables(file.string())) {
        std::string error;
        out[t] = ourRows(file.string(), pw, t, error);
        EXPECT_TRUE(error.empty()) << t << ": " << error;
    }
    return out;
}

// Rows of a that b lacks (as multisets).
Rows minus(const Rows& a, const Rows& b) {
    Rows out;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    return out;
}

// Whether every field of row appears in some row of rows (a row kept with
// a value set to null).
bool narrowerThanOneOf(const std::string& row, const Rows& rows) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t i; (i = row.find('\x1f', start)) != std::string::npos; start = i + 1)
        fields.push_back(row.substr(start, i - start + 1));
    return std::any_of(rows.begin(), rows.end(), [&](const std::string& o) {
        return std::all_of(fields.begin(), fields.end(),
                           [&](const std::string& f) { return o.find(f) != std::string::npos; });
    });
}

std::vector<std::string> fieldsOf(const std::string& row) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t i; (i = row.find('\x1f', start)) != std::string::npos; start = i + 1)
        out.push_back(row.substr(start, i - start));
    return out;
}

// Rows alike but for numbers printed to six places from values that differ
// in their last bits (mdbtools rounds as stored, we print the double).
bool closeRows(const std::string& a, const std::string& b) {
    const auto fa = fieldsOf(a), fb = fieldsOf(b);
    if (fa.size() != fb.size()) return false;
    for (std::size_t i = 0; i < fa.size(); ++i) {
        if (fa[i] == fb[i]) continue;
        const auto ea = fa[i].find('='), eb = fb[i].find('=');
        if (fa[i].substr(0, ea) != fb[i].substr(0, eb)) return false;
        char* end = nullptr;
        const std::string va = fa[i].substr(ea + 1), vb = fb[i].substr(eb + 1);
        const double x = std::strtod(va.c_str(), &end);
        if (*end != 0) return false;
        const double y = std::strtod(vb.c_str(), &end);
        if (*end != 0 || std::abs(x - y) > 1e-5 * std::max(std::abs(x), std::abs(y))) return false;
    }
    return true;
}

// Two sets of rows compared without printing them all.
::testing::AssertionResult sameRows(const Rows& a, const Rows& b) {
    if (a == b) return ::testing::AssertionSuccess();
    const Rows onlyA = minus(a, b), onlyB = minus(b, a);
    bool close = onlyA.size() == onlyB.size();
    for (std::size_t i = 0; close && i < onlyA.size(); ++i) close = closeRows(onlyA[i], onlyB[i]);
    if (close) return ::testing::AssertionSuccess();
    // Where the first rows that differ part, and a little of each there.
    const std::string x = onlyA.empty() ? "" : onlyA.front(),
                      y = onlyB.empty() ? "" : onlyB.front();
    std::size_t at = 0;
    while (at < x.size() && at < y.size() && x[at] == y[at]) ++at;
    const std::size_t from = at > 60 ? at - 60 : 0;
    return ::testing::AssertionFailure()
           << a.size() << " rows against " << b.size() << "; " << onlyA.size()
           << " only in the first, as: ..." << x.substr(from, 160) << "; against: ..."
           << y.substr(from, 160);
}

struct Repaired {
    jet::RepairSummary summary;
    Tables rows;      // the copy's user tables
    std::string log;  // every ErrorDescription, one a line
    std::vector<std::string> logTables;
};

// Compacts a damaged file and asserts what holds for every kind of damage.
// valuesIntact: the rows lost kept their values where they lay (they were
// not overwritten), so the log must carry them.
Repaired compactDamaged(const fs::path& src, const std::string& pw, const Tables& original,
                        bool valuesIntact = true) {
    Repaired out;
    const std::string before = readFile(src);
    const fs::path copy = src.string() + ".copy";
    fs::remove(copy);
    jet::CompactRequest req{src.string(), pw, copy.string(), pw, true};
    auto r = jet::compactFile(req);
    EXPECT_EQ(readFile(src), before) << "the source was written";
    if (!r.ok()) {
        ADD_FAILURE() << "the repair failed: " << r.error().description;
        return out;
    }
    out.summary = r->repair;
    auto checked = jet::checkFile(copy.string(), pw);
    EXPECT_TRUE(checked.ok() && checked->ok())
        << (checked.ok() ? checked->problems.front().text : checked.error().description);
    out.rows = userRows(copy, pw);
    for (const auto& [t, rows] : out.rows)
        EXPECT_TRUE(sameRows(mdbRows(copy.string(), t), rows)) << t;
    std::string error;
    const Rows log = ourRows(copy.string(), pw, "MSysCompactError", error);
    if (error.empty()) {
        // (mdbtools cuts a binary value short at its first zero byte: the
        // row pointers in ErrorRecid are left out of the comparison.)
        auto withoutRecid = [](Rows rows) {
            for (auto& row : rows)
                row = std::regex_replace(row, std::regex("ErrorRecid=[^\x1f]*\x1f"), "");
            std::sort(rows.begin(), rows.end());
            return rows;
        };
        EXPECT_TRUE(
            sameRows(withoutRecid(mdbRows(copy.string(), "MSysCompactError")), withoutRecid(log)));
        for (const auto& l : log) out.log += l + "\n";
    }
    EXPECT_LE(out.summary.logEntries, log.size());  // an earlier log keeps its rows
    // The rows that survive are the original's, and each one missing or
    // changed is in the log: by its values where it could be read, else
    // under the page or table it was lost with.
    for (const auto& [t, rows] : original) {
        auto it = out.rows.find(t);
        if (it == out.rows.end()) {
            EXPECT_NE(out.log.find("'" + t + "'"), std::string::npos) << t << " is gone unlogged";
            continue;
        }
        for (const auto& extra : minus(it->second, rows))
            EXPECT_TRUE(narrowerThanOneOf(extra, rows)) << t << ": a row not in the original";
        const Rows missing = minus(rows, it->second);
        EXPECT_LE(missing.size(), out.summary.rowsDropped + out.summary.rowsChanged) << t;
        const bool pagesLost = out.log.find("Rows lost") != std::string::npos ||
                               out.log.find("Rows missing") != std::string::npos;
        for (const auto& m : missing) {
            std::smatch id;
            if (valuesIntact && !pagesLost &&
                std::regex_search(m, id, std::regex("ID=([-0-9]+)"))) {
                EXPECT_NE(out.log.find("\"ID\": " + id[1].str() + ","), std::string::npos)
                    << t << ": row " << id[1] << " is missing and not in the log";
            }
        }
    }
    return out;
}

std::size_t total(const Tables& t) {
    std::size_t n = 0;
    for (const auto& [name, rows] : t) n += rows.size();
    return n;
}

// Whether the checker names a problem (not only a note) that says text.
::testing::AssertionResult checkerSays(const fs::path& f, const std::string& pw,
                                       const std::string& text) {
    auto report = jet::checkFile(f.string(), pw);
    if (!report.ok()) return ::testing::AssertionFailure() << report.error().description;
    for (const auto& p : report->problems)
        if (p.text.find(text) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << (report->problems.empty() ? "no problem" : "said: " + report->problems.front().text);
}

struct Case {
    const char* kind;
    std::function<void(std::string& bytes, const Anatomy& customers, const Anatomy& plain)> damage;
    std::size_t mayLose;            // rows that may be gone (unreadable where they lay)
    const char* checkerNames = "";  // a problem the checker must report on the damaged file
    bool valuesIntact = true;       // rows lost still hold their values where they lay
};

// Runs each case on its own copy of the built database.
void runCases(const std::vector<Case>& cases, int rows = 300) {
    TempDir dir;
    const fs::path clean = dir / "clean.mdb";
    buildDamageable(clean, rows);
    const Tables original = userRows(clean, "");
    const Anatomy customers = anatomy(clean, "", "Customers");
    const Anatomy plain = anatomy(clean, "", "Plain");
    const std::string bytes = readFile(clean);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        std::string damaged = bytes;
        c.damage(damaged, customers, plain);
        ASSERT_NE(damaged, bytes) << "the damage changed nothing";
        const fs::path src = dir / (std::string(c.kind) + ".mdb");
        writeFile(src, damaged);
        if (*c.checkerNames) {
            EXPECT_TRUE(checkerSays(src, "", c.checkerNames));
        }
        const Repaired r = compactDamaged(src, "", original, c.valuesIntact);
        EXPECT_GE(total(r.rows), total(original) - c.mayLose);
        if (c.mayLose == 0) {
            for (const auto& [t, want] : original) {
                EXPECT_TRUE(sameRows(r.rows.count(t) ? r.rows.at(t) : Rows{}, want))
                    << t << ": nothing was to be lost";
            }
        }
    }
}

}  // namespace

TEST(Repair, SilentLossesInATableWithoutIndexAreProblemsAndAccountedFor) {
    SKIP_WITHOUT_MDBTOOLS();
    // Once lost without a word: the checker noted them and the compaction
    // passed the pages over.
    const std::vector<Case> cases = {
        {"a data page zeroed",
         [](std::string& b, const Anatomy&, const Anatomy& p) { zeroPage(b, p.dataPages[1]); }, 200,
         "which is a page of type 0"},
        {"one bit of a data page's owner flipped",
         [](std::string& b, const Anatomy&, const Anatomy& p) {
             pageBytes(b, p.dataPages[1])[4] ^= 0x01;
         },
         0, "whose owner field names page"},
        {"the page's bit cleared from the table's map",
         [](std::string& b, const Anatomy&, const Anatomy& p) {
             // The map's row: a bitmap of pages from its start page.
             const jet::RowPtr at = p.def.ownedMap;
             const auto slot = jet::parseDataPage(pageCopy(b, at.page), at.page).slots[at.row];
             uint8_t* row = pageBytes(b, at.page) + slot.start;
             const uint32_t start = jet::u32(jet::ByteView(row, 5), 1);
             const uint32_t bit = p.dataPages[1] - start;
             row[5 + bit / 8] = static_cast<uint8_t>(row[5 + bit / 8] & ~(1u << (bit % 8)));
         },
         0, "its owned-pages map does not list it"},
    };
    runCases(cases);
}

TEST(Repair, DamagedIndexesAreMadeAnewFromTheRows) {
    SKIP_WITHOUT_MDBTOOLS();
    auto scramble = [](std::string& b, uint32_t p) {
        std::mt19937 rng(p);
        for (std::size_t i = 8; i < 4096; ++i) pageBytes(b, p)[i] = static_cast<uint8_t>(rng());
    };
    const std::vector<Case> cases = {
        {"primary key leaf zeroed",
         [](std::string& b, const Anatomy& c, const Anatomy&) { zeroPage(b, firstLeaf(c, 0)); }, 0,
         "expected an index page"},
        {"text index leaf scrambled",
         [&](std::string& b, const Anatomy& c, const Anatomy&) { scramble(b, firstLeaf(c, 1)); },
         0},
        {"intermediate index page damaged",
         [](std::string& b, const Anatomy& c, const Anatomy&) {
             ASSERT_GT(c.indexLevels[1].size(), 1u) << "the index has one level";
             uint8_t* node = pageBytes(b, c.indexLevels[1].front().front());
             std::fill_n(node + 0x1E0, 64, 0xEE);
         },
         0},
        {"an index entry missing",
         [](std::string& b, const Anatomy& c, const Anatomy&) {
             editLeaf(b, firstLeaf(c, 2), [](auto& e) { e.erase(e.begin() + 2); });
         },
         0, "is missing from the index"},
        {"a key twice in the unique primary key",
         [](std::string& b, const Anatomy& c, const Anatomy&) {
             editLeaf(b, firstLeaf(c, 0), [](auto& e) { e[3].key = e[2].key; });
         },
         0},
        {"an entry pointing at a deleted row",
         [](std::string& b, const Anatomy& c, const Anatomy&) {
             editLeaf(b, firstLeaf(c, 2), [](auto& e) { e[1].row.row = 3; });
         },
         0},
    };
    runCases(cases);
}

TEST(Repair, DamagedRowsAreFoundAgainOrDroppedIntoTheLogWithTheirValues) {
    SKIP_WITHOUT_MDBTOOLS();
    // The third live row of the plain table's first page, and its slot.
    auto third = [](const std::string& b, const Anatomy& p) {
        const uint32_t pg = p.dataPages[0];
        const jet::DataPage dp = jet::parseDataPage(pageCopy(b, pg), pg);
        std::size_t live = 0;
        for (std::size_t i = 0; i < dp.slots.size(); ++i) {
            if (!dp.slots[i].deleted && ++live == 3) return std::make_pair(pg, i);
        }
        return std::make_pair(pg, std::size_t{0});
    };
    const std::vector<Case> cases = {
        {"a row's offset out of the page",
         [&](std::string& b, const Anatomy&, const Anatomy& p) {
             auto [pg, i] = third(b, p);
             jet::put16(pageBytes(b, pg) + 14 + 2 * i, 0x1FF0);
         },
         0},
        {"a row's offset moved into its neighbour",
         [&](std::string& b, const Anatomy&, const Anatomy& p) {
             auto [pg, i] = third(b, p);
             uint8_t* at = pageBytes(b, pg) + 14 + 2 * i;
             jet::put16(at, static_cast<uint16_t>(jet::u16(jet::ByteView(at, 2), 0) - 7));
         },
         0},
        {"a row garbled",
         [&](std::string& b, const Anatomy&, const Anatomy& p) {
             auto [pg, i] = third(b, p);
             const auto s = jet::parseDataPage(pageCopy(b, pg), pg).slots[i];
             std::fill_n(pageBytes(b, pg) + s.start, s.length(), 0xA5);
         },
         1, "row column count out of range", false},
        {"two rows with one primary key",
         [](std::string& b, const Anatomy& c, const Anatomy&) {
             // The ID of the second live row of the first page made the first's.
             const uint32_t pg = c.dataPages[0];
             const auto live = liveSlots(b, pg);
             uint8_t* row = pageBytes(b, pg);
             std::copy_n(row + live[0].start + 2, 4, row + live[1].start + 2);
         },
         1, "", false},
        {"a long value's pointer broken",
         [](std::string& b, const Anatomy& c, const Anatomy&) {
             // The first row that keeps a value out of the row: its header
             // made to point at the table's own definition.
             for (uint32_t pg : c.dataPages) {
                 for (const auto& s : liveSlots(b, pg)) {
                     const jet::ByteView row(pageBytes(b, pg) + s.start, s.length());
                     const jet::RowView rv = jet::crackRow(c.def, row, pg, 0);
                     const jet::Column* notes = c.def.columnByName("Notes");
                     auto [vs, ve] = rv.varSlots[notes->varIndex];
                     if (ve - vs < 12 || (row[vs + 3] & 0xC0) == jet::kLvInline) continue;
                     jet::put32(pageBytes(b, pg) + s.start + vs + 4, c.def.firstPage << 8);
                     return;
                 }
             }
         },
         1, "column 'Notes'"},
        {"a long-value page zeroed",
         [](std::string& b, const Anatomy& c, const Anatomy&) { zeroPage(b, c.lvPages[1]); }, 5},
    };
    runCases(cases);
}

TEST(Repair, DamagedPagesAndMapsLoseOnlyWhatTheyHeld) {
    SKIP_WITHOUT_MDBTOOLS();
    const std::vector<Case> cases = {
        {"a data page torn (one sector zeroed)",
         [](std::string& b, const Anatomy& c, const Anatomy&) {
             std::fill_n(pageBytes(b, c.dataPages[2]) + 3 * 512, 512, 0);
         },
         12, "table 'Customers'", false},
        {"the usage maps' page zeroed",
         [](std::string& b, const Anatomy& c, const Anatomy&) { zeroPage(b, c.def.ownedMap.page); },
         0, "catalogue"},
        {"a table definition zeroed",
         [](std::string& b, const Anatomy&, const Anatomy& p) { zeroPage(b, p.def.firstPage); },
         300, "expected a table definition page"},
    };
    runCases(cases);
}

TEST(Repair, AStaleRowCountIsANoteAndNothingToRepair) {
    SKIP_WITHOUT_MDBTOOLS();
    TempDir dir;
    const fs::path db = dir / "stale.mdb";
    buildDamageable(db, 60);
    const Anatomy plain = anatomy(db, "", "Plain");
    std::string b = readFile(db);
    jet::put32(pageBytes(b, plain.def.firstPage) + jet::kTdefRowCount, plain.def.rowCount + 5);
    writeFile(db, b);
    auto report = jet::checkFile(db.string(), "");
    ASSERT_TRUE(report.ok());
    EXPECT_TRUE(report->ok()) << report->problems.front().text;
    ASSERT_FALSE(report->notes.empty());
    EXPECT_NE(report->notes.front().find("definition says"), std::string::npos);
    const Tables original = userRows(db, "");
    const Repaired r = compactDamaged(db, "", original);
    EXPECT_FALSE(r.summary.lostOrChanged());
    EXPECT_EQ(r.rows, original);
}

// A count larger than the rows loses nothing, also in a table repaired for
// other damage: only what lost pages or slots could have held is dropped.
TEST(Repair, AStaleRowCountInATableRepairedForOtherDamageDropsNothing) {
    SKIP_WITHOUT_MDBTOOLS();
    TempDir dir;
    const fs::path db = dir / "stale.mdb";
    buildDamageable(db, 300);
    const Tables original = userRows(db, "");
    const std::string table = "Customers";  // the table with indexes
    const Anatomy a = anatomy(db, "", table);
    ASSERT_FALSE(a.indexLevels.empty());
    std::string b = readFile(db);
    jet::put32(pageBytes(b, a.def.firstPage) + jet::kTdefRowCount, a.def.rowCount + 70000);
    zeroPage(b, firstLeaf(a, 0));
    writeFile(db, b);
    const Repaired r = compactDamaged(db, "", original);
    EXPECT_EQ(r.summary.rowsDropped, 0u);
    EXPECT_EQ(r.rows, original);
}

TEST(Repair, ALostCatalogueRowBringsItsTableBackUnderARecoveredName) {
    SKIP_WITHOUT_MDBTOOLS();
    TempDir dir;
    const fs::path db = dir / "catalogue.mdb";
    buildDamageable(db, 120);
    const Tables original = userRows(db, "");
    const Anatomy objects = anatomy(db, "", "MSysObjects");
    std::string b = readFile(db);
    for (uint32_t p : objects.dataPages) zeroPage(b, p);  // every catalogue row
    writeFile(db, b);
    EXPECT_TRUE(checkerSays(db, "", "MSysObjects"));
    const Repaired r = compactDamaged(db, "", {});
    // The tables come back, named after their definition pages.
    std::vector<Rows> came, went;
    for (const auto& [t, rows] : r.rows) {
        EXPECT_EQ(t.rfind("Recovered_Table_", 0), 0u) << t;
        came.push_back(rows);
    }
    for (const auto& [t, rows] : original) went.push_back(rows);
    std::sort(came.begin(), came.end());
    std::sort(went.begin(), went.end());
    EXPECT_EQ(came, went);
    EXPECT_NE(r.log.find("Table recovered"), std::string::npos);
}

TEST(Repair, ALostHeaderIsMadeAnewWithThePasswordGiven) {
    SKIP_WITHOUT_MDBTOOLS();
    TempDir dir;
    const fs::path db = dir / "header.mdb";
    SampleOptions o;
    o.rows = 80;
    o.password = "s3cret";
    buildSampleDatabase(db.string(), o);
    const Tables original = userRows(db, "s3cret");
    std::string b = readFile(db);
    std::fill_n(b.begin(), 512, '\0');  // the header's first sector
    writeFile(db, b);
    EXPECT_TRUE(checkerSays(db, "s3cret", "page 0"));
    const Repaired r = compactDamaged(db, "s3cret", original);
    EXPECT_TRUE(r.summary.headerRebuilt);
    EXPECT_EQ(r.rows, original);
    EXPECT_NE(r.log.find("database header"), std::string::npos);
    auto wrong = jet::checkFile(db.string() + ".copy", "other");
    ASSERT_FALSE(wrong.ok());
    EXPECT_EQ(wrong.error().code(), jet::ErrorCode::kInvalidPassword);
}

TEST(Repair, AFileCutShortLosesOnlyThePagesPastTheCut) {
    SKIP_WITHOUT_MDBTOOLS();
    TempDir dir;
    const fs::path db = dir / "cut.mdb";
    buildDamageable(db, 300);
    const Tables original = userRows(db, "");
    const std::string b = readFile(db);
    writeFile(db, b.substr(0, b.size() * 9 / 10 + 1000));  // the last tenth, mid-page
    EXPECT_TRUE(checkerSays(db, "", "cut short"));
    const Repaired r = compactDamaged(db, "", original, false);
    EXPECT_GT(total(r.rows), 0u);
    EXPECT_NE(r.log.find("cut short"), std::string::npos);
}

TEST(Repair, ALostCatalogueDefinitionIsMadeAnewAndEveryTableComesBack) {
    SKIP_WITHOUT_MDBTOOLS();
    TempDir dir;
    const fs::path db = dir / "page2.mdb";
    buildDamageable(db, 80);
    const Tables original = userRows(db, "");
    std::string b = readFile(db);
    zeroPage(b, 2);  // the catalogue's own definition
    writeFile(db, b);
    const Repaired r = compactDamaged(db, "", original);
    EXPECT_EQ(r.rows, original);
    EXPECT_NE(r.log.find("catalogue's definition (page 2)"), std::string::npos);
}

TEST(Repair, AnEarlierDamageLogKeepsItsRowsAndGetsTheNewOnes) {
    SKIP_WITHOUT_MDBTOOLS();
    TempDir dir;
    const fs::path db = dir / "twice.mdb";
    buildDamageable(db, 80);
    const Tables original = userRows(db, "");
    std::string b = readFile(db);
    const Anatomy plain = anatomy(db, "", "Plain");
    zeroPage(b, plain.dataPages[0]);
    writeFile(db, b);
    const Repaired first = compactDamaged(db, "", original, false);
    ASSERT_GT(first.summary.logEntries, 0u);
    // The repaired copy damaged again: its log stays, with the new entries after.
    const fs::path again = dir / "again.mdb";
    std::string c = readFile(db.string() + ".copy");
    const Anatomy customers = anatomy(db.string() + ".copy", "", "Customers");
    ASSERT_FALSE(customers.dataPages.empty());
    zeroPage(c, customers.dataPages.back());
    writeFile(again, c);
    const Repaired second = compactDamaged(again, "", first.rows, false);
    std::string error;
    const Rows log = ourRows(again.string() + ".copy", "", "MSysCompactError", error);
    EXPECT_EQ(log.size(), first.summary.logEntries + second.summary.logEntries);
    EXPECT_EQ(mdbTables((again.string() + ".copy")).size(),
              mdbTables(db.string() + ".copy").size());
}
