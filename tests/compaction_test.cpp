// The compacting writer on the Microsoft-made files: the copy holds the same
// tables, rows, queries, links and password, is checked, smaller, and stable.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <sstream>

#include "builder/Builder.h"
#include "format/DataPage.h"
#include "format/IndexPage.h"
#include "format/Row.h"
#include "jet/Check.h"
#include "jet/Compact.h"
#include "ops/ConnectionString.h"
#include "read/Database.h"
#include "support/Fixtures.h"
#include "support/Oracle.h"
#include "support/SampleDatabase.h"

using namespace testsupport;

namespace {

jet::Result<jet::CompactResult> compact(const fs::path& src, const fs::path& dst,
                                        const std::string& pw,
                                        std::optional<std::string> newPw = std::nullopt,
                                        jet::Env* env = nullptr) {
    jet::CompactRequest req;
    req.env = env;
    req.sourcePath = src.string();
    req.sourcePassword = pw;
    req.destinationPath = dst.string();
    req.destinationPassword = newPw.value_or(pw);
    return jet::compactFile(req);
}

// Every catalogue object as "type name", sorted.
std::vector<std::string> objects(const fs::path& f, const std::string& pw) {
    auto db = jet::Database::open(jet::Env::standard(), f.string(), pw);
    std::vector<std::string> out;
    for (const auto& e : db->catalog()) out.push_back(std::to_string(e.type) + " " + e.name);
    std::sort(out.begin(), out.end());
    return out;
}

std::string mdbQueries(const fs::path& f) {
    std::string out;
    runCommand("mdb-queries -L -1 " + shellQuote(f.string()) + " 2>/dev/null | sort", out);
    return out;
}

// The unmasked SIDs of MSysACEs and MSysObjects.Owner.
std::multiset<jet::Bytes> plainSids(const fs::path& f, const std::string& pw) {
    auto db = jet::Database::open(jet::Env::standard(), f.string(), pw);
    uint32_t key = jet::sidKey(db->header().decoded);
    std::multiset<jet::Bytes> out;
    for (const auto& t : db->localTables()) {
        const char* column = t.name == "MSysACEs"      ? "SID"
                             : t.name == "MSysObjects" ? "Owner"
                                                       : nullptr;
        if (!column) continue;
        const jet::TableDef& def = db->tableDef(t.tdefPage(), t.name);
        const jet::Column* c = def.columnByName(column);
        db->scanRows(def, [&](const jet::RowLocation& at, jet::ByteView b) {
            jet::RowView rv = jet::crackRow(def, b, at.data.page, at.data.row);
            auto sid = jet::columnBytes(def, *c, rv, at.data.page, at.data.row);
            if (!sid || sid->empty()) return;
            jet::Bytes plain(sid->begin(), sid->end());
            jet::applySidMask(key, plain.data(), plain.size());
            out.insert(std::move(plain));
        });
    }
    return out;
}

}  // namespace

