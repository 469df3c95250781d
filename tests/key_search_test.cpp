// An encoded file whose header is lost: the key its pages are encoded with
// searched for over a narrowed range (every key takes minutes), given, or
// the search stopped with nothing written; and files that need no search
// never start one.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <stdexcept>
#include <thread>

#include "format/KeySearch.h"
#include "format/Page.h"
#include "format/Rc4.h"
#include "format/TableDef.h"
#include "jet/Check.h"
#include "jet/Compact.h"
#include "support/Fixtures.h"
#include "support/Oracle.h"
#include "support/SampleDatabase.h"

using namespace testsupport;

namespace {

constexpr uint32_t kFixtureKey = 0xA7B773E0;  // rc4-encoded-small.mdb's, as its README says

class Watch : public jet::KeySearchWatch {
  public:
    explicit Watch(int stopAfter = -1) : stopAfter_(stopAfter) {}
    void searching(uint64_t tried, uint64_t total, double) override {
        EXPECT_LE(tried, total);
        EXPECT_GE(tried, lastTried);
        lastTried = tried;
        ++calls;
    }
    bool stopRequested() override { return stopAfter_ >= 0 && calls >= stopAfter_; }
    std::atomic<int> calls{0};
    uint64_t lastTried = 0;

  private:
    int stopAfter_;
};

// A range of some million keys with the key inside, not at its start.
jet::KeySearchRange around(uint32_t key) { return {key - (1u << 20) - 5, (3u << 20) + 3, 0}; }

jet::Result<jet::CompactResult> compactLost(const fs::path& src, const fs::path& dst,
                                            const std::string& pw, const jet::LostKey& lost) {
    jet::CompactRequest req;
    req.sourcePath = src.string();
    req.sourcePassword = pw;
    req.destinationPath = dst.string();
    req.destinationPassword = pw;
    req.lostKey = lost;
    return jet::compactFile(req);
}

std::map<std::string, std::vector<std::string>> rowsOf(const fs::path& file,
                                                       const std::string& pw) {
    std::map<std::string, std::vector<std::string>> out;
    for (const auto& t : mdbTables(file.string())) {
        std::string error;
        out[t] = ourRows(file.string(), pw, t, error);
        EXPECT_TRUE(error.empty()) << t << ": " << error;
    }
    return out;
}

// Page 2's head as an encoded file stores it under the key.
jet::PageHead storedHead(uint32_t key) {
    jet::PageHead h{};
    h[0] = jet::kPageTableDef;
    h[1] = 0x01;
    for (unsigned k = 0; k < 4; ++k)
        h[jet::kTdefConstant + k] = static_cast<uint8_t>(jet::kTdefMagic >> (8 * k));
    jet::rc4Page(key, 2, h.data(), h.size());
    return h;
}

std::string lostHeader(std::string bytes, std::size_t lost) {
    std::fill(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(lost), '\0');
    return bytes;
}

}  // namespace

// The search's inner step tries keys eight at a time: a key must be found
// in any lane, in the keys left over after the last eight, and across the
// wrap from 0xFFFFFFFF to 0.
TEST(KeySearch, ThePage2FilterFindsTheKeyWhereverItLies) {
    for (const uint32_t key : {0x00000000u, 0x00000003u, 0x12345677u, kFixtureKey, 0xFFFFFFFFu}) {
        SCOPED_TRACE(key);
        const jet::PageHead head = storedHead(key);
        for (const uint32_t before : {0u, 1u, 7u, 8u, 13u, 4099u}) {
            for (const uint32_t count : {before + 1, before + 9, before + 17, before + 5000}) {
                std::vector<uint32_t> found;
                jet::keysReadingPage2(head, key - before, count, found);
                EXPECT_EQ(found, std::vector<uint32_t>{key}) << before << " " << count;
            }
        }
        std::vector<uint32_t> none;
        jet::keysReadingPage2(head, key + 1, 1u << 16, none);
        EXPECT_TRUE(none.empty());
    }
    // The first byte of the stream comes after RC4's first swap, which
    // moves it for about one key in a hundred: many keys, each in a lane.
    uint32_t key = 0x9E3779B9;
    for (uint32_t k = 0; k < 4096; ++k) {
        key = key * 1664525u + 1013904223u;
        std::vector<uint32_t> found;
        jet::keysReadingPage2(storedHead(key), key - k % 8, 16, found);
        ASSERT_EQ(found, std::vector<uint32_t>{key}) << std::hex << key;
    }
}

