// A compaction within a fixed memory budget: what does not fit goes to
// private temporary files that never outlive the run, and the copy is the
// same, byte for byte, whatever the budget.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <random>

#include "builder/Builder.h"
#include "format/IndexPage.h"
#include "format/UsageMap.h"
#include "jet/Check.h"
#include "jet/Compact.h"
#include "ops/check/Checker.h"
#include "ops/compact/CopyPlan.h"
#include "os/ExternalSort.h"
#include "os/SpillFile.h"
#include "read/Database.h"
#include "support/EngineReads.h"
#include "support/FaultyEnv.h"
#include "support/Fixtures.h"
#include "support/SampleDatabase.h"
#include "write/IndexTreeStream.h"

using namespace testsupport;

namespace {

// What a check found, in its words.
std::vector<std::string> texts(const jet::CheckResult& r) {
    std::vector<std::string> out;
    for (const auto& f : r.findings) out.push_back(f.text);
    return out;
}

// Records the file operations' opens, and can refuse unnamed files or end
// the process by a signal once a named temporary file is open.
class OpenRecorder : public jet::Env {
  public:
    struct Open {
        std::string path;
        jet::OpenMode mode;
        bool unnamed;
    };
    bool refuseUnnamed = false;
    bool signalOnNamed = false;
    std::vector<Open> opens;  // the compaction's threads open files at once
    std::mutex mutex;
    void record(const std::string& path, jet::OpenMode mode, bool unnamed) {
        std::lock_guard<std::mutex> lock(mutex);
        opens.push_back({path, mode, unnamed});
    }
    jet::OsResult<jet::FileHandle> openTemporary(const std::string& folder) override {
        record(folder, jet::OpenMode::kCreateUpdate, true);
        if (refuseUnnamed) return {jet::kNoFile, {jet::OsErrc::kNotSupported, 0}};
        return jet::Env::openTemporary(folder);
    }
    jet::OsResult<jet::FileHandle> open(const std::string& path, jet::OpenMode mode) override {
        record(path, mode, false);
        const auto fd = jet::Env::open(path, mode);
        if (fd.ok() && signalOnNamed && path.find(".jet4-spill") != std::string::npos)
            ::raise(SIGTERM);
        return fd;
    }
    std::size_t temporary() const {
        return static_cast<std::size_t>(
            std::count_if(opens.begin(), opens.end(), [](const Open& o) {
                return o.unnamed || o.path.find(".jet4-spill") != std::string::npos;
            }));
    }
};

// Spill files have no name while they are open; on Windows they keep theirs
// until they are closed (FILE_FLAG_DELETE_ON_CLOSE).
#ifdef _WIN32
constexpr std::size_t kNamesWhileOpen = 1;
#else
constexpr std::size_t kNamesWhileOpen = 0;
#endif

std::size_t filesIn(const fs::path& dir) {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

jet::Result<jet::CompactResult> compact(const fs::path& src, const fs::path& dst, uint64_t budget,
                                        jet::Env* env = nullptr) {
    jet::CompactRequest req;
    req.env = env;
    req.sourcePath = src.string();
    req.destinationPath = dst.string();
    req.memoryBudget = budget;
    return jet::compactFile(req);
}

// One table whose primary key is a Long in no relation to the order of the
// rows (so the rows are reordered), an index of few keys (long runs of equal
// keys), an index of long text keys (many leaves), and memo values of every
// form; a share of the rows deleted.
void buildShuffled(const fs::path& path, int rows) {
    using jet::ColumnType;
    std::vector<jet::BuildTable> tables{
        {"Shuffled",
         {{"ID", ColumnType::kLong},
          {"Kind", ColumnType::kText, 10},
          {"Title", ColumnType::kText, 200},
          {"Body", ColumnType::kMemo}},
         {{"PrimaryKey", {{"ID", true}}, true},
          {"ByKind", {{"Kind", true}}},
          {"ByTitle", {{"Title", false}, {"ID", true}}}}},
        {"Plain", {{"N", ColumnType::kLong}, {"Note", ColumnType::kText, 50}}, {}}};
    auto b = jet::DatabaseBuilder::create(path.string(), {}, tables);
    ASSERT_TRUE(b.ok());
    std::mt19937 rng(7);
    for (int i = 0; i < rows; ++i) {
        const int64_t id = (static_cast<int64_t>(i) * 7919 + 13) % 1000003;
        std::string body;
        const int form = i % 50;
        if (form == 0)
            body.assign(5000 + static_cast<std::size_t>(i % 700), 'x');  // a chain
        else if (form < 10)
            body.assign(100 + static_cast<std::size_t>(rng() % 900), 'm');
        else if (form < 30)
            body = "short " + std::to_string(i);
        std::vector<jet::Value> v{
            id, std::string(1, static_cast<char>('A' + rng() % 5)),
            std::string(60 + rng() % 120, static_cast<char>('a' + i % 26)) + std::to_string(rng()),
            body.empty() ? jet::Value{} : jet::Value{body}};
        ASSERT_TRUE(b.value()->addRow(0, v, rng() % 10 == 0).ok());
    }
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(b.value()->addRow(1, {int64_t{i}, "note " + std::to_string(i)}).ok());
    }
    ASSERT_TRUE(b.value()->finish().ok());
}

// A folder for temporary files of the process, empty again after.
struct TempFolder {
    TempDir dir;
    std::string saved;
    bool had = false;
    TempFolder() {
        if (const char* t = std::getenv(kTemporaryFolderVariable)) {
            had = true;
            saved = t;
        }
        setVariable(kTemporaryFolderVariable, dir.path().string());
    }
    ~TempFolder() {
        if (had)
            setVariable(kTemporaryFolderVariable, saved);
        else
            setVariable(kTemporaryFolderVariable, "");
    }
};

// Every usage map of a table, by where its row lies, with the pages it lists.
std::map<uint32_t, std::vector<uint32_t>> mapsOf(jet::Database& d, const jet::TableDef& def) {
    std::map<uint32_t, std::vector<uint32_t>> maps;
    auto give = [&](jet::RowPtr at) {
        if (!at.isNull()) maps[at.toU32()] = jet::readUsageMap(d.file(), at, "map").pages;
    };
    give(def.ownedMap);
    give(def.freeMap);
    for (const auto& ri : def.realIndexes) give(ri.usageMap);
    for (const auto& lv : def.longValueMaps) {
        give(lv.owned);
        give(lv.free);
    }
    return maps;
}

}  // namespace