TEST(Compaction, EveryFixtureGivesACheckedCopyWithTheSameContent) {
    SKIP_WITHOUT_FIXTURES();
    SKIP_WITHOUT_MDBTOOLS();
    for (const auto& f : jet4Fixtures()) {
        SCOPED_TRACE(f.filename().string());
        TempDir dir;
        const std::string pw = fixturePassword(f.filename().string());
        const fs::path src = copyFixture(f, dir);
        const std::string before = readFile(src);
        const fs::path out = dir / "copy.mdb";
        auto r = compact(src, out, pw);
        ASSERT_TRUE(r.ok()) << r.error().description;
        EXPECT_EQ(readFile(src), before) << "the source was changed";

        auto check = jet::checkFile(out.string(), pw);
        ASSERT_TRUE(check.ok()) << check.error().description;
        for (const auto& p : check.value().problems) ADD_FAILURE() << p.text;
        EXPECT_TRUE(check.value().notes.empty()) << check.value().notes.front();
        EXPECT_EQ(check.value().unreachablePages(), 0u);
        EXPECT_EQ(check.value().deadRowBytes, 0u);
        EXPECT_LE(fs::file_size(out), fs::file_size(src));

        // Same tables, rows, objects and saved queries, through both readers.
        // The catalogue is rewritten in Id order, so compare the lists as sets.
        auto tables = mdbTables(src.string());
        auto copied = mdbTables(out.string());
        std::sort(tables.begin(), tables.end());
        std::sort(copied.begin(), copied.end());
        EXPECT_EQ(copied, tables);
        for (const auto& t : tables) {
            SCOPED_TRACE(t);
            EXPECT_EQ(mdbRows(out.string(), t), mdbRows(src.string(), t));
            std::string e1, e2;
            EXPECT_EQ(ourRows(out.string(), pw, t, e2), ourRows(src.string(), pw, t, e1));
            EXPECT_EQ(e1 + e2, "");
        }
        for (const char* sys : {"MSysRelationships", "MSysQueries"}) {
            std::string e1, e2;
            EXPECT_EQ(ourRows(out.string(), pw, sys, e2), ourRows(src.string(), pw, sys, e1))
                << sys;
        }
        EXPECT_EQ(objects(out, pw), objects(src, pw));
        EXPECT_EQ(mdbQueries(out), mdbQueries(src));
        EXPECT_EQ(plainSids(out, pw), plainSids(src, pw));

        // The password is kept.
        if (!pw.empty()) {
            auto wrong = jet::checkFile(out.string(), pw + "x");
            ASSERT_FALSE(wrong.ok());
            EXPECT_EQ(wrong.error().number, -2147217843);
        }
        jet::Database::open(jet::Env::standard(), src.string(), pw);  // the source still opens

        // Compacting the copy gives it back byte for byte.
        const fs::path again = dir / "again.mdb";
        ASSERT_TRUE(compact(out, again, pw).ok());
        EXPECT_TRUE(readFile(again) == readFile(out)) << "a second compaction changed the copy";
    }
}

TEST(Compaction, OurCopyIsNoLargerThanMicrosoftsOnTheRealPair) {
    SKIP_WITHOUT_FIXTURES();
    TempDir dir;
    const auto before = fixturesDir() / "jet4" / "pwd-code-modules-2003-before-compact.mdb";
    const auto after = fixturesDir() / "jet4" / "pwd-code-modules-2003-after-compact.mdb";
    ASSERT_TRUE(compact(before, dir / "ours.mdb", "1234567890").ok());
    EXPECT_EQ(fs::file_size(after), 270336u);
    EXPECT_LE(fs::file_size(dir / "ours.mdb"), fs::file_size(after));
}

TEST(Compaction, EncodedDatabasesStayEncoded) {
    SKIP_WITHOUT_FIXTURES();
    TempDir dir;
    const auto src = fixturesDir() / "jet4" / "rc4-encoded-small.mdb";
    ASSERT_TRUE(compact(src, dir / "copy.mdb", "").ok());
    auto info = jet::databaseInfo((dir / "copy.mdb").string(), "");
    ASSERT_TRUE(info.ok());
    EXPECT_TRUE(info.value().encoded);
    // Encoded pages are not readable as plain pages: page 2 is no table definition.
    EXPECT_NE(readFile(dir / "copy.mdb")[2 * 4096], '\x02');
}

