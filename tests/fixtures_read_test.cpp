// Reading the Microsoft-made files: every table as mdbtools reads it, the
// checker satisfied, passwords enforced, foreign formats refused.
#include <gtest/gtest.h>

#include "jet/Check.h"
#include "jet/Compact.h"
#include "read/Database.h"
#include "support/EngineReads.h"
#include "support/Fixtures.h"
#include "support/Oracle.h"

using namespace testsupport;

TEST(FixtureReading, EveryUserTableReadsAsMdbtoolsReadsIt) {
    SKIP_WITHOUT_FIXTURES();
    SKIP_WITHOUT_MDBTOOLS();
    int tables = 0;
    for (const auto& f : jet4Fixtures()) {
        SCOPED_TRACE(f.filename().string());
        const std::string pw = fixturePassword(f.filename().string());
        for (const auto& t : mdbTables(f.string())) {
            SCOPED_TRACE(t);
            std::string error;
            auto ours = ourRows(f.string(), pw, t, error);
            ASSERT_TRUE(error.empty()) << error;
            EXPECT_EQ(ours, mdbRows(f.string(), t));
            ++tables;
        }
    }
    EXPECT_GT(tables, 30);
}

TEST(FixtureReading, EveryFixturePassesTheChecker) {
    SKIP_WITHOUT_FIXTURES();
    for (const auto& f : jet4Fixtures()) {
        SCOPED_TRACE(f.filename().string());
        auto r = jet::checkFile(f.string(), fixturePassword(f.filename().string()));
        ASSERT_TRUE(r.ok()) << r.error().description;
        for (const auto& p : r.value().problems) ADD_FAILURE() << p.text;
        EXPECT_GT(r.value().tables.size(), 3u);
    }
}

TEST(FixtureReading, PasswordFilesOpenOnlyWithTheirPassword) {
    SKIP_WITHOUT_FIXTURES();
    int withPassword = 0;
    for (const auto& f : jet4Fixtures()) {
        const std::string pw = fixturePassword(f.filename().string());
        if (pw.empty()) continue;
        SCOPED_TRACE(f.filename().string());
        ++withPassword;
        auto good = jet::checkFile(f.string(), pw);
        EXPECT_TRUE(good.ok());
        for (const std::string& wrong :
             {std::string(), pw + "x", pw.substr(1), std::string("MARLIN4ii8-tb3pz6qk")}) {
            auto bad = jet::checkFile(f.string(), wrong);
            ASSERT_FALSE(bad.ok()) << "opened with '" << wrong << "'";
            EXPECT_EQ(bad.error().number, -2147217843);
            EXPECT_EQ(bad.error().description, "Not a valid password.");
            EXPECT_EQ(bad.error().source, "Jet4 Engine");
        }
        auto db = jet::Database::open(jet::Env::standard(), f.string(), pw);
        EXPECT_EQ(testsupport::storedPassword(db->header()), pw);
    }
    EXPECT_EQ(withPassword, 4);
}

TEST(FixtureReading, DatabasesWithoutPasswordOpenWithAnyPassword) {
    SKIP_WITHOUT_FIXTURES();
    const auto f = fixturesDir() / "jet4" / "memo-products-nopwd.mdb";
    EXPECT_TRUE(jet::checkFile(f.string(), "").ok());
    EXPECT_TRUE(jet::checkFile(f.string(), "anything at all").ok());
}

TEST(FixtureReading, EncodedFileDecodesPageByPage) {
    SKIP_WITHOUT_FIXTURES();
    const auto f = fixturesDir() / "jet4" / "rc4-encoded-small.mdb";
    auto info = jet::databaseInfo(f.string(), "");
    ASSERT_TRUE(info.ok()) << info.error().description;
    EXPECT_TRUE(info.value().encoded);
    EXPECT_TRUE(info.value().report.ok());
    EXPECT_EQ(info.value().report.unreachablePages(), 0u);
}

TEST(FixtureReading, ForeignFilesAreRefusedAndATruncatedOneIsReportedDamaged) {
    SKIP_WITHOUT_FIXTURES();
    const auto neg = fixturesDir() / "negative";
    struct Case {
        const char* file;
        int32_t number;
        const char* text;
    } cases[] = {
        {"jet3-sample.mdb", -2147467259, "Unrecognized database format"},
        {"ace-2007-sample.accdb", -2147467259, "Unrecognized database format"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        auto r = jet::checkFile((neg / c.file).string(), "");
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().number, c.number);
        EXPECT_NE(r.error().description.find(c.text), std::string::npos) << r.error().description;
    }
    // A file cut short is damaged, not foreign: the check says so, and a
    // compaction keeps what the whole pages hold and logs what is lost,
    // never a smaller copy that looks sound.
    auto r = jet::checkFile((neg / "truncated-jet4.mdb").string(), "");
    ASSERT_TRUE(r.ok()) << r.error().description;
    ASSERT_FALSE(r->ok());
    EXPECT_NE(r->problems.front().text.find("not a whole number of 4096-byte pages"), std::string::npos);
    TempDir dir;
    jet::CompactRequest req{(neg / "truncated-jet4.mdb").string(), "", (dir / "copy.mdb").string(),
                            "", true};
    auto copy = jet::compactFile(req);
    ASSERT_TRUE(copy.ok()) << copy.error().description;
    EXPECT_TRUE(copy->repair.lostOrChanged());
    EXPECT_GT(copy->repair.tablesLost, 0u);
}
