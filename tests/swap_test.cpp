// The in-place swap of the real file system (platform/EnvHeldDatabase and the
// system's half of it): every step it makes through the Env can fail, and
// the database is then the old one or the new one, whole. On Windows, what
// holding the database refuses as in use.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <set>

#include "jet/Error.h"
#include "platform/ErrorRecord.h"
#include "platform/FileSystem.h"
#include "support/FaultyEnv.h"
#include "support/Fixtures.h"

using namespace testsupport;

namespace {

const std::string kOld(3 * 4096, 'o');
const std::string kNew(2 * 4096, 'n');

// Holds the database, writes the new bytes into the temporary, makes them
// durable and swaps them in; what a failing step raises comes out.
void swapIn(platform::FileSystem& files, const fs::path& db, bool keepOriginal = false) {
    auto held = files.hold(db.string(), db.string() + "2");
    if (held->temporaryExists()) held->removeTemporary();
    const int fd = held->createTemporary();
    auto put = jet::Env::standard().writeAt(fd, kNew.data(), kNew.size(), 0);
    if (!put.ok() || put.value != kNew.size()) throw std::runtime_error("the copy was not written");
    held->flushTemporary();
    held->replace(keepOriginal);
}

}  // namespace

TEST(Swap, EveryStepCanFailAndTheDatabaseIsTheOldOrTheNew) {
    TempDir dir;
    const fs::path db = dir / "δεδομένα.dbf";
    writeFile(db, kOld);
    FaultyEnv counting;
    platform::RealFileSystem countingFiles(&counting);
    swapIn(countingFiles, db, true);
    ASSERT_EQ(readFile(db), kNew);
    ASSERT_EQ(readFile(dir / "δεδομένα.dbf.damaged"), kOld) << "the original kept beside";
    // The steps of the swap are the Env's: the owner given to the copy
    // (POSIX), its flush, the rename, the link to the original, the folder's
    // flush, the locks.
    const std::set<std::string> kinds(counting.kinds().begin(), counting.kinds().end());
    for (const char* kind : {"open", "stat", "lock", "flush", "rename", "link", "close"})
        EXPECT_EQ(kinds.count(kind), 1u) << kind;
#ifndef _WIN32
    EXPECT_EQ(kinds.count("owner"), 1u);
#endif
    const long steps = counting.count();
    for (long i = 1; i <= steps; ++i) {
        fs::remove_all(dir.path());
        fs::create_directories(dir.path());
        writeFile(db, kOld);
        FaultyEnv io(i, jet::OsErrc::kIo);
        platform::RealFileSystem files(&io);
        bool raised = false;
        try {
            swapIn(files, db, true);
        } catch (const platform::RaisedError&) {
            raised = true;
        }
        SCOPED_TRACE("step " + std::to_string(i) + " (" + io.failedKind() + ")");
        const std::string now = readFile(db);
        EXPECT_TRUE(now == kOld || now == kNew) << "the database is neither old nor new";
        if (raised) {
            EXPECT_TRUE(now == kOld || io.failedKind() == "flush") << "swapped, yet refused";
        } else {
            EXPECT_EQ(now, kNew) << "no failure said, yet nothing swapped";
        }
    }
}

#ifdef _WIN32
// Microsoft's engine holds a database it has open: the file itself open for
// writing, its lock file open, byte ranges locked; and a second compaction
// holds its own locks. Each makes holding it fail as in use, before anything
// beside it is written.
TEST(Swap, ADatabaseInUseIsRefusedOnWindows) {
    TempDir dir;
    const fs::path db = dir / "data.dbf";
    writeFile(db, kOld);
    platform::RealFileSystem files;
    auto refused = [&](const std::string& how) {
        SCOPED_TRACE(how);
        try {
            files.hold(db.string(), db.string() + "2");
            ADD_FAILURE() << "held a database in use";
        } catch (const platform::RaisedError& e) {
            EXPECT_EQ(e.record().number, static_cast<int32_t>(jet::ErrorCode::kInUse))
                << e.record().description;
            EXPECT_NE(e.record().description.find("in use"), std::string::npos);
        }
        EXPECT_FALSE(fs::exists(dir / "data.dbf2"));
        EXPECT_EQ(readFile(db), kOld);
    };
    {
        std::fstream writer(db, std::ios::in | std::ios::out | std::ios::binary);
        ASSERT_TRUE(writer.is_open());
        refused("the database open for writing");
    }
    {
        std::ofstream ldb(dir / "data.ldb", std::ios::binary);
        ldb << "holder";
        ldb.flush();
        refused("its lock file open");
    }
    fs::remove(dir / "data.ldb");
    jet::Env& env = jet::Env::standard();
    for (const jet::LockRange& range :
         {jet::LockRange{0x10000000, 256, true}, jet::LockRange{0x7FFFFF00, 1, false}}) {
        const auto other = env.open(db.string(), jet::OpenMode::kRead);
        ASSERT_TRUE(other.ok());
        ASSERT_FALSE(env.lockRange(other.value, range));
        refused("bytes from " + std::to_string(range.start) + " locked");
        env.close(other.value);
    }
    {
        auto first = files.hold(db.string(), db.string() + "2");
        refused("held by another compaction");
    }
    swapIn(files, db);
    EXPECT_EQ(readFile(db), kNew) << "free again, it is swapped";
}
#endif