TEST(Compaction, ADestinationPasswordProtectsTheCopyAndKeepsSids) {
    SKIP_WITHOUT_FIXTURES();
    TempDir dir;
    const auto src = fixturesDir() / "jet4" / "memo-products-nopwd.mdb";
    ASSERT_TRUE(compact(src, dir / "copy.mdb", "", "MARLIN4ii8-tb3pz6qk").ok());
    const auto copy = dir / "copy.mdb";
    EXPECT_TRUE(jet::checkFile(copy.string(), "MARLIN4ii8-tb3pz6qk").ok());
    for (const std::string& wrong :
         {std::string(), std::string("marlin4ii8-tb3pz6qk"), std::string("x")}) {
        auto r = jet::checkFile(copy.string(), wrong);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().number, -2147217843);
    }
    auto sids = plainSids(src, "");
    EXPECT_FALSE(sids.empty());
    EXPECT_EQ(plainSids(copy, "MARLIN4ii8-tb3pz6qk"), sids);

    // And back: clearing the password again gives the source's page 0.
    ASSERT_TRUE(compact(copy, dir / "clear.mdb", "MARLIN4ii8-tb3pz6qk", "").ok());
    EXPECT_EQ(readFile(dir / "clear.mdb").substr(0, 4096), readFile(src).substr(0, 4096));
    EXPECT_EQ(plainSids(dir / "clear.mdb", ""), sids);

    auto tooLong = compact(src, dir / "long.mdb", "", std::string(21, 'a'));
    ASSERT_FALSE(tooLong.ok());
    EXPECT_FALSE(fs::exists(dir / "long.mdb"));
}

TEST(Compaction, FailuresLeaveNoDestinationAndTheSourceUntouched) {
    TempDir dir;
    const auto pwdFile = dir / "pwd.mdb";
    SampleOptions o;
    o.password = "password";
    o.rows = 30;
    buildSampleDatabase(pwdFile.string(), o);
    const std::string before = readFile(pwdFile);

    auto wrong = compact(pwdFile, dir / "out.mdb", "MARLIN4ii8-tb3pz6qk");
    ASSERT_FALSE(wrong.ok());
    EXPECT_EQ(wrong.error().number, -2147217843);
    EXPECT_FALSE(fs::exists(dir / "out.mdb"));

    writeFile(dir / "exists.mdb", "keep me");
    auto exists = compact(pwdFile, dir / "exists.mdb", "password");
    ASSERT_FALSE(exists.ok());
    EXPECT_NE(exists.error().description.find("already exists"), std::string::npos);
    EXPECT_EQ(readFile(dir / "exists.mdb"), "keep me");

    EXPECT_EQ(readFile(pwdFile), before);
}

TEST(Compaction, ConnectionStringsAreReadAsTheRoutineComposesThem) {
    TempDir dir;
    const auto src = dir / "data.dbf";
    SampleOptions o;
    o.password = "password";
    o.rows = 30;
    buildSampleDatabase(src.string(), o);
    const std::string s = src.string();
    const std::string d = s + "2";
    auto ok =
        jet::CompactDatabase("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + s +
                                 ";Jet OLEDB:Database Password=password",
                             "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + d +
                                 ";Jet OLEDB:Engine Type=5;Jet OLEDB:Database Password=password");
    ASSERT_TRUE(ok.ok()) << ok.error().description;
    EXPECT_TRUE(jet::checkFile(d, "password").ok());
    EXPECT_FALSE(jet::checkFile(d, "").ok());
}

TEST(ConnectionStrings, RefusalsNameWhatIsWrong) {
    struct Case {
        std::string text;
        jet::ErrorCode code;
        std::string mentions;
    } cases[] = {
        {"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=a.mdb;Colour=blue",
         jet::ErrorCode::kConnectionString, "Colour"},
        {"Provider=Microsoft.Jet.OLEDB.4.0", jet::ErrorCode::kConnectionString, "Data Source"},
        {"Data Source=a.mdb", jet::ErrorCode::kConnectionString, "Provider"},
        {"Provider=Microsoft.ACE.OLEDB.12.0;Data Source=a.mdb", jet::ErrorCode::kUnsupported,
         "Microsoft.ACE.OLEDB.12.0"},
        {"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=a.mdb;Jet OLEDB:Engine Type=4",
         jet::ErrorCode::kUnsupported, "Engine Type 4"},
        {"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/tmp/a;b/data.dbf;Jet OLEDB:Database "
         "Password=x",
         jet::ErrorCode::kConnectionString, "'b/data.dbf'"},
        {"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=\"a.mdb", jet::ErrorCode::kConnectionString,
         "closing quote"},
        {"=x;Provider=Microsoft.Jet.OLEDB.4.0", jet::ErrorCode::kConnectionString, "without a key"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto r = jet::parseConnectionString(c.text);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().number, static_cast<int32_t>(c.code));
        EXPECT_NE(r.error().description.find(c.mentions), std::string::npos)
            << r.error().description;
    }
}

