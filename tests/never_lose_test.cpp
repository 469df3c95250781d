// Whatever happens during "Compact and Repair" (a failing operation, a kill,
// a full or read-only disk, a damaged file, another program using the
// database) the database afterwards is the untouched original or a complete,
// checked copy with the same rows, and exactly one message says what happened.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <set>
#include <thread>

#include "compaction/CompactCommand.h"
#include "compaction/CompactDB.h"
#include "jet/Check.h"
#include "jet/Compact.h"
#include "os/Lock.h"
#include "platform/doubles/Doubles.h"
#include "support/FaultyEnv.h"
#include "support/Fixtures.h"
#include "support/Oracle.h"
#include "support/ProductDatabase.h"
#include "support/SampleDatabase.h"
#include "write/DatabaseWriter.h"
#include "write/LongValueWriter.h"

using namespace testsupport;
using platform::doubles::FaultyFileSystem;
using platform::doubles::RecordingMessageBox;

namespace {

struct Runtime {
    RecordingMessageBox box;
    platform::RealFileSystem real;
    FaultyFileSystem files{real};
    platform::doubles::FixedNumberFormat numbers;
    platform::JetEngineFactory engines;
    compaction::Runtime rt{box, files, numbers, engines};
    // env: the calls the engine makes (none: the system's own).
    explicit Runtime(jet::Env* env = nullptr) : engines(env) {}
};

// Kills the process itself at its n-th engine file operation.
class KillingEnv : public jet::Env {
  public:
    explicit KillingEnv(long at) : at_(at) {}
    using Handle = jet::FileHandle;
    template <typename T>
    using R = jet::OsResult<T>;
    R<Handle> open(const std::string& p, jet::OpenMode m) override {
        return step(), jet::Env::open(p, m);
    }
    R<Handle> openTemporary(const std::string& f) override {
        return step(), jet::Env::openTemporary(f);
    }
    R<std::size_t> readAt(Handle fd, void* b, std::size_t n, uint64_t o) override {
        return step(), jet::Env::readAt(fd, b, n, o);
    }
    R<std::size_t> readPartsAt(Handle fd, const jet::Buffer* v, int c, uint64_t o) override {
        return step(), jet::Env::readPartsAt(fd, v, c, o);
    }
    R<std::size_t> writeAt(Handle fd, const void* b, std::size_t n, uint64_t o) override {
        return step(), jet::Env::writeAt(fd, b, n, o);
    }
    jet::OsError flush(Handle fd) override { return step(), jet::Env::flush(fd); }
    jet::OsError close(Handle fd) override { return step(), jet::Env::close(fd); }
    jet::OsError remove(const std::string& p) override { return step(), jet::Env::remove(p); }

