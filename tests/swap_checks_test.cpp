// The in-place swap's checks on POSIX systems, each failed through the Env:
// the file's and the folder's flags (immutable, append-only), this user's
// right to write, the file mounted over its name, and the extended
// attributes carried over to the copy. Each failure ends with the database
// whole, and with the number a real failure of that step reports: the
// number follows the Env's code alone (platform::runtimeNumberOf), whether
// the system said it or a test made it up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <map>
#include <optional>

#include "jet/Env.h"
#include "platform/ErrorRecord.h"
#include "platform/FileSystem.h"
#include "support/FaultyEnv.h"
#include "support/Fixtures.h"

using namespace testsupport;

namespace {

const std::string kOld(3 * 4096, 'o');
const std::string kNew(2 * 4096, 'n');

// The kinds of the checks (FaultyEnv's names): flags of the file and of its
// folder; write access to the file and in the folder; the mount; the
// attributes listed (database, copy), removed from the copy, read from the
// database and given to the copy.
const char* const kChecks[] = {"flags", "access", "mount", "attribute"};

// What the swap raised: its number, or none when it swapped.
struct Outcome {
    std::optional<int32_t> number;
    std::string description;
};

// Holds the database, writes the new bytes into the temporary (with an
// attribute the database lacks, for the copy to lose) and swaps them in.
Outcome swapIn(jet::Env& env, const fs::path& db) {
    platform::RealFileSystem files(&env);
    try {
        auto held = files.hold(db.string(), db.string() + "2");
        if (held->temporaryExists()) held->removeTemporary();
        const int fd = held->createTemporary();
        auto put = jet::Env::standard().writeAt(fd, kNew.data(), kNew.size(), 0);
        if (!put.ok() || put.value != kNew.size()) throw std::runtime_error("not written");
        if (::fsetxattr(fd, "user.stray", "x", 1, 0) != 0) throw std::runtime_error("no stray");
        held->flushTemporary();
        held->replace(false);
    } catch (const platform::RaisedError& e) {
        return {e.record().number, e.record().description};
    }
    return {};
}

// A database with an extended attribute of its own; false when the file
// system keeps none.
bool makeDatabase(const fs::path& dir, const fs::path& db) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    writeFile(db, kOld);
    return ::setxattr(db.c_str(), "user.quixwell", "kept", 4, 0) == 0;
}

// The system's number for each code a check is failed with.
const std::map<jet::OsErrc, int> kSystemNumber = {
    {jet::OsErrc::kAccess, EACCES},    {jet::OsErrc::kIo, EIO},
    {jet::OsErrc::kNotFound, ENOTDIR}, {jet::OsErrc::kNoSpace, ENOSPC},
    {jet::OsErrc::kOther, EBADF},      {jet::OsErrc::kHeld, EAGAIN}};

// How many calls of each kind one swap makes.
std::map<std::string, int> stepsOfOneSwap(const fs::path& db) {
    FaultyEnv counting;
    std::map<std::string, int> seen;
    if (swapIn(counting, db).number || readFile(db) != kNew) return seen;
    for (const auto& kind : counting.kinds()) ++seen[kind];
    return seen;
}

// An Env whose one check of a kind really fails: the system's own call,
// given what makes it fail (a closed descriptor, a name under a file, an
// attribute of no namespace). What the system says passes through the
// standard Env as any failure does.
class RealFailureEnv : public jet::Env {
  public:
    explicit RealFailureEnv(std::string kind) : kind_(std::move(kind)) {}
    jet::OsResult<jet::FileFlags> fileFlags(jet::FileHandle file) override {
        return jet::Env::fileFlags(now("flags") ? kClosed : file);
    }
    jet::OsError mayWrite(jet::FileHandle folder, const std::string& name) override {
        return jet::Env::mayWrite(folder, now("access") ? name + "/x" : name);
    }
    jet::OsResult<bool> isMountRoot(jet::FileHandle file) override {
        return jet::Env::isMountRoot(now("mount") ? kClosed : file);
    }
    jet::OsError setAttribute(jet::FileHandle file, const std::string& name,
                              const std::string& text) override {
        return jet::Env::setAttribute(file, now("attribute") ? "nonesuch." + name : name, text);
    }
    // The code the failure had, as the standard Env said it.
    jet::OsErrc said = jet::OsErrc::kNone;