TEST(ConnectionStrings, KeysAreCaseInsensitiveAndValuesMayBeQuoted) {
    auto r = jet::parseConnectionString(
        "provider=microsoft.jet.oledb.4.0; DATA SOURCE='/tmp/a;b.mdb' ;jet oledb:database "
        "password=\"p\"\"w=;\";");
    ASSERT_TRUE(r.ok()) << r.error().description;
    EXPECT_EQ(r->dataSource, "/tmp/a;b.mdb");
    EXPECT_EQ(r->password.value(), "p\"w=;");
    auto plain = jet::parseConnectionString(
        "Provider=Microsoft.Jet.OLEDB.4.0;Data Source= /x/data.dbf;Jet OLEDB:Database "
        "Password=a=b ");
    ASSERT_TRUE(plain.ok());
    EXPECT_EQ(plain->dataSource, " /x/data.dbf");  // paths are taken as given
    EXPECT_EQ(plain->password.value(), "a=b ");
}

TEST(ConnectionStrings, APathWithASemicolonLeavesEverythingUntouched) {
    TempDir dir;
    fs::create_directory(dir / "a;b");
    const auto src = dir / "a;b" / "data.dbf";
    SampleOptions o;
    o.password = "password";
    o.rows = 10;
    buildSampleDatabase(src.string(), o);
    const std::string before = readFile(src);
    auto r =
        jet::CompactDatabase("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + src.string() +
                                 ";Jet OLEDB:Database Password=password",
                             "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + src.string() +
                                 "2;Jet OLEDB:Engine Type=5;Jet OLEDB:Database Password=password");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().number, static_cast<int32_t>(jet::ErrorCode::kConnectionString));
    EXPECT_EQ(readFile(src), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "a;b"), fs::directory_iterator()), 1);
}

TEST(Compaction, AKeyThatDisagreesWithItsRowIsNeverPassedOn) {
    // Found by fuzzing: an index key altered in the source was copied into a
    // copy that the engine called good.
    TempDir dir;
    const fs::path db = dir / "src.mdb";
    SampleOptions o;
    o.rows = 60;
    buildSampleDatabase(db.string(), o);
    std::string bytes = readFile(db);
    // The primary key's leaf: an index leaf page of the user table; alter the
    // last byte of its first key (the ID's lowest byte).
    std::size_t leaf = 0;
    for (std::size_t p = 3; p < bytes.size() / 4096; ++p) {
        if (bytes[p * 4096] == 0x04 && bytes[p * 4096 + 0x1E0] == 0x7F &&
            bytes[p * 4096 + 0x1E1] == '\x80') {
            leaf = p;
            break;
        }
    }
    ASSERT_NE(leaf, 0u);
    bytes[leaf * 4096 + 0x1E0 + 4] = static_cast<char>(bytes[leaf * 4096 + 0x1E0 + 4] ^ 0x40);
    writeFile(db, bytes);
    auto source = jet::checkFile(db.string(), "");
    ASSERT_TRUE(source.ok());
    EXPECT_FALSE(source.value().ok()) << "the checker must see the altered key";
    auto r = compact(db, dir / "copy.mdb", "");
    if (r.ok()) {
        auto copy = jet::checkFile((dir / "copy.mdb").string(), "");
        ASSERT_TRUE(copy.ok());
        EXPECT_TRUE(copy.value().ok());
    } else {
        EXPECT_FALSE(fs::exists(dir / "copy.mdb"));
        EXPECT_EQ(readFile(db), bytes);
    }
}