TEST(SpillFiles, ArePrivateUnnamedOrUnlinkedAtOnceAndReadBackWhole) {
    TempDir dir;
    for (bool refuse : {false, true}) {
        SCOPED_TRACE(refuse ? "named" : "unnamed");
        OpenRecorder io;
        io.refuseUnnamed = refuse;
        jet::SpillFolders where = jet::SpillFolders::system(io);
        where.folders = {(dir / "absent").string(), dir.path().string()};
        auto f = jet::SpillFile::create(where);
        // Nothing with a name is left in the folder, even while it is open
        // (on Windows, once it is closed: the file keeps its name till then).
        EXPECT_EQ(filesIn(dir.path()), kNamesWhileOpen);
        std::vector<uint8_t> data(1'000'000);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
        f->append(data.data(), 3);
        f->append(data.data() + 3, data.size() - 3);
        std::vector<uint8_t> back(data.size());
        f->read(0, back.data(), back.size());
        EXPECT_EQ(back, data);
        jet::SpillReader r(*f, 10, 20, 4);
        EXPECT_EQ(*r.take(3), data[10]);
        EXPECT_EQ(r.take(7)[6], data[19]);
        EXPECT_TRUE(r.atEnd());
        for (const auto& o : io.opens) {
            if (o.path.find(dir.path().string()) != 0) continue;
            // Created exclusively, for this user alone.
            EXPECT_EQ(o.mode, jet::OpenMode::kCreateUpdate);
        }
        EXPECT_GE(io.temporary(), 1u);
        f.reset();
        EXPECT_EQ(filesIn(dir.path()), 0u);
    }
    jet::SpillFolders nowhere;
    nowhere.folders = {(dir / "absent").string()};
    try {
        jet::SpillFile::create(nowhere);
        ADD_FAILURE() << "a folder that does not exist took a file";
    } catch (const jet::JetException& e) {
        EXPECT_NE(e.error().description.find("absent"), std::string::npos);
    }
}