TEST(KeySearch, AnEncodedFixtureWhoseHeaderIsLostComesBackWithEveryRow) {
    SKIP_WITHOUT_FIXTURES();
    SKIP_WITHOUT_MDBTOOLS();
    TempDir dir;
    const fs::path original = copyFixture(fixturesDir() / "jet4" / "rc4-encoded-small.mdb", dir);
    const auto rows = rowsOf(original, "");
    ASSERT_FALSE(rows.empty());
    // The first sector lost, and the whole page.
    for (const std::size_t lost : {std::size_t{512}, std::size_t{4096}}) {
        SCOPED_TRACE(lost);
        const fs::path damaged = dir / ("lost" + std::to_string(lost) + ".mdb");
        writeFile(damaged, lostHeader(readFile(original), lost));
        const std::string before = readFile(damaged);
        Watch watch;
        const fs::path copy = dir / ("copy" + std::to_string(lost) + ".mdb");
        auto r = compactLost(damaged, copy, "", {std::nullopt, around(kFixtureKey), &watch});
        ASSERT_TRUE(r.ok()) << r.error().description;
        EXPECT_TRUE(r->repair.keySearched);
        EXPECT_EQ(r->repair.databaseKey, kFixtureKey);
        EXPECT_TRUE(r->repair.headerRebuilt);
        EXPECT_GE(watch.calls.load(), 1);
        EXPECT_EQ(readFile(damaged), before);
        auto checked = jet::checkFile(copy.string(), "");
        ASSERT_TRUE(checked.ok() && checked->ok());
        EXPECT_EQ(rowsOf(copy, ""), rows);
        auto info = jet::databaseInfo(copy.string(), "");
        ASSERT_TRUE(info.ok());
        EXPECT_TRUE(info->encoded);

        // A second run given the key reported searches nothing.
        Watch idle;
        const fs::path again = dir / ("again" + std::to_string(lost) + ".mdb");
        auto given = compactLost(damaged, again, "", {kFixtureKey, {}, &idle});
        ASSERT_TRUE(given.ok()) << given.error().description;
        EXPECT_FALSE(given->repair.keySearched);
        EXPECT_EQ(idle.calls.load(), 0);
        EXPECT_EQ(rowsOf(again, ""), rows);
    }
}

// A database with a Greek password: the header made anew takes the
// password given, and the copy refuses any other.
TEST(KeySearch, APasswordDatabaseComesBackUnderItsOwnPassword) {
    SKIP_WITHOUT_MDBTOOLS();
    TempDir dir;
    const std::string pw = "Κλειδί-αρχείου";
    SampleOptions o;
    o.password = pw;
    o.databaseKey = 0x3C0FFEE1;
    o.rows = 150;
    const fs::path original = dir / "original.mdb";
    buildSampleDatabase(original.string(), o);
    const auto rows = rowsOf(original, pw);
    const fs::path damaged = dir / "damaged.mdb";
    writeFile(damaged, lostHeader(readFile(original), 512));
    auto r = compactLost(damaged, dir / "copy.mdb", pw, {std::nullopt, around(o.databaseKey), nullptr});
    ASSERT_TRUE(r.ok()) << r.error().description;
    EXPECT_EQ(r->repair.databaseKey, o.databaseKey);
    EXPECT_EQ(rowsOf(dir / "copy.mdb", pw), rows);
    auto wrong = jet::checkFile((dir / "copy.mdb").string(), "Κλειδί");
    ASSERT_FALSE(wrong.ok());
    EXPECT_EQ(wrong.error().code(), jet::ErrorCode::kInvalidPassword);
}