namespace {

// Whether the checker, run on the file, reports a problem that says text.
::testing::AssertionResult checkerNames(const fs::path& f, const std::string& text) {
    auto report = jet::checkFile(f.string(), "");
    if (!report.ok()) return ::testing::AssertionFailure() << report.error().description;
    const auto& problems = report.value().problems;
    for (const auto& p : problems)
        if (p.text.find(text) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << (problems.empty() ? "no problem reported" : "reported: " + problems.front().text);
}

}  // namespace

TEST(Compaction, IndexEntriesThatDisagreeWithTheRowsAreNamedAndRebuiltFromTheRows) {
    // The checker compares each index with its rows as a whole first; an
    // index that differs is then gone through entry by entry, so that the
    // report still says which entry is wrong. The compaction never passes
    // such entries on: it makes the index anew from the rows.
    TempDir dir;
    const fs::path clean = dir / "clean.mdb";
    SampleOptions o;
    o.rows = 60;
    o.deadSpace = false;
    buildSampleDatabase(clean.string(), o);
    const std::string bytes = readFile(clean);
    // The primary key's first leaf page (keys of a Long column: 7F then 4 bytes).
    std::size_t leaf = 0;
    for (std::size_t p = 3; p < bytes.size() / 4096 && leaf == 0; ++p) {
        if (bytes[p * 4096] == 0x04 && bytes[p * 4096 + 0x1E0] == 0x7F &&
            bytes[p * 4096 + 0x1E1] == '\x80')
            leaf = p;
    }
    ASSERT_NE(leaf, 0u);
    jet::Page page{};
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(leaf * 4096), 4096, page.begin());
    const jet::IndexPage parsed = jet::parseIndexPage(page, static_cast<uint32_t>(leaf));
    ASSERT_GE(parsed.entries.size(), 3u);