#ifdef _WIN32
TEST(SpillFiles, ANamedOneIsRemovedWhenASignalEndsTheProcess) {
    GTEST_SKIP() << "POSIX signals; Windows' spill files go when they are closed, named or not";
}
#else
TEST(SpillFiles, ANamedOneIsRemovedWhenASignalEndsTheProcess) {
    TempDir dir;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        OpenRecorder io;
        io.refuseUnnamed = true;
        io.signalOnNamed = true;
        jet::SpillFolders where = jet::SpillFolders::system(io);
        where.folders = {dir.path().string()};
        try {
            jet::SpillFile::create(where);
        } catch (...) {
        }
        ::_exit(0);  // not reached: the signal ends the process
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(filesIn(dir.path()), 0u);
}
#endif

TEST(ExternalSort, RecordsBeyondMemoryComeOutAsSortedInMemory) {
    TempFolder tmp;
    std::mt19937_64 rng(3);
    for (std::size_t n : {0u, 1u, 1000u, 50'000u}) {
        SCOPED_TRACE(n);
        jet::ExternalSorter<uint64_t> small(8 << 10, jet::SpillFolders::system());
        std::vector<uint64_t> all;
        for (std::size_t i = 0; i < n; ++i) {
            all.push_back(rng() % 5000);  // with repeats
            small.add(all.back());
        }
        EXPECT_EQ(small.spilled(), n > 1024);
        small.finish();
        std::sort(all.begin(), all.end());
        std::vector<uint64_t> out;
        for (uint64_t v; small.next(v);) out.push_back(v);
        EXPECT_EQ(out, all);
    }
    // Records of any length, ordered by their first byte then their length.
    auto less = [](std::span<const uint8_t> a, std::span<const uint8_t> b) {
        return a[0] != b[0] ? a[0] < b[0] : a.size() < b.size();
    };
    auto records =
        std::make_unique<jet::RecordSorter<decltype(less)>>(0, jet::SpillFolders::system(), less);
    std::vector<std::vector<uint8_t>> all;
    for (int i = 0; i < 20'000; ++i) {
        std::vector<uint8_t> r(static_cast<std::size_t>(1 + rng() % 40),
                               static_cast<uint8_t>(rng()));
        records->add(r);
        all.push_back(r);
    }
    EXPECT_TRUE(records->spilled());
    records->finish();
    std::sort(all.begin(), all.end(), [&](const auto& a, const auto& b) { return less(a, b); });
    std::size_t i = 0;
    for (std::span<const uint8_t> r; records->next(r); ++i) {
        ASSERT_LT(i, all.size());
        EXPECT_FALSE(less(r, all[i]) || less(all[i], r)) << "record " << i;
    }
    EXPECT_EQ(i, all.size());
    EXPECT_LE(filesIn(tmp.dir.path()), kNamesWhileOpen);
    records.reset();
    EXPECT_EQ(filesIn(tmp.dir.path()), 0u);
}

TEST(IndexTrees, LevelsThatSpillGiveTheTreeHeldInMemory) {
    // With no memory, every level above the leaves goes through a spill file.
    TempDir dir;
    std::mt19937 rng(11);
    for (std::size_t n : {0u, 1u, 2u, 3u, 40u, 3000u, 25'000u}) {
        {
            SCOPED_TRACE(std::to_string(n) + " entries");
            // Keys of every length, many sharing long prefixes, in order.
            std::vector<jet::IndexEntry> entries(n);
            for (std::size_t i = 0; i < n; ++i) {
                std::string k = std::string(rng() % 4 == 0 ? 200 : 3, 'k') + std::to_string(rng());
                k.resize(1 + rng() % k.size());
                entries[i].key = jet::IndexKey(
                    jet::ByteView(reinterpret_cast<const uint8_t*>(k.data()), k.size()));
                entries[i].row =
                    jet::RowPtr{static_cast<uint32_t>(100 + i / 50), static_cast<uint8_t>(i % 50)};
            }
            std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
                const int c = jet::compareKeys(a.key, b.key);
                return c != 0 ? c < 0 : a.row < b.row;
            });
            auto write = [&](const std::string& name, bool streamed, std::vector<uint32_t>& pages) {
                const fs::path f = dir / name;
                fs::remove(f);
                const int fd =
                    jet::Env::standard().open(f.string(), jet::OpenMode::kCreateUpdate).value;
                uint32_t root = 0;
                {
                    jet::OutputFile out(jet::Env::standard(), fd, 0, f.string(), 0);
                    jet::PageAllocator alloc(7);
                    jet::IndexTreeStream s(
                        alloc, out, 5, streamed ? 0 : std::numeric_limits<std::size_t>::max(),
                        jet::SpillFolders::near(jet::Env::standard(), f.string()));
                    for (const auto& e : entries) s.add(e.key, e.row);
                    root = s.finish(pages);
                    out.flush();
                }
                jet::Env::standard().close(fd);
                return std::make_pair(root, readFile(f));
            };
            std::vector<uint32_t> wholePages, streamedPages;
            const auto whole = write("whole", false, wholePages);
            const auto streamed = write("streamed", true, streamedPages);
            EXPECT_EQ(whole.first, streamed.first);
            EXPECT_EQ(wholePages, streamedPages);
            EXPECT_TRUE(whole.second == streamed.second);
        }
    }
}

