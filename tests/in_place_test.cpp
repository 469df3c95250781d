// "Compact and Repair" against a second run, a second user, a careless script
// and an attacker who owns the database's folder. Races are made
// deterministic by pausing the routine between its steps (the file-system
// double's beforeStep) or the engine at a write (an Env).
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "compaction/CompactCommand.h"
#include "compaction/CompactDB.h"
#include "jet/Check.h"
#include "jet/Compact.h"
#include "ops/ConnectionString.h"
#include "platform/doubles/Doubles.h"
#include "support/Fixtures.h"
#include "support/Oracle.h"
#include "support/RoutineHarness.h"
#include "support/SampleDatabase.h"

using namespace testsupport;
using platform::MessageIcon;
using platform::doubles::FaultyFileSystem;
using platform::doubles::RecordingMessageBox;
using platform::doubles::ScriptedEngineFactory;

namespace {

// A flag one thread waits on until another sets it.
class Signal {
  public:
    void set() {
        std::lock_guard<std::mutex> l(m_);
        set_ = true;
        cv_.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> l(m_);
        cv_.wait(l, [&] { return set_; });
    }
    bool isSet() {
        std::lock_guard<std::mutex> l(m_);
        return set_;
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    bool set_ = false;
};

// Holds the engine at its first write of a page until released.
class PausingEnv : public jet::Env {
  public:
    PausingEnv(Signal& writing, Signal& go) : writing_(writing), go_(go) {}
    jet::OsResult<std::size_t> writeAt(jet::FileHandle fd, const void* b, std::size_t n,
                                       uint64_t o) override {
        if (!paused_.exchange(true)) {
            writing_.set();
            go_.wait();
        }
        return jet::Env::writeAt(fd, b, n, o);
    }