    struct Case {
        const char* what;
        std::function<void(std::vector<jet::IndexEntry>&)> damage;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {"two rows swapped", [](auto& e) { std::swap(e[0].row, e[1].row); },
         "does not match the row"},
        {"one row twice", [](auto& e) { e[0].row = e[1].row; }, "two entries point to"},
        {"a row left out", [](auto& e) { e.erase(e.begin() + 1); }, "is missing from the index"},
        {"a row that is not there",
         [](auto& e) { e[2].row.row = static_cast<uint8_t>(e[2].row.row + 100); },
         "which is not a live row"},
        {"two entries swapped", [](auto& e) { std::swap(e[1], e[2]); },
         "entries out of order at entry 2"},
        {"a unique key twice", [](auto& e) { e[1].key = e[0].key; },
         "unique index holds a key twice at entry 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<jet::IndexEntry> entries = parsed.entries;
        c.damage(entries);
        std::vector<const jet::IndexEntry*> ptrs;
        for (const auto& e : entries) ptrs.push_back(&e);
        jet::Page damaged = jet::buildIndexPage(jet::kPageIndexLeaf, parsed.owner, parsed.prev,
                                                parsed.next, parsed.tail, ptrs);
        std::string b = bytes;
        std::copy(damaged.begin(), damaged.end(),
                  b.begin() + static_cast<std::ptrdiff_t>(leaf * 4096));
        const fs::path db = dir / (std::string(c.what) + ".mdb");
        writeFile(db, b);

        EXPECT_TRUE(checkerNames(db, c.expected));

        // The copy's index is made anew from the rows: nothing is lost.
        const fs::path copy = dir / (std::string(c.what) + "-copy.mdb");
        auto r = compact(db, copy, "");
        EXPECT_EQ(readFile(db), b);
        ASSERT_TRUE(r.ok()) << r.error().description;
        EXPECT_FALSE(r->repair.lostOrChanged());
        {
            // The same in as little memory as a compaction takes.
            jet::CompactRequest tight;
            tight.sourcePath = db.string();
            tight.destinationPath = copy.string() + "-tight";
            tight.memoryBudget = 0;
            auto t = jet::compactFile(tight);
            ASSERT_TRUE(t.ok()) << t.error().description;
            EXPECT_TRUE(readFile(copy) == readFile(tight.destinationPath));
        }
        auto checked = jet::checkFile(copy.string(), "");
        ASSERT_TRUE(checked.ok());
        EXPECT_TRUE(checked.value().ok()) << checked.value().problems.front().text;
        std::ostringstream before, after;
        ASSERT_TRUE(jet::dumpFile(clean.string(), "", {}, before).ok());
        ASSERT_TRUE(jet::dumpFile(copy.string(), "", {}, after).ok());
        EXPECT_EQ(before.str(), after.str());
    }
}

TEST(Checker, ALongValuePageLeftOutOfItsColumnsMapIsNamed) {
    // Every page a long value is read from must be listed in its column's
    // usage map, or a compaction that goes by the map would lose it.
    TempDir dir;
    const fs::path db = dir / "src.mdb";
    SampleOptions o;
    o.rows = 120;
    o.deadSpace = false;
    buildSampleDatabase(db.string(), o);
    jet::RowPtr map;
    {
        auto d = jet::Database::open(jet::Env::standard(), db.string(), "");
        for (const auto& t : d->localTables()) {
            if (t.isSystem()) continue;
            for (const auto& m : d->tableDef(t.tdefPage(), t.name).longValueMaps)
                if (map.isNull() && !m.owned.isNull()) map = m.owned;
        }
    }
    ASSERT_FALSE(map.isNull()) << "the sample has no long-value map";
    std::string b = readFile(db);
    const jet::ByteView page(reinterpret_cast<const uint8_t*>(b.data()) + map.page * 4096, 4096);
    auto rowStart = [&](std::size_t r) -> std::size_t {
        return jet::u16(page, 14 + 2 * r) & 0x1FFFu;
    };
    const std::size_t start = rowStart(map.row);
    const std::size_t end = map.row == 0 ? 4096 : rowStart(map.row - 1u);
    ASSERT_EQ(page[start], 0) << "expected a map that holds its bitmap in its row";
    // The map's type and first page stay; its bitmap lists nothing.
    std::fill(b.begin() + static_cast<std::ptrdiff_t>(map.page * 4096 + start + 5),
              b.begin() + static_cast<std::ptrdiff_t>(map.page * 4096 + end), '\0');
    writeFile(db, b);

    EXPECT_TRUE(checkerNames(db, "is missing from the column's usage map"));
}

namespace {

// Alters one byte of the first page written that a test picks, as a disk or
// a fault in the writer might, and leaves every other write alone.
class AlteringEnv : public jet::Env {
  public:
    using Pick = std::function<bool(const uint8_t* page)>;
    using Where = std::function<std::size_t(const uint8_t* page)>;
    AlteringEnv(Pick pick, Where at) : pick_(std::move(pick)), at_(std::move(at)) {}
    jet::OsResult<std::size_t> writeAt(jet::FileHandle fd, const void* buf, std::size_t n,
                                       uint64_t offset) override {
        const auto* bytes = static_cast<const uint8_t*>(buf);
        if (!done_ && offset % 4096 == 0 && n % 4096 == 0) {
            for (std::size_t p = 0; p < n; p += 4096) {
                if (!pick_(bytes + p)) continue;
                std::vector<uint8_t> altered(bytes, bytes + n);
                altered[p + at_(bytes + p)] ^= 0x01;
                done_ = true;
                return jet::Env::writeAt(fd, altered.data(), n, offset);
            }
        }
        return jet::Env::writeAt(fd, buf, n, offset);
    }
    bool done() const { return done_; }