TEST(BoundedCompaction, ATinyBudgetGivesTheSameCopyAndLeavesNoFiles) {
    TempDir dir;
    TempFolder tmp;
    const fs::path sample = dir / "sample.mdb";
    SampleOptions o;
    o.rows = 400;
    buildSampleDatabase(sample.string(), o);
    const fs::path shuffled = dir / "shuffled.mdb";
    buildShuffled(shuffled, 30'000);
    for (const fs::path& src : {sample, shuffled}) {
        SCOPED_TRACE(src.filename().string());
        const fs::path roomy = dir / "out" / "roomy.mdb";
        const fs::path tight = dir / "out" / "tight.mdb";
        fs::create_directories(roomy.parent_path());
        ASSERT_TRUE(compact(src, roomy, jet::kDefaultMemoryBudget).ok());
        OpenRecorder io;
        auto r = compact(src, tight, 0, &io);
        ASSERT_TRUE(r.ok()) << r.error().description;
        if (src == shuffled) {
            EXPECT_GE(io.temporary(), 5u) << "the tight run spilled";
        }
        EXPECT_TRUE(readFile(roomy) == readFile(tight));
        // Only the two copies are left, and nothing in the system's folder.
        EXPECT_EQ(filesIn(roomy.parent_path()), 2u);
        EXPECT_EQ(filesIn(tmp.dir.path()), 0u);
        fs::remove_all(roomy.parent_path());
    }
}

// Whatever budget a caller asks for, its shares fit the process: in a
// 32-bit one a budget of terabytes is not cut short, modulo 4 GB, into a few
// bytes or a few gigabytes, and the copy is the same.
TEST(BoundedCompaction, AnyBudgetIsSharedOutWithinTheAddressSpace) {
    const auto total = [](uint64_t budget) {
        const jet::MemoryShares s = jet::MemoryShares::of(budget);
        return uint64_t{s.keyPairs} + s.rowRuns + s.rowOrders + s.ties + s.levels + s.sorts +
               s.check;
    };
    uint64_t before = 0;
    for (const uint64_t budget :
         {uint64_t{0}, jet::kMinimumMemoryBudget, jet::kDefaultMemoryBudget, uint64_t{4} << 30,
          (uint64_t{4} << 30) + 1, uint64_t{1} << 40, ~uint64_t{0}}) {
        SCOPED_TRACE(budget);
        const uint64_t shared = total(budget);
        EXPECT_GE(shared, before) << "a larger budget never gives less";
        EXPECT_LE(shared, std::clamp(budget, jet::kMinimumMemoryBudget, jet::kMostMemoryBudget));
        before = shared;
    }
    if (sizeof(std::size_t) < sizeof(uint64_t)) {
        EXPECT_LE(total(~uint64_t{0}), uint64_t{512} << 20);
    }

    TempDir dir;
    const fs::path sample = dir / "δείγμα.mdb";
    buildSampleDatabase(sample.string());
    ASSERT_TRUE(compact(sample, dir / "default.mdb", jet::kDefaultMemoryBudget).ok());
    const auto all = compact(sample, dir / "all.mdb", ~uint64_t{0});
    ASSERT_TRUE(all.ok()) << all.error().description;
    EXPECT_TRUE(readFile(dir / "default.mdb") == readFile(dir / "all.mdb"));
}

TEST(BoundedCompaction, AFailingTemporaryFileFailsTheCopyCleanly) {
    TempDir dir;
    TempFolder tmp;
    const fs::path src = dir / "shuffled.mdb";
    buildShuffled(src, 8000);
    const std::string before = readFile(src);
    // Count the writes of a tight run, then fail each tenth of them in turn.
    FaultyEnv counting(0, jet::OsErrc::kIo, FaultyEnv::Mode::kFail, "write");
    ASSERT_TRUE(compact(src, dir / "counted.mdb", 0, &counting).ok());
    fs::remove(dir / "counted.mdb");
    const long writes = counting.count();
    ASSERT_GT(writes, 10);
    for (long n = 1; n <= writes; n += std::max(1L, writes / 10)) {
        SCOPED_TRACE("write #" + std::to_string(n));
        for (auto mode : {FaultyEnv::Mode::kFail, FaultyEnv::Mode::kShortWrite}) {
            FaultyEnv io(n, jet::OsErrc::kNoSpace, mode, "write");
            const jet::Result<jet::CompactResult> r = compact(src, dir / "copy.mdb", 0, &io);
            if (!r.ok()) {
                EXPECT_EQ(r.error().code(), jet::ErrorCode::kNoSpace) << r.error().description;
                EXPECT_FALSE(fs::exists(dir / "copy.mdb"));
            }
            fs::remove(dir / "copy.mdb");
            EXPECT_EQ(filesIn(dir.path()), 1u);
            EXPECT_EQ(filesIn(tmp.dir.path()), 0u);
        }
    }
    EXPECT_EQ(readFile(src), before);
}

TEST(BoundedCompaction, RowsInKeyOrderAreReadWithoutAReadForEachRow) {
    // The key lists the rows in no relation to their pages: read page by
    // page, the reads go with the pages, not with the rows.
    TempDir dir;
    const fs::path src = dir / "shuffled.mdb";
    const int rows = 30'000;
    buildShuffled(src, rows);
    FaultyEnv counting(0, jet::OsErrc::kIo, FaultyEnv::Mode::kFail, "read");
    jet::CompactRequest req;
    req.sourcePath = src.string();
    req.destinationPath = (dir / "copy.mdb").string();
    req.verify = false;
    req.env = &counting;
    ASSERT_TRUE(jet::compactFile(req).ok());
    const auto pages = static_cast<long>(fs::file_size(src) / 4096);
    EXPECT_LT(counting.count(), pages / 4) << "of " << pages << " pages, " << rows << " rows";
}

TEST(Checker, AnIndexCheckedEntryByEntryNamesTheSameProblemsInLittleMemory) {
    TempDir dir;
    TempFolder tmp;
    const fs::path clean = dir / "clean.mdb";
    buildShuffled(clean, 6000);
    std::string bytes = readFile(clean);
    // Every other entry of ByKind's first leaves points one row further on.
    std::vector<uint32_t> leaves;
    {
        auto d = jet::Database::open(jet::Env::standard(), clean.string(), "");
        for (const auto& t : d->localTables()) {
            if (t.name != "Shuffled") continue;
            const jet::TableDef& def = d->tableDef(t.tdefPage(), t.name);
            leaves = jet::readIndexTree(d->file(), def.realIndexes[1].rootPage, def.firstPage, "")
                         .levels.back();
        }
    }
    int damaged = 0;
    for (uint32_t p : leaves) {
        if (damaged == 3) break;
        jet::Page page{};
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(p * 4096), 4096, page.begin());
        jet::IndexPage ip = jet::parseIndexPage(page, p);
        for (std::size_t i = 0; i < ip.entries.size(); i += 2)
            ip.entries[i].row.row = static_cast<uint8_t>(ip.entries[i].row.row + 1);
        std::vector<const jet::IndexEntry*> ptrs;
        for (const auto& e : ip.entries) ptrs.push_back(&e);
        const jet::Page out =
            jet::buildIndexPage(jet::kPageIndexLeaf, ip.owner, ip.prev, ip.next, ip.tail, ptrs);
        std::copy(out.begin(), out.end(), bytes.begin() + static_cast<std::ptrdiff_t>(p * 4096));
        ++damaged;
    }
    ASSERT_GT(damaged, 0);
    const fs::path db = dir / "damaged.mdb";
    writeFile(db, bytes);
    auto check = [&](std::size_t memory) {
        auto d = jet::Database::open(jet::Env::standard(), db.string(), "");
        jet::CheckOptions options;
        options.sortMemory = memory;
        return texts(jet::checkDatabase(*d, options));
    };
    const auto roomy = check(64u << 20);
    ASSERT_GT(roomy.size(), 100u);
    EXPECT_EQ(check(0), roomy);
    EXPECT_EQ(filesIn(tmp.dir.path()), 0u);
}

