// How far a compaction has come, as its caller's watch is told: on the
// caller's thread, pages read only growing within a pass, each pass from 0
// to the whole; a repair's pass told as such.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "format/UsageMap.h"
#include "jet/Compact.h"
#include "read/Database.h"
#include "support/DamageLayout.h"
#include "support/Fixtures.h"
#include "support/SampleDatabase.h"

using namespace testsupport;

namespace {

// Every call, and whether each came on the thread that made the watch.
class RecordingWatch : public jet::CompactWatch {
  public:
    // slow: each call takes longer than the engine waits between calls, so
    // that every batch whose count grew is told.
    explicit RecordingWatch(bool slow = false) : slow_(slow) {}
    void progress(const jet::CompactProgress& p) override {
        calls.push_back(p);
        if (std::this_thread::get_id() != thread_) ++otherThread;
        if (slow_) std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    std::vector<jet::CompactProgress> calls;
    int otherThread = 0;

  private:
    const bool slow_;
    const std::thread::id thread_ = std::this_thread::get_id();
};

// The passes told, each its calls in order.
std::vector<std::vector<jet::CompactProgress>> passes(const RecordingWatch& w) {
    std::vector<std::vector<jet::CompactProgress>> out;
    for (const auto& c : w.calls) {
        if (c.pagesRead == 0 && (out.empty() || !out.back().empty())) out.emplace_back();
        if (out.empty()) out.emplace_back();
        out.back().push_back(c);
    }
    return out;
}

// A pass begins at 0, grows and never shrinks, keeps its whole, and its time
// never runs back.
void expectGrowing(const std::vector<jet::CompactProgress>& pass) {
    ASSERT_FALSE(pass.empty());
    EXPECT_EQ(pass.front().pagesRead, 0u);
    for (std::size_t i = 1; i < pass.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_GT(pass[i].pagesRead, pass[i - 1].pagesRead);
        EXPECT_LE(pass[i].pagesRead, pass[i].pagesToRead);
        EXPECT_EQ(pass[i].pagesToRead, pass.front().pagesToRead);
        EXPECT_EQ(pass[i].repairing, pass.front().repairing);
        EXPECT_GE(pass[i].seconds, pass[i - 1].seconds);
    }
}

// Three ways a table is read: the sample's (its primary key an AutoNumber,
// read along the pages, memo and OLE values in every form), a table without
// a key (in page order), and one keyed on Greek words that come in no order
// (rows staged and passed on in key order).
void buildThreeTables(const fs::path& path, int rows) {
    using jet::ColumnType;
    jet::BuildTable plain{
        "Plain",
        {{"ID", ColumnType::kLong}, {"Label", ColumnType::kText, 40}, {"Story", ColumnType::kMemo}},
        {}};
    jet::BuildTable words{"Λέξεις",
                          {{"Λέξη", ColumnType::kText, 60}, {"Σημείωση", ColumnType::kMemo}},
                          {{"PrimaryKey", {{"Λέξη", true}}, true}}};
    auto b = jet::DatabaseBuilder::create(path.string(), {}, {sampleTable(), plain, words});
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
                        ->addRow(1, {int64_t(i), "γραμμή " + std::to_string(i), story}, i % 11 == 5)
                        .ok());
    }
    static const char* greek[] = {"ωμέγα", "άλφα", "ψι", "βήτα", "χι", "γάμμα", "φι", "δέλτα"};
    for (int i = 0; i < rows; ++i) {
        const int n = (i * 7919) % rows;  // every number once, in no order
        const std::string word = std::string(greek[n % 8]) + " " + std::to_string(n);
        ASSERT_TRUE(b.value()->addRow(2, {word, "σημείωση για " + word}).ok());
    }
    ASSERT_TRUE(b.value()->finish().ok());
}

jet::Result<jet::CompactResult> compactWatched(const fs::path& src, const fs::path& dst,
                                               jet::CompactWatch& watch) {
    jet::CompactRequest req;
    req.sourcePath = src.string();
    req.destinationPath = dst.string();
    req.watch = &watch;
    return jet::compactFile(req);
}

}  // namespace

TEST(CompactionProgress, PagesReadGrowToTheWholeOnTheCallersThread) {
    TempDir dir;
    buildThreeTables(dir / "three.mdb", 400);
    RecordingWatch watch(true);
    auto r = compactWatched(dir / "three.mdb", dir / "copy.mdb", watch);
    ASSERT_TRUE(r.ok()) << r.error().description;
    EXPECT_EQ(watch.otherThread, 0);
    const auto told = passes(watch);
    ASSERT_EQ(told.size(), 1u);
    expectGrowing(told[0]);
    const jet::CompactProgress& last = told[0].back();
    EXPECT_FALSE(last.repairing);
    EXPECT_EQ(last.pagesRead, last.pagesToRead);
    // Pages of the source, of which there are no more than the file holds;
    // and a slow watch is told of the pages read along the way.
    EXPECT_GT(last.pagesToRead, 0u);
    EXPECT_LE(last.pagesToRead, r->sourcePages);
    EXPECT_GT(told[0].size(), 3u);
}

TEST(CompactionProgress, ACompactionWithoutAWatchCopiesTheSame) {
    TempDir dir;
    buildThreeTables(dir / "three.mdb", 300);
    RecordingWatch watch;
    ASSERT_TRUE(compactWatched(dir / "three.mdb", dir / "watched.mdb", watch).ok());
    jet::CompactRequest req;
    req.sourcePath = (dir / "three.mdb").string();
    req.destinationPath = (dir / "plain.mdb").string();
    ASSERT_TRUE(jet::compactFile(req).ok());
    EXPECT_EQ(readFile(dir / "watched.mdb"), readFile(dir / "plain.mdb"));
}

// The plain compaction stops at a damaged primary key and the repair reads
// the file again: a step of nothing as it reads the damaged tables (so that
// the plain pass drawn so far does not stand), then its pass told anew, as
// the repair's, to the whole.
TEST(CompactionProgress, ARepairIsAPassOfItsOwnThatEndsAtTheWhole) {
    TempDir dir;
    const fs::path src = dir / "damaged.mdb";
    buildThreeTables(src, 300);
    uint32_t root = 0;
    {
        auto db = jet::Database::open(jet::Env::standard(), src.string(), "");
        for (const auto& t : db->localTables()) {
            if (t.name != "Customers") continue;
            const jet::TableDef& def = db->tableDef(t.tdefPage(), t.name);
            root = def.realIndexes[def.primaryKey()->realIndex].rootPage;
        }
    }
    ASSERT_NE(root, 0u);
    std::string bytes = readFile(src);
    std::fill_n(pageBytes(bytes, root), 4096, uint8_t{0});
    writeFile(src, bytes);

    RecordingWatch watch;
    auto r = compactWatched(src, dir / "copy.mdb", watch);
    ASSERT_TRUE(r.ok()) << r.error().description;
    EXPECT_EQ(watch.otherThread, 0);
    const auto told = passes(watch);
    ASSERT_EQ(told.size(), 3u);
    expectGrowing(told[0]);
    EXPECT_FALSE(told[0].front().repairing);
    ASSERT_EQ(told[1].size(), 1u);
    EXPECT_TRUE(told[1].front().repairing);
    EXPECT_EQ(told[1].front().pagesToRead, 0u);
    expectGrowing(told[2]);
    EXPECT_TRUE(told[2].front().repairing);
    EXPECT_GT(told[2].back().pagesToRead, 0u);
    EXPECT_EQ(told[2].back().pagesRead, told[2].back().pagesToRead);
}
