// The salvage reader on sound files: every table of every Microsoft-made
// file and of our own reads through it exactly as the checker reads it,
// with nothing dropped, and every row strict enough to take.
#include <gtest/gtest.h>

#include "format/LongValue.h"
#include "format/Row.h"
#include "jet/Check.h"
#include "ops/check/Checker.h"
#include "read/Database.h"
#include "read/PageCensus.h"
#include "read/RowDigest.h"
#include "salvage/SalvagePage.h"
#include "salvage/TableSalvage.h"
#include "support/Fixtures.h"
#include "support/SampleDatabase.h"

using namespace testsupport;

namespace {

// Salvages every table of a sound file and compares it with the checker's
// digests; the issues a sound file may give are stale row counts and old
// copies of pages left behind.
void salvageMatchesChecker(const fs::path& file, const std::string& password) {
    SCOPED_TRACE(file.filename().string());
    auto db = jet::Database::open(jet::Env::standard(), file.string(), password);
    const jet::CheckResult checked = jet::checkDatabase(*db);
    ASSERT_TRUE(checked.ok()) << checked.findings.front().text;
    std::vector<const jet::TableDef*> defs;
    for (const auto& t : db->localTables()) defs.push_back(&db->tableDef(t.tdefPage(), t.name));
    const jet::PageCensus census = jet::PageCensus::take(db->file());
    const auto listed = jet::readOwnedMaps(db->file(), defs);
    const auto tables = jet::tablesByPage(defs);
    const jet::SalvageContext ctx{db->file(), census, listed, tables};
    for (const jet::TableDef* def : defs) {
        SCOPED_TRACE(def->name);
        jet::TableSalvage s(ctx, *def);
        s.run();
        for (const auto& issue : s.issues()) {
            using K = jet::SalvageIssue::Kind;
            EXPECT_TRUE(issue.kind == K::kRowsMissing || issue.kind == K::kRowLeftOut)
                << issue.what << " (page " << issue.at.page << " row " << int(issue.at.row) << ")";
        }
        EXPECT_EQ(s.rowsDropped(), 0u);
        jet::TableDigest digest;
        jet::PageRef holder;
        jet::Bytes scratch;
        for (const auto& r : s.rows()) {
            const jet::ByteView b = s.rowBytes(r, holder, scratch);
            digest.add(jet::rowDigest(db->file(), *def, b, r.data.page, r.data.row));
        }
        auto it = checked.digests.find(def->firstPage);
        ASSERT_NE(it, checked.digests.end());
        EXPECT_EQ(digest.rows, it->second.rows);
        EXPECT_EQ(digest.sum, it->second.sum) << "the rows differ from the checker's";
        for (std::size_t i = 0; i < def->realIndexes.size(); ++i) {
            if (!def->realIndexes[i].ignoreNulls()) {
                EXPECT_EQ(s.entries(i).size(), s.rows().size()) << "index " << i;
            }
        }
    }
}

}  // namespace

TEST(Salvage, EverySoundFixtureReadsAsTheCheckerReadsIt) {
    SKIP_WITHOUT_FIXTURES();
    for (const auto& f : jet4Fixtures())
        salvageMatchesChecker(f, fixturePassword(f.filename().string()));
}

TEST(Salvage, BuiltDatabasesReadAsTheCheckerReadsThem) {
    TempDir dir;
    SampleOptions o;
    o.rows = 500;
    buildSampleDatabase((dir / "a.mdb").string(), o);
    salvageMatchesChecker(dir / "a.mdb", "");
    o.databaseKey = 0x1234567;
    o.password = "pw";
    buildSampleDatabase((dir / "b.mdb").string(), o);
    salvageMatchesChecker(dir / "b.mdb", "pw");
}