TEST(Checker, ATableCheckedInStepsAsItIsWrittenFindsWhatItFindsWhole) {
    TempDir dir;
    const fs::path db = dir / "shuffled.mdb";
    buildShuffled(db, 5000);
    auto d = jet::Database::open(jet::Env::standard(), db.string(), "");
    jet::CatalogEntry table;
    for (const auto& t : d->localTables())
        if (t.name == "Shuffled") table = t;
    const jet::TableDef& def = d->tableDef(table.tdefPage(), table.name);
    // The maps as given to a check of a table still being written.
    std::map<uint32_t, std::vector<uint32_t>> maps = mapsOf(*d, def);
    const jet::CheckedTable whole = jet::checkTableEarly(*d, table, maps);
    ASSERT_TRUE(whole.part.ok()) << whole.part.findings.front().text;

    const std::vector<uint32_t> pages = maps[def.ownedMap.toU32()];
    ASSERT_GT(pages.size(), 20u);
    auto s = jet::Database::open(jet::Env::standard(), db.string(), "");
    jet::TableCheck steps(*s, table, def);
    const std::size_t third = pages.size() / 3;
    steps.rows({pages.begin(), pages.begin() + static_cast<std::ptrdiff_t>(third)});
    steps.rows({pages.begin() + static_cast<std::ptrdiff_t>(third), pages.end() - 5});
    // The last pages are left to the end, as when a table ends mid-step.
    const jet::CheckedTable stepped = steps.finish(maps);
    EXPECT_EQ(texts(stepped.part), texts(whole.part));
    EXPECT_EQ(stepped.part.notes, whole.part.notes);
    EXPECT_TRUE(stepped.part.digests == whole.part.digests);
    EXPECT_EQ(stepped.livePages, whole.livePages);
    ASSERT_EQ(stepped.part.tables.size(), 1u);
    EXPECT_EQ(stepped.part.tables[0].rows, whole.part.tables[0].rows);

    // Read with another layout than the table's: left to the whole check.
    jet::TableDef other = def;
    other.columns.back().length = static_cast<uint16_t>(other.columns.back().length + 2);
    auto o = jet::Database::open(jet::Env::standard(), db.string(), "");
    jet::TableCheck wrong(*o, table, other);
    wrong.rows(pages);
    EXPECT_THROW(wrong.finish(maps), jet::JetException);
}