  private:
    void step() {
        if (++n_ == at_) ::raise(SIGKILL);
    }
    long at_;
    std::atomic<long> n_{0};  // the checker reads from two threads
};

// Kills the process at the n-th of the routine's own file operations (after
// the engine's), or right after the swap, before anything else.
void killAtRoutineStep(FaultyFileSystem& files, long at) {
    auto n = std::make_shared<long>(0);
    auto step = [n, at](const std::string&) {
        if (++*n == at) ::raise(SIGKILL);
    };
    files.beforeStep = step;
    files.afterStep = [step](const std::string& op) {
        if (op == "replace") step(op);
    };
}

// Runs the routine in a child process; the child may be killed on the way.
int runChild(const fs::path& db, jet::Env* env, std::chrono::microseconds killAfter = {}) {
    pid_t pid = ::fork();
    if (pid == 0) {
        Runtime r(env);
        compaction::CompactDB(db.string(), db.string() + "2", kProductPassword, r.rt);
        ::_exit(0);
    }
    if (killAfter.count() > 0) {
        std::this_thread::sleep_for(killAfter);
        ::kill(pid, SIGKILL);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

}  // namespace

TEST(NeverLose, EachFileOperationFailingInTurnLeavesTheDatabaseWhole) {
    const std::string original = seedBytes();
    TempDir dir;
    const fs::path db = dir / "data.dbf";

    // A clean run, counting every operation (with a stale temporary to delete).
    writeFile(db, original);
    writeFile(db.string() + "2", "stale");
    const auto rows = contentOf(db);
    FaultyEnv counting;
    Runtime clean(&counting);
    ASSERT_TRUE(compaction::CompactDB(db.string(), db.string() + "2", kProductPassword, clean.rt));
    const auto engineKinds = counting.kinds();
    const auto routineOps = clean.files.calls;
    ASSERT_GT(engineKinds.size(), 20u);

    int points = 0;
    auto trial = [&](const std::string& what, const std::function<void(Runtime&)>& arm,
                     FaultyEnv* io) {
        SCOPED_TRACE(what);
        writeFile(db.string() + "2", "stale");
        writeFile(db, original);
        Runtime r(io);
        arm(r);
        bool ok = compaction::CompactDB(db.string(), db.string() + "2", kProductPassword, r.rt);
        EXPECT_EQ(r.box.shown.size(), ok ? 0u : 1u);
        expectIntactOrCompacted(db, original, rows);
        ++points;
    };
    for (long i = 1; i <= static_cast<long>(engineKinds.size()); ++i) {
        const std::string kind = engineKinds[static_cast<std::size_t>(i - 1)];
        FaultyEnv io(i, jet::OsErrc::kIo);
        trial(
            "engine " + kind + " #" + std::to_string(i), [](Runtime&) {}, &io);
        if (kind == "write") {
            FaultyEnv shortIo(i, jet::OsErrc::kNoSpace, FaultyEnv::Mode::kShortWrite);
            trial(
                "short engine write #" + std::to_string(i), [](Runtime&) {}, &shortIo);
        }
    }
    std::map<std::string, int> nth;
    for (const auto& op : routineOps) {
        int n = ++nth[op];
        trial(
            "routine " + op + " #" + std::to_string(n),
            [&](Runtime& r) {
                r.files.failOn(op, n, platform::ErrorRecord{57, "Device I/O error", "Injected"});
            },
            nullptr);
    }
    std::cout << "[ injection points covered: " << points << " (" << engineKinds.size()
              << " engine operations, " << routineOps.size()
              << " routine operations, plus short writes) ]\n";
}

// The engine on its own, opening and locking the source itself: every call
// it makes goes through the Env it is given (locks, stats, duplicates and
// advice among them), and each failing in turn ends in a clean error with
// no copy left, or in a checked copy; the source is never written.
TEST(NeverLose, EveryCallTheEngineMakesCanFailWithoutHarm) {
    TempDir dir;
    const fs::path src = dir / "data.dbf";
    const fs::path copy = dir / "copy.dbf";
    const std::string original = seedBytes();
    writeFile(src, original);
    auto compact = [&](jet::Env* env) {
        jet::CompactRequest req{src.string(), kProductPassword, copy.string(), kProductPassword,
                                true};
        req.env = env;
        return jet::compactFile(req);
    };
    FaultyEnv counting;
    ASSERT_TRUE(compact(&counting).ok());
    fs::remove(copy);
    const std::set<std::string> kinds(counting.kinds().begin(), counting.kinds().end());
    for (const char* kind : {"open", "stat", "lock", "read", "write", "flush", "advise", "close"})
        EXPECT_TRUE(kinds.count(kind)) << kind << " calls bypass the Env";
    FaultyEnv reads;
    ASSERT_TRUE(jet::checkFile(src.string(), kProductPassword, &reads).ok());
    EXPECT_GT(reads.count(), 0);

    int failed = 0;
    for (long i = 1; i <= counting.count(); ++i) {
        FaultyEnv io(i, jet::OsErrc::kIo);
        auto r = compact(&io);
        SCOPED_TRACE("call #" + std::to_string(i) + " (" + io.failedKind() + ")");
        if (r.ok()) {
            auto check = jet::checkFile(copy.string(), kProductPassword);
            ASSERT_TRUE(check.ok());
            EXPECT_TRUE(check.value().ok());
        } else {
            ++failed;
            EXPECT_FALSE(fs::exists(copy)) << r.error().description;
        }
        fs::remove(copy);
        EXPECT_EQ(readFile(src), original);
    }
    EXPECT_GT(failed, 0);
}

TEST(NeverLose, KillingTheRoutineAtAnyMomentLeavesADatabaseThatChecks) {
    const std::string original = seedBytes();
    TempDir dir;
    const fs::path db = dir / "data.dbf";
    writeFile(db, original);
    const auto rows = contentOf(db);

    // How many operations a run takes, and how long.
    FaultyEnv counting;
    Runtime clean(&counting);
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(compaction::CompactDB(db.string(), db.string() + "2", kProductPassword, clean.rt));
    auto took = std::chrono::steady_clock::now() - start;
    const long engineOps = counting.count();
    const long routineOps = static_cast<long>(clean.files.calls.size()) + 1;

    // The default run spreads a few dozen kills; QW_KILL_TRIALS=full kills at
    // every operation and at 100 random moments.
    const bool full =
        std::getenv("QW_KILL_TRIALS") && std::string(std::getenv("QW_KILL_TRIALS")) == "full";
    const long stride = full ? 1 : std::max(1L, engineOps / 24);
    int trials = 0, killed = 0;
    auto after = [&](int status) {
        ++trials;
        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) ++killed;
        expectIntactOrCompacted(db, original, rows);
        fs::remove(db.string() + "2");
        writeFile(db, original);
    };
    writeFile(db, original);
    for (long i = 1; i <= engineOps; i += stride) {
        SCOPED_TRACE("killed at engine operation " + std::to_string(i));
        KillingEnv kill(i);
        after(runChild(db, &kill));
    }
    // The routine's own steps: holding the database, the look-up, the delete,
    // the creation of the copy, the flush and the
    // replace (before and after the rename).
    for (long i = 1; i <= routineOps; ++i) {
        SCOPED_TRACE("killed at routine operation " + std::to_string(i));
        pid_t pid = ::fork();
        if (pid == 0) {
            Runtime r;
            killAtRoutineStep(r.files, i);
            compaction::CompactDB(db.string(), db.string() + "2", kProductPassword, r.rt);
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        after(status);
    }
    std::mt19937 rng(7);
    const auto span = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
    std::uniform_int_distribution<long> moment(1, std::max(2L, span + span / 5));
    for (int k = 0; k < (full ? 100 : 8); ++k) {
        SCOPED_TRACE("killed at a random moment");
        after(runChild(db, nullptr, std::chrono::microseconds(moment(rng))));
    }
    EXPECT_GT(killed, 10);
    std::cout << "[ kill trials: " << trials << ", killed mid-run: " << killed << " ]\n";
}

TEST(NeverLose, DamagedFilesEndInACleanErrorOrACheckedCopy) {
    // Every byte of pages 0 to 3 (a sample of them unless QW_SWEEP=full), the
    // first page of each other type, random bytes elsewhere, and truncation
    // at every page boundary; each copy compacted, the source never touched.
    const bool full = std::getenv("QW_SWEEP") && std::string(std::getenv("QW_SWEEP")) == "full";
    TempDir dir;
    std::mt19937 rng(11);
    int errors = 0, copies = 0;
    // Small Microsoft-made files where they are at hand, and one of our own.
    std::vector<std::pair<std::string, std::string>> inputs;
    if (!fixturesDir().empty()) {
        for (const char* name : {"deleted-rows-2000.mdb", "composite-index-512-rows-2000.mdb"}) {
            inputs.emplace_back(name, readFile(fixturesDir() / "jet4" / name));
        }
    }
    SampleOptions small;
    small.rows = 40;
    inputs.emplace_back("built", sampleDatabaseBytes(small));
    for (const auto& [name, original] : inputs) {
        SCOPED_TRACE(name);
        const fs::path src = dir / "src.mdb";
        const fs::path out = dir / "out.mdb";
        auto attempt = [&](const std::string& bytes, const std::string& what) {
            SCOPED_TRACE(what);
            writeFile(src, bytes);
            fs::remove(out);
            jet::CompactRequest req{src.string(), "", out.string(), "", true};
            auto r = jet::compactFile(req);
            EXPECT_EQ(readFile(src), bytes) << "the source was written";
            if (r.ok()) {
                ++copies;  // the engine reopened and checked it before saying so
                if (full) {
                    auto c = jet::checkFile(out.string(), "");
                    ASSERT_TRUE(c.ok());
                    EXPECT_TRUE(c.value().ok());
                }
            } else {
                ++errors;
                EXPECT_FALSE(fs::exists(out)) << "a failed compaction left its copy";
                EXPECT_NE(r.error().number, 0);
            }
        };
        std::vector<std::size_t> offsets;
        for (std::size_t b = 0; b < 4 * 4096; b += full ? 1 : 173) offsets.push_back(b);
        std::set<uint8_t> types;
        for (std::size_t p = 4; p < original.size() / 4096; ++p) {
            uint8_t type = static_cast<uint8_t>(original[p * 4096]);
            if (!types.insert(type).second) continue;
            for (std::size_t b = 0; b < 4096; b += full ? 1 : 131) offsets.push_back(p * 4096 + b);
        }
        std::uniform_int_distribution<std::size_t> anywhere(0, original.size() - 1);
        for (int k = 0; k < (full ? 1000 : 32); ++k) offsets.push_back(anywhere(rng));
        for (std::size_t at : offsets) {
            std::string bytes = original;
            bytes[at] = static_cast<char>(bytes[at] ^ (1 + static_cast<int>(at % 255)));
            attempt(bytes, "byte " + std::to_string(at));
        }
        for (std::size_t pages = 0; pages < original.size() / 4096; ++pages) {
            attempt(original.substr(0, pages * 4096), "cut at page " + std::to_string(pages));
        }
    }
    EXPECT_GT(errors, 0);
    EXPECT_GT(copies, 0);
}

// The copy is flushed to disk on the way, on a thread of its own: a flush
// that fails there must fail the copy, even though a later flush of the
// same file may well succeed.
TEST(NeverLose, AFlushThatFailsWhileTheCopyIsWrittenFailsTheCopy) {
    TempDir dir;
    const std::string path = (dir / "copy.mdb").string();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    // Operation 1 writes the page; 2 is the flush that starts, which the
    // final flush waits for before its own (which then succeeds).
    FaultyEnv io(2, jet::OsErrc::kIo);
    std::string error;
    try {
        jet::OutputFile out(io, fd, 0, path, jet::kPageSize);
        out.write(1, jet::Page{});
        out.flush();
        out.fsync();
    } catch (const jet::JetException& e) {
        error = e.what();
    }
    ::close(fd);
    EXPECT_EQ(io.failedKind(), "flush");
    EXPECT_NE(error.find("Cannot write"), std::string::npos) << error;
}

// Tables of the copy are checked as they are written, and the check at the
// end takes their pages as checked: a page written again after its check
// would go unchecked, so it is refused.
TEST(NeverLose, APageIsNeverWrittenAgainAfterItsCheck) {
    TempDir dir;
    const std::string path = (dir / "copy.mdb").string();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    std::string error;
    try {
        jet::OutputFile out(jet::Env::standard(), fd, 0, path);
        out.write(3, jet::Page{});
        out.seal({3});
        out.write(4, jet::Page{});
        out.write(3, jet::Page{});
    } catch (const jet::JetException& e) {
        EXPECT_EQ(e.error().code(), jet::ErrorCode::kVerifyFailed);
        error = e.what();
    }
    ::close(fd);
    EXPECT_NE(error.find("page 3"), std::string::npos) << error;
}

TEST(NeverLose, ADatabaseInUseIsRefused) {
    TempDir dir;
    const fs::path db = dir / "data.dbf";
    const std::string original = seedBytes();
    writeFile(db, original);
    auto compact = [&] {
        fs::remove(dir / "copy.mdb");
        return jet::compactFile(
            {db.string(), kProductPassword, (dir / "copy.mdb").string(), kProductPassword, true});
    };
    auto expectInUse = [&](const jet::Result<jet::CompactResult>& r) {
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().number, static_cast<int32_t>(jet::ErrorCode::kInUse));
        EXPECT_NE(r.error().description.find("in use"), std::string::npos);
        EXPECT_FALSE(fs::exists(dir / "copy.mdb"));
        EXPECT_EQ(readFile(db), original);
    };
    {
        // A compaction already running holds its locks.
        int fd = ::open(db.c_str(), O_RDONLY);
        jet::lockForCompaction(jet::Env::standard(), fd, db.string());
        expectInUse(compact());
        ::close(fd);
        EXPECT_TRUE(compact().ok());
    }
    // Another process with a byte-range lock on the database, or on its lock file.
    for (const fs::path& locked : {db, dir / "data.ldb"}) {
        SCOPED_TRACE(locked.string());
        writeFile(dir / "data.ldb", "");
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        pid_t pid = ::fork();
        if (pid == 0) {
            int fd = ::open(locked.c_str(), O_RDWR);
            struct flock fl {};
            fl.l_type = F_WRLCK;
            fl.l_whence = SEEK_SET;
            fl.l_start = 0x10000000;  // a range beyond the end, as record locks use
            fl.l_len = 256;
            ::fcntl(fd, F_SETLK, &fl);
            (void)!::write(ready[1], "x", 1);
            ::pause();
            ::_exit(0);
        }
        char c;
        ASSERT_EQ(::read(ready[0], &c, 1), 1);
        expectInUse(compact());
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        ::close(ready[0]);
        ::close(ready[1]);
    }
    // A stale lock file nobody holds is ignored.
    ASSERT_TRUE(fs::exists(dir / "data.ldb"));
    EXPECT_TRUE(compact().ok());
    EXPECT_EQ(jet::lockFilePath("/x/data.dbf"), "/x/data.ldb");
    EXPECT_EQ(jet::lockFilePath("/x.y/data"), "/x.y/data.ldb");
    EXPECT_EQ(jet::lockFilePath("/x/.hidden"), "/x/.hidden.ldb");
}

TEST(NeverLose, AReadOnlyDatabaseOrFolderIsLeftUntouched) {
    const std::string original = seedBytes();
    {
        TempDir dir;
        const fs::path db = dir / "data.dbf";
        writeFile(db, original);
        ::chmod(db.c_str(), 0444);
        Runtime r;
        compaction::CompactCommand cmd(r.rt);
        cmd.Command2_Click(db.string());
        ASSERT_EQ(r.box.shown.size(), 1u);
        EXPECT_NE(r.box.shown[0].text.find("read-only"), std::string::npos) << r.box.shown[0].text;
        EXPECT_EQ(readFile(db), original);
    }
    TempDir dir;
    const fs::path mnt = dir / "ro";
    fs::create_directory(mnt);
    if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=4m") != 0)
        GTEST_SKIP() << "cannot mount a file system here";
    writeFile(mnt / "data.dbf", original);
    ASSERT_EQ(::mount("tmpfs", mnt.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=4m"), 0);
    Runtime r;
    compaction::CompactCommand cmd(r.rt);
    cmd.Command2_Click((mnt / "data.dbf").string());
    ASSERT_EQ(r.box.shown.size(), 1u);
    EXPECT_EQ(r.box.shown[0].icon, platform::MessageIcon::kCritical);
    EXPECT_NE(r.box.shown[0].text.find("read-only (its file system is)"), std::string::npos)
        << r.box.shown[0].text;
    EXPECT_EQ(readFile(mnt / "data.dbf"), original);
    ::umount(mnt.c_str());
}

TEST(NeverLose, ADiskWithoutRoomEndsInAClearError) {
    const std::string original = seedBytes(kProductPassword, 600);
    // Writes failing with "no space" part way.
    {
        TempDir dir;
        writeFile(dir / "data.dbf", original);
        // The engine's last write of the copy: the disk fills up near the end.
        // Writes are counted alone: other threads read the copy meanwhile.
        long lastWrite = 0;
        {
            FaultyEnv counting;
            Runtime r(&counting);
            ASSERT_TRUE(compaction::CompactDB((dir / "data.dbf").string(),
                                              (dir / "counted.dbf").string(), kProductPassword,
                                              r.rt));
            fs::remove(dir / "counted.dbf");
            writeFile(dir / "data.dbf", original);  // the run replaced it
            for (const auto& kind : counting.kinds()) lastWrite += kind == "write" ? 1 : 0;
            ASSERT_GT(lastWrite, 0);
        }
        FaultyEnv io(lastWrite, jet::OsErrc::kNoSpace, FaultyEnv::Mode::kShortWrite, "write");
        Runtime r(&io);
        bool ok = compaction::CompactDB((dir / "data.dbf").string(), (dir / "data.dbf2").string(),
                                        kProductPassword, r.rt);
        EXPECT_FALSE(ok);
        ASSERT_EQ(r.box.shown.size(), 1u);
        EXPECT_EQ(readFile(dir / "data.dbf"), original);
        EXPECT_FALSE(fs::exists(dir / "data.dbf2"));
    }
    // A real small file system: refused before writing.
    TempDir dir;
    const fs::path mnt = dir / "small";
    fs::create_directory(mnt);
    const std::string size = "size=" + std::to_string(original.size() + original.size() / 2);
    if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, size.c_str()) != 0)
        GTEST_SKIP() << "cannot mount a file system here";
    writeFile(mnt / "data.dbf", original);
    Runtime r;
    compaction::CompactCommand cmd(r.rt);
    cmd.Command2_Click((mnt / "data.dbf").string());
    ASSERT_EQ(r.box.shown.size(), 1u);
    EXPECT_NE(r.box.shown[0].text.find("not enough room"), std::string::npos)
        << r.box.shown[0].text;
    EXPECT_EQ(readFile(mnt / "data.dbf"), original);
    EXPECT_FALSE(fs::exists(mnt / "data.dbf2"));
    ::umount(mnt.c_str());
}