  private:
    static constexpr jet::FileHandle kClosed = 1 << 20;  // no descriptor is that high
    bool now(const char* kind) { return !done_ && kind_ == kind && (done_ = true); }
    std::string kind_;
    bool done_ = false;
};

}  // namespace

// Each step of each check, failed with each code, made up (no system number)
// and as the system gives it: the same number, the table's, and the
// database as it was.
TEST(SwapChecks, EachCheckFailedLeavesTheDatabaseAndReportsTheTablesNumber) {
    TempDir root;
    const fs::path dir = root / "folder";
    const fs::path db = dir / "data.dbf";
    if (!makeDatabase(dir, db)) GTEST_SKIP() << "this file system keeps no extended attributes";
    const auto steps = stepsOfOneSwap(db);
    ASSERT_FALSE(steps.empty()) << "the swap itself failed";
    // The file and the folder, each; an attribute of each copy listed, the
    // stray removed, the database's read and given.
    EXPECT_EQ(steps.at("flags"), 2);
    EXPECT_EQ(steps.at("access"), 2);
    EXPECT_EQ(steps.at("mount"), 1);
    EXPECT_GE(steps.at("attribute"), 5);
    for (const char* kind : kChecks) {
        for (int step = 1; step <= steps.at(kind); ++step) {
            for (const auto& [code, system] : kSystemNumber) {
                SCOPED_TRACE(std::string(kind) + " " + std::to_string(step) + ", " +
                             jet::describe({code, system}));
                std::optional<int32_t> numbers[2];
                for (int real = 0; real < 2; ++real) {
                    ASSERT_TRUE(makeDatabase(dir, db));
                    FaultyEnv env(step, code, FaultyEnv::Mode::kFail, kind);
                    if (real) env.failWithSystemNumber(system);
                    const Outcome out = swapIn(env, db);
                    ASSERT_EQ(env.failedKind(), kind);
                    // An attribute gone meanwhile is no failure: the copy
                    // neither loses nor gets it.
                    if (!out.number) {
                        EXPECT_TRUE(std::string(kind) == "attribute" &&
                                    code == jet::OsErrc::kNotFound)
                            << "a failed check was not reported";
                        EXPECT_EQ(readFile(db), kNew);
                        continue;
                    }
                    EXPECT_EQ(readFile(db), kOld) << "the database changed: " << out.description;
                    numbers[real] = out.number;
                }
                EXPECT_EQ(numbers[0], numbers[1]) << "made up and real differ";
                if (numbers[0]) {
                    EXPECT_EQ(*numbers[0], platform::runtimeNumberOf({code, system}));
                }
            }
        }
    }
}