// Counts the pages read, by number, of the one file opened through it.
class PageReads : public jet::Env {
  public:
    jet::OsResult<std::size_t> readAt(jet::FileHandle file, void* buf, std::size_t n,
                                      uint64_t offset) override {
        auto r = jet::Env::readAt(file, buf, n, offset);
        if (r.ok()) count(offset, r.value);
        return r;
    }
    jet::OsResult<std::size_t> readPartsAt(jet::FileHandle file, const jet::Buffer* parts, int n,
                                           uint64_t offset) override {
        auto r = jet::Env::readPartsAt(file, parts, n, offset);
        if (r.ok()) count(offset, r.value);
        return r;
    }
    std::map<uint32_t, int> reads;

  private:
    void count(uint64_t offset, std::size_t n) {
        for (uint64_t p = offset / 4096; p * 4096 < offset + n; ++p)
            ++reads[static_cast<uint32_t>(p)];
    }
};

TEST(Checker, ATableCheckedInStepsReadsItsPagesOnceAndStillFindsOnesNotItsOwn) {
    TempDir dir;
    const fs::path db = dir / "shuffled.mdb";
    buildShuffled(db, 20000);
    jet::CatalogEntry table;
    std::map<uint32_t, std::vector<uint32_t>> maps;
    std::vector<uint32_t> pages;
    {
        auto d = jet::Database::open(jet::Env::standard(), db.string(), "");
        for (const auto& t : d->localTables())
            if (t.name == "Shuffled") table = t;
        const jet::TableDef& def = d->tableDef(table.tdefPage(), table.name);
        maps = mapsOf(*d, def);
        pages = maps[def.ownedMap.toU32()];
    }
    ASSERT_GT(pages.size(), 100u);
    // The check in steps, all rows told at once; what its end reads, by page.
    auto stepped = [&](PageReads& env) {
        auto d = jet::Database::open(env, db.string(), "");
        jet::TableCheck steps(*d, table, d->tableDef(table.tdefPage(), table.name));
        steps.rows(pages);
        env.reads.clear();
        return steps.finish(maps);
    };
    {
        PageReads env;
        const jet::CheckedTable checked = stepped(env);
        ASSERT_TRUE(checked.part.ok()) << checked.part.findings.front().text;
        for (uint32_t p : pages) EXPECT_EQ(env.reads.count(p), 0u) << "page " << p;
    }

    // A page whose owner field names another page: told as the table's, its
    // rows are read (and refused), and the map that lists it is still found
    // wrong, in the words of the check of the whole table.
    std::string bytes = readFile(db);
    const uint32_t wrong = pages[pages.size() / 2];
    bytes[std::size_t{wrong} * 4096 + 5] ^= 0x40;
    writeFile(db, bytes);
    auto d = jet::Database::open(jet::Env::standard(), db.string(), "");
    const jet::CheckedTable whole = jet::checkTableEarly(*d, table, maps);
    ASSERT_FALSE(whole.part.ok());
    const std::string first = whole.part.findings.front().text;
    EXPECT_NE(first.find("lists page " + std::to_string(wrong)),
              std::string::npos)
        << first;
    PageReads env;
    const std::vector<std::string> problems = texts(stepped(env).part);
    EXPECT_NE(std::find(problems.begin(), problems.end(), first),
              problems.end());
}