  private:
    Pick pick_;
    Where at_;
    bool done_ = false;
};

jet::ByteView pageAt(const uint8_t* page) { return jet::ByteView(page, jet::kPageSize); }
uint32_t ownerOf(const uint8_t* page) { return jet::u32(pageAt(page), 4); }

}  // namespace

TEST(Compaction, ACopyThatDiffersFromWhatWasWrittenIsRefused) {
    // The copy is read back and compared with the source before it counts,
    // each table as soon as it is written and the usage maps at the end.
    // One byte altered on its way to the disk must be caught wherever it is.
    TempDir dir;
    const fs::path db = dir / "src.mdb";
    SampleOptions o;
    o.rows = 120;
    buildSampleDatabase(db.string(), o);
    const std::string original = readFile(db);
    struct Case {
        const char* what;
        AlteringEnv::Pick pick;
        AlteringEnv::Where at;
    };
    auto end = [](const uint8_t*) -> std::size_t { return 4095; };
    const std::vector<Case> cases = {
        // The last byte of a page is the end of its first row: for a row of
        // the user table, its null mask.
        {"a row",
         [](const uint8_t* p) {
             const uint32_t owner = ownerOf(p);
             return p[0] == jet::kPageData && owner > jet::kCatalogPage && owner != 0 &&
                    owner != jet::kOwnerLval;
         },
         end},
        // Long values stored on pages of their own.
        {"a long value",
         [](const uint8_t* p) { return p[0] == jet::kPageData && ownerOf(p) == jet::kOwnerLval; },
         end},
        // The first key on an index leaf.
        {"an index key", [](const uint8_t* p) { return p[0] == jet::kPageIndexLeaf; },
         [](const uint8_t*) -> std::size_t { return 0x1E0; }},
        // Usage maps sit on pages owned by none, written last. The last map
        // there is one of the user table's long-value maps; the first bit of
        // its bitmap (after the map type and start page) names a page of the
        // file, so only comparing the map with what the table was checked
        // against can tell.
        {"a usage map", [](const uint8_t* p) { return p[0] == jet::kPageData && ownerOf(p) == 0; },
         [](const uint8_t* p) -> std::size_t {
             const std::size_t rows = jet::u16(pageAt(p), 12);
             return (jet::u16(pageAt(p), 14 + 2 * (rows - 1)) & 0x1FFFu) + 5u;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        AlteringEnv io(c.pick, c.at);
        auto r = compact(db, dir / "copy.mdb", "", std::nullopt, &io);
        ASSERT_TRUE(io.done()) << "no page of this kind was written";
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().code(), jet::ErrorCode::kVerifyFailed) << r.error().description;
        EXPECT_FALSE(fs::exists(dir / "copy.mdb"));
        EXPECT_EQ(readFile(db), original);
    }
    // A table with no long values is compared by its rows' bytes: a value
    // in no index, altered, is caught by that alone.
    const fs::path narrow = dir / "narrow.mdb";
    {
        using jet::ColumnType;
        auto b = jet::DatabaseBuilder::create(narrow.string(), {},
                                              {{"Μετρήσεις",
                                                {{"ID", ColumnType::kLong, 0, true},
                                                 {"Count", ColumnType::kLong},
                                                 {"Τόπος", ColumnType::kText, 50}},
                                                {{"PrimaryKey", {{"ID", true}}, true}}}});
        ASSERT_TRUE(b.ok());
        for (int i = 0; i < 200; ++i) {
            std::vector<jet::Value> v{jet::Value{}, int64_t{i * 7},
                                      std::string("Θεσσαλονίκη ") + std::to_string(i)};
            ASSERT_TRUE(b.value()->addRow(0, v).ok());
        }
        ASSERT_TRUE(b.value()->finish().ok());
    }
    const std::string narrowBytes = readFile(narrow);
    // The first row's Count: after the column count and the ID.
    AlteringEnv io(
        [](const uint8_t* p) {
            return p[0] == jet::kPageData && ownerOf(p) > jet::kCatalogPage &&
                   ownerOf(p) != jet::kOwnerLval && jet::u16(pageAt(p), 12) > 0;
        },
        [](const uint8_t* p) -> std::size_t {
            return (jet::u16(pageAt(p), 14) & 0x1FFFu) + 2u + 4u;
        });
    auto r = compact(narrow, dir / "narrow-copy.mdb", "", std::nullopt, &io);
    ASSERT_TRUE(io.done());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code(), jet::ErrorCode::kVerifyFailed) << r.error().description;
    EXPECT_NE(r.error().description.find("differ from the database's"), std::string::npos)
        << r.error().description;
    EXPECT_FALSE(fs::exists(dir / "narrow-copy.mdb"));
    EXPECT_EQ(readFile(narrow), narrowBytes);
}