// A check the system itself fails reports what the same failure made up by
// a test does; among them a name under a file (ENOTDIR), once 76 from one
// table and 53 from the other.
TEST(SwapChecks, ARealFailureOfEachCheckReportsWhatTheSameFailureMadeUpDoes) {
    TempDir root;
    const fs::path dir = root / "folder";
    const fs::path db = dir / "data.dbf";
    if (!makeDatabase(dir, db)) GTEST_SKIP() << "this file system keeps no extended attributes";
    // The first of each kind; of the attributes, the last call: the copy
    // given the database's.
    const auto counted = stepsOfOneSwap(db);
    ASSERT_FALSE(counted.empty()) << "the swap itself failed";
    const std::map<std::string, int> steps = {
        {"flags", 1}, {"access", 1}, {"mount", 1}, {"attribute", counted.at("attribute")}};
    for (const auto& [kind, step] : steps) {
        SCOPED_TRACE(kind);
        ASSERT_TRUE(makeDatabase(dir, db));
        RealFailureEnv realEnv(kind);
        const Outcome real = swapIn(realEnv, db);
        EXPECT_EQ(readFile(db), kOld) << "the database changed";
        ASSERT_TRUE(real.number) << "the real failure was not reported";
        // What the system said, made up at the same step.
        jet::OsErrc code = jet::OsErrc::kOther;
        for (const auto& [c, system] : kSystemNumber) {
            if (platform::runtimeNumberOf({c, system}) == *real.number) code = c;
        }
        ASSERT_TRUE(makeDatabase(dir, db));
        FaultyEnv madeUp(step, code, FaultyEnv::Mode::kFail, kind.c_str());
        const Outcome injected = swapIn(madeUp, db);
        EXPECT_EQ(readFile(db), kOld);
        EXPECT_EQ(injected.number, real.number)
            << real.description << " / " << injected.description;
    }
    // The name under a file: ENOTDIR, a missing file to the Env, 53.
    ASSERT_TRUE(makeDatabase(dir, db));
    RealFailureEnv underAFile("access");
    EXPECT_EQ(swapIn(underAFile, db).number, std::optional<int32_t>(platform::kFileNotFound));
}

// The checks refuse for real (a database marked immutable, a folder marked
// append-only, a file mounted over the database's name) with the number the
// same check reports when the Env refuses it (kAccess, as the system says
// EPERM or EACCES).
TEST(SwapChecks, WhatTheChecksRefuseForRealAndWhatTheEnvRefusesShareANumber) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mark files and mount";
    TempDir root;
    const fs::path dir = root / "folder";
    const fs::path db = dir / "data.dbf";
    auto injected = [&](const char* kind, int step) {
        makeDatabase(dir, db);
        FaultyEnv env(step, jet::OsErrc::kAccess, FaultyEnv::Mode::kFail, kind);
        const Outcome out = swapIn(env, db);
        EXPECT_EQ(readFile(db), kOld);
        return out.number;
    };
    // Marks the file or folder with flag for the time of one swap.
    auto marked = [&](const fs::path& what, int flag) -> std::optional<Outcome> {
        makeDatabase(dir, db);
        const int fd = ::open(what.c_str(), O_RDONLY | O_CLOEXEC);
        int flags = 0;
        int set = 0;
        if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0 ||
            ::ioctl(fd, FS_IOC_SETFLAGS, &(set = flags | flag)) != 0) {
            ::close(fd);
            return std::nullopt;
        }
        const Outcome out = swapIn(jet::Env::standard(), db);
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
        ::close(fd);
        EXPECT_EQ(readFile(db), kOld);
        return out;
    };
    if (const auto out = marked(db, FS_IMMUTABLE_FL)) {
        EXPECT_NE(out->description.find("immutable"), std::string::npos) << out->description;
        EXPECT_EQ(out->number, injected("flags", 1));
    } else {
        std::cout << "[ skipped: cannot mark a file immutable here ]\n";
    }
    if (const auto out = marked(dir, FS_APPEND_FL)) {
        EXPECT_NE(out->description.find("append-only"), std::string::npos) << out->description;
        EXPECT_EQ(out->number, injected("flags", 2));
    } else {
        std::cout << "[ skipped: cannot mark a folder append-only here ]\n";
    }
    makeDatabase(dir, db);
    const fs::path source = root / "elsewhere.dbf";
    writeFile(source, kOld);
    if (::mount(source.c_str(), db.c_str(), nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "cannot mount here";
    const Outcome mounted = swapIn(jet::Env::standard(), db);
    ::umount2(db.c_str(), MNT_DETACH);
    EXPECT_NE(mounted.description.find("mounted"), std::string::npos) << mounted.description;
    EXPECT_EQ(readFile(source), kOld);
    EXPECT_EQ(mounted.number, injected("mount", 1));
}
