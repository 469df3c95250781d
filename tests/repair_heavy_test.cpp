// Heavy damage as users meet it (tests/support/HeavyDamage.h): many pages at
// once, several kinds together, the whole file transformed, the header's
// fields. On every damaged copy a repair must either refuse with a message,
// leaving nothing behind, or give a copy that passes its check and whose
// account balances; no table comes back under a made-up name while its
// catalogue row survives; no row that could still be read is lost without
// the damage log naming it; and each table's report says what the copy
// holds. A small sweep runs by default; QW_HEAVY=full runs every fixture
// (the encoded and password ones included) with several seeds a kind and
// prints the table.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <set>

#include "jet/Check.h"
#include "jet/Compact.h"
#include "read/Database.h"
#include "support/DamageLayout.h"
#include "support/HeavyDamage.h"
#include "support/Oracle.h"
#include "support/RepairRun.h"
#include "support/SampleDatabase.h"

using namespace testsupport;

namespace {

struct Tally {
    int copies = 0, refused = 0, failed = 0;
    uint64_t readable = 0, back = 0, silent = 0, renamed = 0, miscounted = 0;
};


// Whether the damage left a table's catalogue row and its definition as
// they were.
bool nameSurvives(const Layout& l, const Layout::Table& t, const std::string& before,
                  const std::string& after) {
    auto row = l.catalogueRows.find(t.def.name);
    if (row == l.catalogueRows.end() || !intact(row->second, l, before, after)) return false;
    for (uint32_t p : t.def.pages) {
        const std::size_t at = static_cast<std::size_t>(p) * 4096;
        if (at + 4096 > after.size() ||
            !std::equal(before.begin() + static_cast<std::ptrdiff_t>(at),
                        before.begin() + static_cast<std::ptrdiff_t>(at + 4096),
                        after.begin() + static_cast<std::ptrdiff_t>(at)))
            return false;
    }
    return true;
}

// Whether the damage log names a row of table that did not come back.
bool logged(const std::string& log, const Placed& p) {
    const std::string table = "table '" + p.table + "'";
    return log.find(table + ", page " + std::to_string(p.page) + ", row " +
                    std::to_string(p.slot) + ")") != std::string::npos ||
           log.find("Rows lost (" + table + ", page ") != std::string::npos ||
           log.find("Rows missing (" + table + ", page ") != std::string::npos ||
           log.find("Table lost (" + table) != std::string::npos;
}

void judge(const fs::path& dir, const std::string& original, const std::string& damaged,
           const std::string& pw, const Layout& l, bool mayBeRefused, Tally& t) {
    const fs::path src = dir / "damaged.mdb", copy = dir / "damaged.mdb.copy";
    writeFile(src, damaged);
    fs::remove(copy);
    ++t.copies;
    if (const char* keep = std::getenv("QW_HEAVY_KEEP"))  // to look at one copy by hand
        writeFile(fs::path(keep) / ("heavy-" + std::to_string(t.copies) + ".mdb"), damaged);
    jet::CompactRequest req{src.string(), pw, copy.string(), pw, true};
    // An encoded file whose header is hit has its key searched for: among
    // some thousands of keys around its own, not all of them (minutes).
    if (l.databaseKey != 0) req.lostKey.range = {l.databaseKey - (1u << 16), 1u << 17, 0};
    auto r = jet::compactFile(req);
    EXPECT_EQ(readFile(src), damaged) << "the damaged file was written";
    if (!r.ok()) {
        EXPECT_FALSE(fs::exists(copy)) << "a refused repair left its copy";
        EXPECT_FALSE(r.error().description.empty());
        ++(mayBeRefused ? t.refused : t.failed);
        if (!mayBeRefused) ADD_FAILURE() << "refused: " << r.error().description;
        return;
    }
    const jet::RepairSummary& s = r->repair;
    EXPECT_TRUE(s.account.balances());
    auto checked = jet::checkFile(copy.string(), pw);
    EXPECT_TRUE(checked.ok() && checked->ok())
        << "the copy fails its check: "
        << (checked.ok() ? checked->problems.front().text : checked.error().description);
    const Tables rows = userRows(copy, pw);
    std::string error, log;
    for (const auto& e : ourRows(copy.string(), pw, "MSysCompactError", error)) log += e + "\n";
    // Names: a table whose catalogue row and definition survive keeps its
    // name, and none of its rows is in a recovered table.
    for (const auto& table : l.tables) {
        if (!nameSurvives(l, table, original, damaged)) continue;
        EXPECT_TRUE(rows.count(table.def.name) != 0) << "table '" << table.def.name << "' is gone";
        std::set<std::string> own;
        for (const auto& p : l.rows)
            if (p.table == table.def.name) own.insert(p.canonical);
        for (const auto& [name, got] : rows) {
            if (name.find("Recovered_Table_") == std::string::npos) continue;
            for (const auto& row : got) {
                if (own.count(row) == 0) continue;
                ++t.renamed;
                ADD_FAILURE() << "a row of '" << table.def.name << "' came back in " << name;
                break;
            }
        }
    }
    // Each table's report says what the copy holds.
    for (const auto& said : s.tables) {
        auto got = rows.find(said.table);
        if (got == rows.end() || said.lost) continue;
        if (said.rowsKept != got->second.size()) {
            ++t.miscounted;
            ADD_FAILURE() << "table '" << said.table << "': the report keeps " << said.rowsKept
                          << " rows, the copy holds " << got->second.size();
        }
    }
    // Every row the damage left readable comes back or is named.
    for (const Placed& p : l.rows) {
        if (!intact(p, l, original, damaged)) continue;
        ++t.readable;
        bool back = false;
        for (const auto& [name, got] : rows) {
            if (std::binary_search(got.begin(), got.end(), p.canonical) ||
                matched({p.canonical}, got) == 1) {
                back = true;
                break;
            }
        }
        if (back) {
            ++t.back;
        } else if (!logged(log, p)) {
            ++t.silent;
            ADD_FAILURE() << "not back and not in the log: table '" << p.table << "', page "
                          << p.page << ", row " << p.slot;
        }
    }
}

}  // namespace