  private:
    Signal& writing_;
    Signal& go_;
    std::atomic<bool> paused_{false};
};

// True when a program that respects locks could take a write lock now.
bool writerCouldLock(const fs::path& db) {
    int fd = ::open(db.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    bool got = ::fcntl(fd, F_OFD_SETLK, &fl) == 0;
    ::close(fd);
    return got;
}

// Runs fn in a child process as another user (uid, with the given groups);
// returns the child's exit status. Only root can do this.
int runAs(uid_t uid, const std::vector<gid_t>& groups, const std::function<int()>& fn) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(groups.size(), groups.data()) != 0 ||
            ::setresgid(groups[0], groups[0], groups[0]) != 0 || ::setresuid(uid, uid, uid) != 0) {
            ::_exit(99);
        }
        ::_exit(fn());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

// The message a child leaves for its parent, through a file.
void leave(const fs::path& p, const std::string& text) { writeFile(p, text); }

}  // namespace

// Two runs at once: the second must neither delete the first one's copy nor
// start its own while the first holds the database; a program that respects
// locks cannot write the database until the first run has swapped its copy in.
TEST(InPlace, ASecondRunCannotSlipItsCopyUnderTheFirst) {
    TempDir dir;
    const fs::path db = dir / "data.dbf";
    const std::string original = seedBytes();
    writeFile(db, original);
    const auto rows = contentOf(db);

    Signal aAtFlush, goA, bWriting, goB, bDone;
    Harness a, b;
    a.files.beforeStep = [&](const std::string& op) {
        if (op == "flush") {
            aAtFlush.set();
            goA.wait();
        }
    };
    bool okA = false, okB = false;
    std::thread ta([&] { okA = a.run(db); });
    aAtFlush.wait();
    EXPECT_FALSE(writerCouldLock(db)) << "a writer got in while the copy waited to be swapped";

    PausingEnv io(bWriting, goB);
    b.engines.env = &io;
    // Whichever comes first: B pausing at its first write, or B ending.
    Signal bStopped;
    std::thread tb([&] {
        okB = b.run(db);
        bDone.set();
        bStopped.set();
    });
    std::thread watch([&] {
        bWriting.wait();
        bStopped.set();
    });
    bStopped.wait();
    goA.set();
    ta.join();
    // A is done, B may still be paused in the middle of its copy.
    expectIntactOrCompacted(db, original, rows);
    goB.set();
    bWriting.set();  // lets the watcher end when B never wrote
    watch.join();
    tb.join();

    EXPECT_TRUE(okA) << a.message();
    EXPECT_FALSE(okB);
    EXPECT_NE(b.message().find("in use"), std::string::npos) << b.message();
    EXPECT_TRUE(b.engines.compactCalls.empty()) << "the second run compacted";
    expectIntactOrCompacted(db, original, rows);
    EXPECT_FALSE(fs::exists(db.string() + "2"));
}

// The owner of the folder turns the database's name into a link to a file of
// its choosing while the copy is written: that file is never written, and
// the copy is not swapped in.
TEST(InPlace, ALinkSwappedInBeforeTheSwapIsNeverFollowed) {
    TempDir dir;
    const fs::path db = dir / "data.dbf";
    const std::string original = seedBytes();
    writeFile(db, original);
    const fs::path victim = dir / "passwd";
    writeFile(victim, "root:x:0:0::/root:/bin/sh\n");
    Harness h;
    h.files.beforeStep = [&](const std::string& op) {
        if (op != "replace") return;
        fs::rename(db, dir / "data.dbf.moved");
        fs::create_symlink(victim, db);
    };
    EXPECT_FALSE(h.run(db));
    EXPECT_EQ(readFile(victim), "root:x:0:0::/root:/bin/sh\n");
    EXPECT_TRUE(fs::is_symlink(db));
    EXPECT_TRUE(readFile(dir / "data.dbf.moved") == original) << "the database was changed";
    EXPECT_NE(h.message().find("no longer"), std::string::npos) << h.message();
    EXPECT_FALSE(fs::exists(db.string() + "2"));
}

// A database named through a link to what would be its temporary name.
TEST(InPlace, ADatabaseIsNeverDeletedAsItsOwnTemporary) {
    TempDir dir;
    const std::string original = seedBytes();
    writeFile(dir / "data.dbf2", original);
    const auto rows = contentOf(dir / "data.dbf2");
    fs::create_symlink("data.dbf2", dir / "data.dbf");
    {
        Harness h;
        compaction::CompactCommand cmd(h.rt);
        cmd.Command2_Click((dir / "data.dbf").string());
        ASSERT_EQ(h.box.shown.size(), 1u);
        EXPECT_EQ(h.box.shown[0].icon, MessageIcon::kInformation) << h.message();
        ASSERT_TRUE(fs::exists(dir / "data.dbf2"));
        EXPECT_TRUE(fs::is_symlink(dir / "data.dbf"));
        expectIntactOrCompacted(dir / "data.dbf2", original, rows);
    }
    // A temporary named explicitly that is the database itself is refused.
    writeFile(dir / "data.dbf2", original);
    fs::create_symlink("data.dbf2", dir / "alias");
    Harness h;
    EXPECT_FALSE(compaction::CompactDB((dir / "data.dbf2").string(), (dir / "alias").string(),
                                       kProductPassword, h.rt));
    EXPECT_NE(h.message().find("is the database itself"), std::string::npos) << h.message();
    EXPECT_TRUE(readFile(dir / "data.dbf2") == original) << "the database was changed";
    EXPECT_TRUE(fs::is_symlink(dir / "alias"));
}

// The lock file beside the database: a pipe there must not hang the run, and
// a lock file held with flock, or one this user may not open, means in use.
TEST(InPlace, TheLockFileIsReadWithoutBlockingAndEveryKindOfHolderSeen) {
    TempDir dir;
    const fs::path db = dir / "data.dbf";
    const std::string original = seedBytes();
    auto expectInUse = [&](const std::string& message, bool anotherProgram) {
        EXPECT_NE(message.find("in use"), std::string::npos) << message;
        if (anotherProgram) {
            EXPECT_NE(message.find("another program"), std::string::npos) << message;
            EXPECT_EQ(message.find("compaction"), std::string::npos) << message;
        }
        EXPECT_TRUE(readFile(db) == original) << "the database was changed";
        EXPECT_FALSE(fs::exists(db.string() + "2"));
    };
    {
        SCOPED_TRACE("a pipe at the lock file");
        writeFile(db, original);
        ASSERT_EQ(::mkfifo((dir / "data.ldb").c_str(), 0600), 0);
        const fs::path said = dir / "said";
        pid_t pid = ::fork();
        if (pid == 0) {
            ::alarm(120);  // only a guard: a run that blocks on the pipe fails here
            Harness h;
            h.run(db);
            leave(said, h.message());
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status)) << "the run hung on the pipe";
        expectInUse(readFile(said), true);
        fs::remove(dir / "data.ldb");
    }
    // Another program holding an flock on the lock file, or on the database.
    for (const fs::path& held : {dir / "data.ldb", db}) {
        SCOPED_TRACE("flock on " + held.filename().string());
        writeFile(db, original);
        writeFile(dir / "data.ldb", "");
        int fd = ::open(held.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(::flock(fd, LOCK_SH), 0);
        Harness h;
        EXPECT_FALSE(h.run(db));
        expectInUse(h.message(), true);
        ::close(fd);
    }
    // Another compaction is named as such.
    {
        writeFile(db, original);
        Signal atFlush, go;
        Harness a;
        a.files.beforeStep = [&](const std::string& op) {
            if (op == "flush") {
                atFlush.set();
                go.wait();
            }
        };
        std::thread t([&] { a.run(db); });
        atFlush.wait();
        Harness b;
        EXPECT_FALSE(b.run(db));
        EXPECT_NE(b.message().find("in use by another compaction"), std::string::npos)
            << b.message();
        go.set();
        t.join();
    }
    // A lock file this user may not open.
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
    writeFile(db, original);
    writeFile(dir / "data.ldb", "");
    ::chmod((dir / "data.ldb").c_str(), 0600);
    ::chmod(dir.path().c_str(), 0777);
    ::chown(db.c_str(), 65534, 65534);
    const fs::path said = dir / "said";
    int status = runAs(65534, {65534}, [&] {
        Harness h;
        h.run(db);
        leave(said, h.message());
        return 0;
    });
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    expectInUse(readFile(said), true);
}

// Who owns the database, its access lists and attributes, and its names.
TEST(InPlace, TheFilesIdentityIsKeptOrTheRunRefusedBeforeAnyWork) {
    const std::string original = seedBytes();
    {
        SCOPED_TRACE("attributes and access list");
        TempDir dir;
        const fs::path db = dir / "data.dbf";
        writeFile(db, original);
        // user 4321 may read and write, through the access list.
        struct Entry {
            uint16_t tag, perm;
            uint32_t id;
        };
        std::string acl(4, '\0');
        const uint32_t version = 2;
        std::memcpy(acl.data(), &version, 4);
        for (Entry e :
             {Entry{0x01, 6, 0xFFFFFFFF}, Entry{0x02, 6, 4321}, Entry{0x04, 4, 0xFFFFFFFF},
              Entry{0x10, 6, 0xFFFFFFFF}, Entry{0x20, 0, 0xFFFFFFFF}}) {
            acl.append(reinterpret_cast<const char*>(&e), sizeof e);
        }
        if (::setxattr(db.c_str(), "user.quixwell", "kept", 4, 0) != 0 ||
            ::setxattr(db.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0) {
            GTEST_SKIP() << "this file system keeps no attributes or access lists";
        }
        Harness h;
        ASSERT_TRUE(h.run(db)) << h.message();
        ASSERT_TRUE(readFile(db) != original);
        char buf[256];
        ssize_t n = ::getxattr(db.c_str(), "user.quixwell", buf, sizeof buf);
        EXPECT_EQ(std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0), "kept");
        n = ::getxattr(db.c_str(), "system.posix_acl_access", buf, sizeof buf);
        EXPECT_EQ(std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0), acl);
    }
    {
        SCOPED_TRACE("a second name");
        TempDir dir;
        const fs::path db = dir / "data.dbf";
        writeFile(db, original);
        fs::create_hard_link(db, dir / "backup.dbf");
        Harness h;
        EXPECT_FALSE(h.run(db));
        EXPECT_NE(h.message().find("2 names"), std::string::npos) << h.message();
        EXPECT_TRUE(h.engines.compactCalls.empty());
        EXPECT_EQ(fs::hard_link_count(db), 2u);
        EXPECT_TRUE(readFile(dir / "backup.dbf") == original) << "the database was changed";
    }
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
    // A shared folder of group 43210: the database belongs to user 43211,
    // and user 43212 of the group compacts it.
    TempDir dir;
    ::chmod(dir.path().c_str(), 0711);
    const fs::path shared = dir / "shared";
    fs::create_directory(shared);
    ::chown(shared.c_str(), 0, 43210);
    ::chmod(shared.c_str(), 0770);
    const fs::path db = shared / "data.dbf";
    writeFile(db, original);
    ::chown(db.c_str(), 43211, 43210);
    ::chmod(db.c_str(), 0660);
    const fs::path said = shared / "said";
    int status = runAs(43212, {43212, 43210}, [&] {
        Harness h;
        bool ok = h.run(db);
        leave(said, h.message());
        return ok ? 1 : (h.engines.compactCalls.empty() ? 0 : 2);
    });
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: compacted, 2: refused only after the work";
    EXPECT_NE(readFile(said).find("43211"), std::string::npos) << readFile(said);
    EXPECT_TRUE(readFile(db) == original) << "the database was changed";
    struct stat st {};
    ASSERT_EQ(::stat(db.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 43211u);
    EXPECT_EQ(st.st_gid, 43210u);
    EXPECT_FALSE(fs::exists(db.string() + "2"));
    // Root keeps both.
    Harness h;
    ASSERT_TRUE(h.run(db)) << h.message();
    ASSERT_EQ(::stat(db.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 43211u);
    EXPECT_EQ(st.st_gid, 43210u);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
}

// A program that ignores locks writes the database while the copy is made:
// its change must not be swapped away.
TEST(InPlace, AChangeMadeDuringTheRunIsNeverSwappedAway) {
    TempDir dir;
    const fs::path db = dir / "data.dbf";
    std::string original = seedBytes();
    writeFile(db, original);
    // An old modification time, so that the change is seen whatever the
    // clock's resolution.
    struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, db.c_str(), old, 0), 0);
    Harness h;
    const off_t at = static_cast<off_t>(original.size()) - 1;
    h.files.beforeStep = [&](const std::string& op) {
        if (op != "flush") return;
        int fd = ::open(db.c_str(), O_WRONLY | O_CLOEXEC);
        const char x = static_cast<char>(original[static_cast<std::size_t>(at)] ^ 0x5A);
        ASSERT_EQ(::pwrite(fd, &x, 1, at), 1);
        ::close(fd);
        original[static_cast<std::size_t>(at)] = x;
    };
    EXPECT_FALSE(h.run(db));
    EXPECT_NE(h.message().find("changed"), std::string::npos) << h.message();
    EXPECT_TRUE(readFile(db) == original) << "the database was changed";
    EXPECT_FALSE(fs::exists(db.string() + "2"));
}