TEST(KeySearch, AStoppedSearchWritesNothing) {
    TempDir dir;
    SampleOptions o;
    o.databaseKey = 0xFEEDF00D;
    o.rows = 40;
    const fs::path damaged = dir / "damaged.mdb";
    writeFile(damaged, lostHeader(sampleDatabaseBytes(o), 512));
    const std::string before = readFile(damaged);
    // Every key, from the one after the file's: only a stop ends it soon.
    const jet::KeySearchRange all{o.databaseKey + 1, jet::kEveryKey, 0};

    Watch watch(2);
    auto r = compactLost(damaged, dir / "copy.mdb", "", {std::nullopt, all, &watch});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code(), jet::ErrorCode::kStopped);
    EXPECT_NE(r.error().description.find("Nothing was changed."), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "copy.mdb"));
    EXPECT_EQ(readFile(damaged), before);

    // Stopped from another thread, as a signal or the window's closing does.
    Watch seen;
    jet::Result<jet::CompactResult> stopped = jet::Error{};
    std::thread compaction([&] {
        stopped = compactLost(damaged, dir / "copy2.mdb", "", {std::nullopt, all, &seen});
    });
    while (seen.calls.load() == 0) std::this_thread::yield();
    EXPECT_TRUE(jet::stopKeySearches());
    compaction.join();
    ASSERT_FALSE(stopped.ok());
    EXPECT_EQ(stopped.error().code(), jet::ErrorCode::kStopped);
    EXPECT_FALSE(fs::exists(dir / "copy2.mdb"));
    EXPECT_EQ(readFile(damaged), before);
    EXPECT_FALSE(jet::stopKeySearches());  // none runs now

    // A watch that fails ends the search with its failure, on every thread.
    class Failing : public jet::KeySearchWatch {
        void searching(uint64_t, uint64_t, double) override { throw std::runtime_error("watch"); }
    } failing;
    EXPECT_THROW(compactLost(damaged, dir / "copy3.mdb", "", {std::nullopt, all, &failing}),
                 std::runtime_error);
    EXPECT_FALSE(fs::exists(dir / "copy3.mdb"));
    EXPECT_FALSE(jet::stopKeySearches());
}

// A search is only for an encoded file whose header is lost: a plain file
// with its header lost, an encoded file whose header reads, and a check
// (which reports the loss) never start one.
TEST(KeySearch, NoSearchWhereTheKeyIsNotLost) {
    TempDir dir;
    const jet::KeySearchRange all{0, jet::kEveryKey, 0};
    SampleOptions plain;
    plain.rows = 40;
    const fs::path plainLost = dir / "plain.mdb";
    writeFile(plainLost, lostHeader(sampleDatabaseBytes(plain), 512));
    Watch a;
    auto r = compactLost(plainLost, dir / "plain-copy.mdb", "", {std::nullopt, all, &a});
    ASSERT_TRUE(r.ok()) << r.error().description;
    EXPECT_TRUE(r->repair.headerRebuilt);
    EXPECT_FALSE(r->repair.keyRecovered);
    EXPECT_EQ(a.calls.load(), 0);

    SampleOptions encoded = plain;
    encoded.databaseKey = 0x0BADCAFE;
    const fs::path whole = dir / "encoded.mdb";
    buildSampleDatabase(whole.string(), encoded);
    Watch b;
    auto healthy = compactLost(whole, dir / "encoded-copy.mdb", "", {std::nullopt, all, &b});
    ASSERT_TRUE(healthy.ok()) << healthy.error().description;
    EXPECT_FALSE(healthy->repair.keyRecovered);
    EXPECT_EQ(b.calls.load(), 0);

    const fs::path lost = dir / "encoded-lost.mdb";
    writeFile(lost, lostHeader(readFile(whole), 512));
    auto checked = jet::checkFile(lost.string(), "");
    ASSERT_FALSE(checked.ok());
    EXPECT_NE(checked.error().description.find("A compaction tries every key"), std::string::npos)
        << checked.error().description;

    // What refuses the copy anyway is said before any search.
    writeFile(dir / "taken.mdb", "a file of the person's");
    Watch d;
    auto taken = compactLost(lost, dir / "taken.mdb", "", {std::nullopt, all, &d});
    ASSERT_FALSE(taken.ok());
    EXPECT_EQ(taken.error().code(), jet::ErrorCode::kDestinationExists);
    EXPECT_EQ(readFile(dir / "taken.mdb"), "a file of the person's");
    auto longPassword =
        compactLost(lost, dir / "long.mdb", std::string(21, 'x'), {std::nullopt, all, &d});
    ASSERT_FALSE(longPassword.ok());
    EXPECT_EQ(longPassword.error().code(), jet::ErrorCode::kPasswordTooLong);
    EXPECT_EQ(d.calls.load(), 0);

    // A key given that does not read the pages is refused, not searched past.
    Watch c;
    auto wrongKey = compactLost(lost, dir / "wrong.mdb", "", {0x0BADCAFF, all, &c});
    ASSERT_FALSE(wrongKey.ok());
    EXPECT_NE(wrongKey.error().description.find("0BADCAFF"), std::string::npos);
    EXPECT_EQ(c.calls.load(), 0);
    EXPECT_FALSE(fs::exists(dir / "wrong.mdb"));
}