TEST(RepairHeavy, EveryRowIsAccountedForUnderHeavyDamage) {
    SKIP_WITHOUT_MDBTOOLS();
    const bool full = std::getenv("QW_HEAVY") && std::string(std::getenv("QW_HEAVY")) == "full";
    const char* only = std::getenv("QW_HEAVY_KIND");  // a part of one kind's name
    const char* oneFile = std::getenv("QW_HEAVY_FILE");  // one fixture's name
    TempDir dir;
    std::vector<std::pair<std::string, std::string>> files;  // path, password
    if (!fixturesDir().empty()) {
        for (const auto& f : jet4Fixtures()) {
            const std::string name = f.filename().string();
            if (oneFile ? name == oneFile
                     : full || name == "sample-traders-full-2000.mdb" ||
                           name == "pwd-small-2000.mdb" || name == "rc4-encoded-small.mdb")
                files.emplace_back(f.string(), fixturePassword(name));
        }
    }
    SampleOptions o;
    o.rows = 300;
    buildSampleDatabase((dir / "built.mdb").string(), o);
    files.emplace_back((dir / "built.mdb").string(), "");
    const std::vector<HeavyKind> kinds = heavyKinds();
    std::vector<Tally> tally(kinds.size());
    const int seeds = full ? 3 : 1;
    for (const auto& [file, pw] : files) {
        SCOPED_TRACE(file);
        const std::string original = readFile(file);
        const Layout layout = layoutOf(file, pw);
        for (std::size_t k = 0; k < kinds.size(); ++k) {
            if (only && kinds[k].name.find(only) == std::string::npos) continue;
            SCOPED_TRACE(kinds[k].name);
            for (int seed = 0; seed < seeds; ++seed) {
                Rng rng(static_cast<uint32_t>(k * 7919 + static_cast<std::size_t>(seed) * 104729 +
                                              original.size()));
                std::string damaged = original;
                if (!kinds[k].damage(damaged, layout, rng) || damaged == original) continue;
                SCOPED_TRACE("seed " + std::to_string(seed));
                // An encoded file whose header is hit has lost its key with it.
                const bool keyLost = layout.databaseKey != 0 &&
                                     damaged.compare(0x3E, 4, original, 0x3E, 4) != 0;
                judge(dir.path(), original, damaged, pw, layout, kinds[k].mayBeRefused || keyLost,
                      tally[k]);
            }
        }
    }
    std::cout << "| damage | copies | refused | readable rows | back | lost unnamed | renamed | "
                 "miscounted |\n|---|---|---|---|---|---|---|---|\n";
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        const Tally& t = tally[k];
        if (t.copies == 0) continue;
        std::cout << "| " << kinds[k].name << " | " << t.copies << " | " << t.refused << " | "
                  << t.readable << " | " << percent(t.back, t.readable) << " | " << t.silent
                  << " | " << t.renamed << " | " << t.miscounted << " |\n";
    }
}

namespace {

// A damaged copy of a fixture, written to dir, and its repair's outcome.
struct Outcome {
    bool ok = false;
    std::string error;
    Tables rows;  // the copy's, when ok
};

Outcome repairBytes(const TempDir& dir, const std::string& bytes, const std::string& pw) {
    const fs::path src = dir / "whole.mdb", copy = dir / "whole.mdb.copy";
    writeFile(src, bytes);
    fs::remove(copy);
    Outcome out;
    auto r = jet::compactFile({src.string(), pw, copy.string(), pw, true});
    out.ok = r.ok();
    if (!r.ok()) {
        out.error = r.error().description;
        EXPECT_FALSE(fs::exists(copy)) << "a refused repair left its copy";
        return out;
    }
    EXPECT_TRUE(r->repair.account.balances());
    out.rows = userRows(copy, pw);
    return out;
}

}  // namespace