TEST(InPlace, AReadOnlyDatabaseIsRefusedBeforeAnyWork) {
    TempDir dir;
    const fs::path db = dir / "data.dbf";
    const std::string original = seedBytes();
    writeFile(db, original);
    ::chmod(db.c_str(), 0444);
    {
        Harness h;
        compaction::CompactCommand cmd(h.rt);
        cmd.Command2_Click(db.string());
        ASSERT_EQ(h.box.shown.size(), 1u);
        EXPECT_NE(h.message().find("read-only"), std::string::npos) << h.message();
        EXPECT_TRUE(h.engines.compactCalls.empty());
        EXPECT_FALSE(fs::exists(db.string() + "2"));
    }
    ::chmod(db.c_str(), 0644);
    int fd = ::open(db.c_str(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
        ::close(fd);
        GTEST_SKIP() << "this file system has no immutable flag";
    }
    int immutable = flags | FS_IMMUTABLE_FL;
    if (::ioctl(fd, FS_IOC_SETFLAGS, &immutable) != 0) {
        ::close(fd);
        GTEST_SKIP() << "cannot make a file immutable here";
    }
    Harness h;
    compaction::CompactCommand cmd(h.rt);
    cmd.Command2_Click(db.string());
    ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    ::close(fd);
    ASSERT_EQ(h.box.shown.size(), 1u);
    EXPECT_NE(h.message().find("read-only"), std::string::npos) << h.message();
    EXPECT_TRUE(h.engines.compactCalls.empty());
    EXPECT_FALSE(fs::exists(db.string() + "2"));
    EXPECT_TRUE(readFile(db) == original) << "the database was changed";
}

// A link to a database on another file system: the copy is written beside
// the real file, and the room is that file system's.
TEST(InPlace, ALinkToAnotherFileSystemIsCompactedBesideTheRealFile) {
    TempDir dir;
    const fs::path mnt = dir / "other";
    fs::create_directory(mnt);
    const std::string original = seedBytes(kProductPassword, 600);
    if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=16m") != 0)
        GTEST_SKIP() << "cannot mount a file system here";
    writeFile(mnt / "data.dbf", original);
    const auto rows = contentOf(mnt / "data.dbf");
    fs::create_symlink(mnt / "data.dbf", dir / "data.dbf");
    {
        Harness h;
        compaction::CompactCommand cmd(h.rt);
        cmd.Command2_Click((dir / "data.dbf").string());
        ASSERT_EQ(h.box.shown.size(), 1u);
        EXPECT_EQ(h.box.shown[0].icon, MessageIcon::kInformation) << h.message();
        EXPECT_TRUE(fs::is_symlink(dir / "data.dbf"));
        EXPECT_TRUE(readFile(mnt / "data.dbf") != original);
        expectIntactOrCompacted(mnt / "data.dbf", original, rows);
        EXPECT_FALSE(fs::exists(dir / "data.dbf2"));
        EXPECT_FALSE(fs::exists(mnt / "data.dbf2"));
    }
    ::umount(mnt.c_str());
    // Too little room there, however much there is beside the link.
    const std::string size = "size=" + std::to_string(original.size() + original.size() / 4);
    ASSERT_EQ(::mount("tmpfs", mnt.c_str(), "tmpfs", 0, size.c_str()), 0);
    writeFile(mnt / "data.dbf", original);
    Harness h;
    compaction::CompactCommand cmd(h.rt);
    cmd.Command2_Click((dir / "data.dbf").string());
    ::umount(mnt.c_str());
    ASSERT_EQ(h.box.shown.size(), 1u);
    EXPECT_NE(h.message().find("not enough room"), std::string::npos) << h.message();
}

// Interrupted or terminated while the copy exists: the copy goes with the run.
TEST(InPlace, SigintAndSigtermTakeTheTemporaryWithThem) {
    const std::string original = seedBytes();
    for (int sig : {SIGINT, SIGTERM}) {
        for (const char* when : {"engine writing", "before the swap"}) {
            SCOPED_TRACE(std::string(strsignal(sig)) + ", " + when);
            TempDir dir;
            const fs::path db = dir / "data.dbf";
            writeFile(db, original);
            pid_t pid = ::fork();
            if (pid == 0) {
                struct RaisingIo : jet::Env {
                    int sig;
                    jet::OsResult<std::size_t> writeAt(jet::FileHandle fd, const void* b,
                                                       std::size_t n, uint64_t o) override {
                        if (++writes == 3) ::raise(sig);
                        return jet::Env::writeAt(fd, b, n, o);
                    }
                    std::atomic<int> writes{0};
                } io;
                io.sig = sig;
                Harness h;
                if (std::string(when) == "engine writing") {
                    h.engines.env = &io;
                } else {
                    h.files.beforeStep = [&](const std::string& op) {
                        if (op == "replace") ::raise(sig);
                    };
                }
                h.run(db);
                ::_exit(0);
            }
            int status = 0;
            ::waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
            EXPECT_FALSE(fs::exists(db.string() + "2")) << "the copy was left behind";
            EXPECT_TRUE(readFile(db) == original) << "the database was changed";
        }
    }
}

// A password holding the connection string's own characters still works,
// and no message ever shows one.
TEST(InPlace, PasswordsAreQuotedAndNeverShown) {
    for (const std::string password : {"Hunter2;TopSecret", "a'b\"c=d;e", " spaced "}) {
        SCOPED_TRACE(password);
        TempDir dir;
        // The path may hold the same characters.
        fs::create_directory(dir / "a;b='c\"");
        const fs::path db = dir / "a;b='c\"" / "data.dbf";
        writeFile(db, seedBytes(password));
        const auto rows = contentOf(db, password);
        RecordingMessageBox box;
        platform::RealFileSystem files;
        platform::doubles::FixedNumberFormat numbers;
        ScriptedEngineFactory engines;
        compaction::Runtime rt{box, files, numbers, engines};
        EXPECT_TRUE(compaction::CompactDB(db.string(), db.string() + "2", password, rt))
            << (box.shown.empty() ? "" : box.shown[0].text);
        EXPECT_EQ(contentOf(db, password), rows);
        // The wrong password for another database.
        const fs::path other = dir / "other.dbf";
        writeFile(other, seedBytes("right"));
        box.shown.clear();
        EXPECT_FALSE(compaction::CompactDB(other.string(), other.string() + "2", password, rt));
        ASSERT_EQ(box.shown.size(), 1u);
        EXPECT_NE(box.shown[0].text.find("Not a valid password."), std::string::npos)
            << box.shown[0].text;
        EXPECT_EQ(box.shown[0].text.find(password), std::string::npos) << box.shown[0].text;
    }
    // A connection string written by hand, unquoted: refused without its text.
    for (const std::string text :
         {"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=x;Jet OLEDB:Database Password=ab;TopSecret",
          "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=x;Jet OLEDB:Database Password='TopSecret",
          "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=x;Jet OLEDB:Database Password=a;Top=Secret",
          "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=x;Jet OLEDB:Database "
          "Password='a'TopSecret"}) {
        SCOPED_TRACE(text);
        auto r = jet::parseConnectionString(text);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().description.find("Secret"), std::string::npos) << r.error().description;
        EXPECT_EQ(r.error().description.find("Top"), std::string::npos) << r.error().description;
    }
}