TEST(BoundedCompaction, ALargeTableCheckedWhileItIsWrittenGivesTheUncheckedCopy) {
    // More data pages than are told of at a time, with long values on pages
    // still being filled when its first rows are checked.
    TempDir dir;
    const fs::path src = dir / "large.mdb";
    {
        using jet::ColumnType;
        auto b = jet::DatabaseBuilder::create(src.string(), {},
                                              {{"Large",
                                                {{"ID", ColumnType::kLong, 0, true},
                                                 {"Text", ColumnType::kText, 255},
                                                 {"Body", ColumnType::kMemo}},
                                                {{"PrimaryKey", {{"ID", true}}, true}}}});
        ASSERT_TRUE(b.ok());
        for (int i = 0; i < 60'000; ++i) {
            const auto n = static_cast<std::size_t>(i);
            std::vector<jet::Value> v{
                jet::Value{}, std::string(100 + n % 50, 't'),
                n % 7 == 0 ? jet::Value{std::string(300 + n % 5000, 'b')} : jet::Value{}};
            ASSERT_TRUE(b.value()->addRow(0, v).ok());
        }
        ASSERT_TRUE(b.value()->finish().ok());
    }
    jet::CompactRequest req;
    req.sourcePath = src.string();
    req.destinationPath = (dir / "checked.mdb").string();
    auto checked = jet::compactFile(req);
    ASSERT_TRUE(checked.ok()) << checked.error().description;
    req.destinationPath = (dir / "unchecked.mdb").string();
    req.verify = false;
    ASSERT_TRUE(jet::compactFile(req).ok());
    EXPECT_GT(fs::file_size(dir / "checked.mdb"), 3u * 2048 * 4096);
    EXPECT_TRUE(readFile(dir / "checked.mdb") == readFile(dir / "unchecked.mdb"));
    // The copy's third run of pages failing, a few megabytes in: the reader
    // is by then well ahead, waiting for room in the channel, and must stop
    // so that the copier's error is the copy's, with nothing left behind.
    const std::string source = readFile(src);
    FaultyEnv io(3, jet::OsErrc::kNoSpace, FaultyEnv::Mode::kFail, "write");
    req.env = &io;
    req.destinationPath = (dir / "failed.mdb").string();
    const auto failed = jet::compactFile(req);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().code(), jet::ErrorCode::kNoSpace) << failed.error().description;
    EXPECT_FALSE(fs::exists(dir / "failed.mdb"));
    EXPECT_TRUE(readFile(src) == source);
}