// The whole file transformed: a transfer in text mode either way, or a run
// of bytes put in. Once, a copy in text mode came back as a "repaired" copy
// holding none of the rows.
TEST(RepairHeavy, AWholeFileTransformIsUndoneOrRefused) {
    SKIP_WITHOUT_FIXTURES();
    SKIP_WITHOUT_MDBTOOLS();
    TempDir dir;
    for (const char* name : {"sample-traders-full-2000.mdb", "memo-ole-heavy-2000.mdb"}) {
        SCOPED_TRACE(name);
        const fs::path file = fixturesDir() / "jet4" / name;
        const std::string original = readFile(file);
        const Tables rows = userRows(file, "");
        {
            SCOPED_TRACE("LF to CR LF");
            const Outcome o = repairBytes(dir, lfToCrLf(original), "");
            ASSERT_TRUE(o.ok) << o.error;
            EXPECT_EQ(o.rows, rows);
        }
        {
            SCOPED_TRACE("CR LF to LF");
            const Outcome o = repairBytes(dir, crLfToLf(original), "");
            if (o.ok) {
                EXPECT_EQ(o.rows, rows);
            } else {
                EXPECT_NE(o.error.find("4096-byte grid"), std::string::npos) << o.error;
            }
        }
        {
            SCOPED_TRACE("bytes put in");
            Rng rng(11);
            std::string moved = original;
            const std::size_t at = original.size() / 2 + 100;
            insertBytes(moved, at, 37, rng);
            const Outcome o = repairBytes(dir, moved, "");
            ASSERT_TRUE(o.ok) << o.error;
            // At most the rows of the page that held the change are lost,
            // and what comes back is as it was.
            std::size_t onPage = 0, lost = 0;
            for (const Placed& p : layoutOf(file, "").rows) onPage += p.page == at / 4096 ? 1 : 0;
            for (const auto& [table, was] : rows) {
                auto got = o.rows.find(table);
                ASSERT_NE(got, o.rows.end()) << table;
                lost += was.size() - std::min(was.size(), got->second.size());
                EXPECT_TRUE(std::includes(was.begin(), was.end(), got->second.begin(),
                                          got->second.end()))
                    << table;
            }
            EXPECT_LE(lost, onPage);
        }
    }
}

// Only the header's version byte damaged, every page intact: the pages show
// a Jet 4 file, and it compacts with every row.
TEST(RepairHeavy, ADamagedVersionByteStillCompacts) {
    SKIP_WITHOUT_FIXTURES();
    SKIP_WITHOUT_MDBTOOLS();
    TempDir dir;
    for (const char* name : {"sample-traders-full-2000.mdb", "pwd-small-2000.mdb"}) {
        const fs::path file = fixturesDir() / "jet4" / name;
        const std::string pw = fixturePassword(name);
        const Tables rows = userRows(file, pw);
        for (const uint8_t version : {uint8_t{0x00}, uint8_t{0x02}, uint8_t{0x03}, uint8_t{0xFF}}) {
            SCOPED_TRACE(std::string(name) + ", version byte " + std::to_string(version));
            std::string bytes = readFile(file);
            bytes[0x14] = static_cast<char>(version);
            const Outcome o = repairBytes(dir, bytes, pw);
            ASSERT_TRUE(o.ok) << o.error;
            EXPECT_EQ(o.rows, rows);
        }
    }
}

// Only the creation date damaged, on password-protected files: the mask
// the password field's padding shows reads the stored password, so a wrong
// password is refused and the right one taken (once, any was accepted, and
// the copy took it).
TEST(RepairHeavy, ADamagedCreationDateLetsNoWrongPasswordIn) {
    SKIP_WITHOUT_FIXTURES();
    SKIP_WITHOUT_MDBTOOLS();
    TempDir dir;
    for (const char* name : {"pwd-small-2000.mdb", "pwd-memo-products.mdb"}) {
        const fs::path file = fixturesDir() / "jet4" / name;
        const std::string pw = fixturePassword(name);
        ASSERT_FALSE(pw.empty()) << name;
        const Tables rows = userRows(file, pw);
        for (uint32_t seed = 0; seed < 4; ++seed) {
            SCOPED_TRACE(std::string(name) + ", seed " + std::to_string(seed));
            Rng rng(seed);
            std::string bytes = readFile(file);
            damageHeaderField(bytes, HeaderField::kCreationDate, rng);
            for (const std::string& wrong : {std::string(), std::string("Κωδικός"), pw + "x"}) {
                const fs::path src = dir / "dated.mdb", copy = dir / "dated-copy.mdb";
                writeFile(src, bytes);
                fs::remove(copy);
                auto r = jet::compactFile({src.string(), wrong, copy.string(), wrong, true});
                ASSERT_FALSE(r.ok()) << "the password '" << wrong << "' was taken";
                EXPECT_EQ(r.error().number, static_cast<int32_t>(jet::ErrorCode::kInvalidPassword));
                EXPECT_FALSE(fs::exists(copy));
            }
            const Outcome o = repairBytes(dir, bytes, pw);
            ASSERT_TRUE(o.ok) << o.error;
            EXPECT_EQ(o.rows, rows);
            auto reopened = jet::checkFile((dir / "whole.mdb.copy").string(), "wrong");
            EXPECT_FALSE(reopened.ok()) << "the copy opens with a wrong password";
        }
    }
}