// A repair that dropped or changed rows: the damaged original is kept beside
// the database, never over another file, and a second message says so.
TEST(InPlace, ARepairThatLostRowsKeepsTheDamagedOriginalAndSaysWhere) {
    TempDir dir;
    const fs::path db = dir / "data.dbf";
    const std::string original = seedBytes();
    writeFile(db, original);
    writeFile(dir / "data.dbf.damaged", "kept by an earlier repair");
    Harness h;
    platform::CompactOutcome lost;
    lost.rowsDropped = 1234;
    lost.rowsChanged = 2;
    h.engines.repairReported = lost;
    compaction::CompactCommand cmd(h.rt);
    cmd.Command2_Click(db.string());
    ASSERT_EQ(h.box.shown.size(), 2u) << h.message();
    EXPECT_EQ(h.box.shown[0].text.rfind("All Done!\r\n\r\nOld Filesize : ", 0), 0u);
    const fs::path kept = dir / "data.dbf.damaged-2";
    EXPECT_EQ(h.box.shown[1].text,
              "The database was damaged. Repairing it:\r\n- dropped 1,234 rows\r\n- changed 2 rows "
              "(values that could not be read are empty)\r\n\r\nEach is listed in the table "
              "MSysCompactError of the database.\r\n\r\nThe damaged original was kept as:\r\n" +
                  kept.string());
    EXPECT_EQ(h.box.shown[1].icon, MessageIcon::kInformation);
    EXPECT_EQ(h.box.shown[1].title, "Maintenance - QW DBASE");
    EXPECT_TRUE(readFile(kept) == original) << "the original was not kept";
    EXPECT_EQ(readFile(dir / "data.dbf.damaged"), "kept by an earlier repair");
    EXPECT_EQ(fs::hard_link_count(db), 1u);
    EXPECT_TRUE(readFile(db) != original);

    // Damage whose rows could not be counted is still reported.
    Harness pages;
    platform::CompactOutcome unread;
    unread.logEntries = 3;
    pages.engines.repairReported = unread;
    compaction::CompactCommand unreadable(pages.rt);
    unreadable.Command2_Click(db.string());
    ASSERT_EQ(pages.box.shown.size(), 2u) << pages.message();
    EXPECT_EQ(pages.box.shown[1].text.rfind("The database was damaged. Repairing it:\r\n- found 3 "
                                            "damaged places it could not read\r\n",
                                            0),
              0u)
        << pages.box.shown[1].text;
    EXPECT_TRUE(fs::exists(dir / "data.dbf.damaged-3"));

    // Rows moved back, left out as foreign or brought back change the copy
    // though none was dropped: said in the same terms, the original kept.
    Harness moved;
    platform::CompactOutcome outcome;
    outcome.rowsMovedBack = 12;
    outcome.rowsForeign = 3;
    outcome.rowsRestored = 1;
    outcome.references = {{"Order Details", "Orders", "OrdersOrder Details", 2155}};
    moved.engines.repairReported = outcome;
    compaction::CompactCommand movedBack(moved.rt);
    movedBack.Command2_Click(db.string());
    ASSERT_EQ(moved.box.shown.size(), 2u) << moved.message();
    EXPECT_EQ(moved.box.shown[1].text.rfind(
                  "The database was damaged. Repairing it:\r\n- moved 12 rows back to the table "
                  "they belong to\r\n- left out 3 foreign rows (rows of no table of this "
                  "database)\r\n- brought back 1 deleted row that an index still listed\r\n- "
                  "2,155 rows of table Order Details now refer to rows of Orders that were "
                  "dropped\r\n\r\nEach is listed",
                  0),
              0u)
        << moved.box.shown[1].text;
    EXPECT_TRUE(fs::exists(dir / "data.dbf.damaged-4"));

    // Nothing repaired: the size report alone, and nothing kept.
    Harness clean;
    compaction::CompactCommand again(clean.rt);
    again.Command2_Click(db.string());
    ASSERT_EQ(clean.box.shown.size(), 1u);
    EXPECT_FALSE(fs::exists(dir / "data.dbf.damaged-5"));
}
