// "Compact and Repair" against names, folders, limits and signals the other
// in-place tests leave out: a database named like a lock file, names at the
// file system's limit, a folder that only grows, a file mounted over the
// database's name, a file size limit, stray signals, a reader's shared lock,
// a password that is not text and file names that would drive a terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "compaction/CompactCommand.h"
#include "compaction/CompactDB.h"
#include "jet/Check.h"
#include "platform/MessageBox.h"
#include "platform/doubles/Doubles.h"
#include "support/Fixtures.h"
#include "support/RoutineHarness.h"
#include "support/SampleDatabase.h"

using namespace testsupport;
using platform::MessageIcon;
using platform::doubles::FaultyFileSystem;
using platform::doubles::RecordingMessageBox;
using platform::doubles::ScriptedEngineFactory;

namespace {

// The database was compacted: a sound database, other than the original.
void expectCompacted(const fs::path& db, const std::string& original) {
    ASSERT_TRUE(fs::exists(db));
    EXPECT_TRUE(readFile(db) != original) << "the database was not compacted";
    auto check = jet::checkFile(db.string(), kProductPassword);
    ASSERT_TRUE(check.ok()) << check.error().description;
    EXPECT_TRUE(check.value().ok());
}

// Refused before the engine was called: nothing written, nothing left.
void expectRefusedUpFront(const Harness& h, const fs::path& db, const std::string& original,
                          const std::string& says) {
    EXPECT_NE(h.message().find(says), std::string::npos) << h.message();
    EXPECT_TRUE(h.engines.compactCalls.empty()) << "refused only after the work";
    EXPECT_TRUE(readFile(db) == original) << "the database was changed";
    EXPECT_FALSE(fs::exists(db.string() + "2")) << "a copy was left behind";
}

// The status of `jet4 ARGS...` run with a file size limit, its output in out.
int jet4Limited(const std::vector<std::string>& args, rlim_t fileSize, std::string& out) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], 1);
        ::dup2(pipeFds[1], 2);
        ::close(pipeFds[0]);
        struct rlimit limit {
            fileSize, fileSize
        };
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::vector<char*> argv{const_cast<char*>("jet4")};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(JET4_BINARY, argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    char buf[4096];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

// Names the routine derives others from: the lock file's and the kept
// original's may not fit, or may be the database itself.
TEST(InPlaceHostile, NamesAtTheEdgesOfWhatTheRoutineDerives) {
    const std::string original = seedBytes();
    {
        SCOPED_TRACE("a database named like a lock file");
        TempDir dir;
        const fs::path db = dir / "data.ldb";
        writeFile(db, original);
        Harness h;
        EXPECT_TRUE(h.run(db)) << h.message();
        expectCompacted(db, original);
    }
    {
        SCOPED_TRACE("a name whose lock file's name would be too long");
        TempDir dir;
        const fs::path db = dir / std::string(253, 'n');
        writeFile(db, original);
        Harness h;
        EXPECT_TRUE(h.run(db)) << h.message();
        expectCompacted(db, original);
    }
    SCOPED_TRACE("a repair that lost rows, on a name too long for the kept original's");
    // 251 bytes: the kept original's name is cut to 242, inside the first "é".
    TempDir dir;
    const fs::path db = dir / (std::string(241, 'r') + "\xc3\xa9\xc3\xa9\xc3\xa9.dbf");
    writeFile(db, original);
    Harness h;
    platform::CompactOutcome lost;
    lost.rowsDropped = 3;
    h.engines.repairReported = lost;
    compaction::CompactCommand cmd(h.rt);
    cmd.Command2_Click(db.string());
    ASSERT_EQ(h.box.shown.size(), 2u) << h.message();
    EXPECT_EQ(h.box.shown[0].icon, MessageIcon::kInformation) << h.message();
    expectCompacted(db, original);
    EXPECT_FALSE(fs::exists(db.string() + "2")) << "the copy was left behind";
    const fs::path kept = dir / (std::string(241, 'r') + ".damaged");
    EXPECT_NE(h.box.shown[1].text.find(kept.string()), std::string::npos) << h.box.shown[1].text;
    EXPECT_TRUE(readFile(kept) == original) << "the original was not kept";
}

// What would make the final rename fail is seen before the engine runs.
TEST(InPlaceHostile, WhatCannotTakeTheCopyIsRefusedBeforeAnyWork) {
    const std::string original = seedBytes();
    {
        SCOPED_TRACE("a folder that only grows");
        TempDir dir;
        const fs::path folder = dir / "log";
        fs::create_directory(folder);
        const fs::path db = folder / "data.dbf";
        writeFile(db, original);
        int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int flags = 0;
        int appendOnly = 0;
        bool marked = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                      ::ioctl(fd, FS_IOC_SETFLAGS, &(appendOnly = flags | FS_APPEND_FL)) == 0;
        if (marked) {
            Harness h;
            EXPECT_FALSE(h.run(db));
            ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
            expectRefusedUpFront(h, db, original, "append-only");
        } else {
            std::cout << "[ skipped: this file system or user cannot mark a folder append-only ]\n";
        }
        ::close(fd);
    }
    SCOPED_TRACE("a file mounted over the database's name");
    TempDir dir;
    const fs::path db = dir / "data.dbf";
    const fs::path source = dir / "elsewhere.dbf";
    writeFile(db, "");
    writeFile(source, original);
    if (::mount(source.c_str(), db.c_str(), nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "cannot mount here";
    Harness h;
    EXPECT_FALSE(h.run(db));
    const bool leftCopy = fs::exists(db.string() + "2");
    ::umount2(db.c_str(), MNT_DETACH);
    EXPECT_NE(h.message().find("mounted"), std::string::npos) << h.message();
    EXPECT_TRUE(h.engines.compactCalls.empty()) << "refused only after the work";
    EXPECT_FALSE(leftCopy) << "a copy was left behind";
    EXPECT_TRUE(readFile(source) == original) << "the database was changed";
}

// A file size limit met while the copy is written, and signals a script may
// send that are not interrupts: no copy is left, the database is untouched.
TEST(InPlaceHostile, LimitsAndStraySignalsLeaveNoCopy) {
    const std::string original = seedBytes(kProductPassword, 600);
    const rlim_t limit = original.size() / 4;
    {
        SCOPED_TRACE("jet4 under a file size limit");
        TempDir dir;
        const fs::path db = dir / "data.dbf";
        writeFile(db, original);
        std::string out;
        EXPECT_EQ(jet4Limited({"compact", "--in-place", db.string()}, limit, out), 1) << out;
        EXPECT_NE(out.find("File too large"), std::string::npos) << out;
        EXPECT_FALSE(fs::exists(db.string() + "2")) << "the copy was left behind";
        EXPECT_TRUE(readFile(db) == original) << "the database was changed";
    }
    // The routine in a program that leaves these signals at their default.
    for (int sig : {SIGXFSZ, SIGQUIT, SIGUSR1, SIGALRM}) {
        SCOPED_TRACE(strsignal(sig));
        TempDir dir;
        const fs::path db = dir / "data.dbf";
        writeFile(db, original);
        pid_t pid = ::fork();
        if (pid == 0) {
            struct rlimit noCore {
                0, 0
            };
            ::setrlimit(RLIMIT_CORE, &noCore);
            if (sig == SIGXFSZ) {
                struct rlimit size {
                    limit, limit
                };
                ::setrlimit(RLIMIT_FSIZE, &size);
            }
            Harness h;
            h.files.afterStep = [&](const std::string& op) {
                if (op == "create" && sig != SIGXFSZ) ::raise(sig);
            };
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

// Each refusal names its real cause, and no message can drive a terminal.
TEST(InPlaceHostile, MessagesNameTheRealCauseAndCannotDriveATerminal) {
    {
        SCOPED_TRACE("a reader holding a shared lock over the whole file");
        TempDir dir;
        const fs::path db = dir / "data.dbf";
        const std::string original = seedBytes();
        writeFile(db, original);
        int fd = ::open(db.c_str(), O_RDONLY | O_CLOEXEC);
        struct flock fl {};
        fl.l_type = F_RDLCK;
        fl.l_whence = SEEK_SET;
        ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &fl), 0);
        Harness h;
        EXPECT_FALSE(h.run(db));
        ::close(fd);
        EXPECT_NE(h.message().find("in use by another program"), std::string::npos) << h.message();
        EXPECT_TRUE(readFile(db) == original);
    }
    {
        SCOPED_TRACE("a password that is not text");
        TempDir dir;
        const fs::path locked = dir / "locked.dbf";
        writeFile(locked, seedBytes("right"));
        Harness a;
        EXPECT_FALSE(a.run(locked, "\xff\xfe"));
        EXPECT_NE(a.message().find("Not a valid password."), std::string::npos) << a.message();
        // A database without a password takes any, but this one cannot be
        // given to the copy.
        const fs::path open = dir / "open.dbf";
        const std::string original = seedBytes("");
        writeFile(open, original);
        Harness b;
        EXPECT_FALSE(b.run(open, "\xff\xfe"));
        EXPECT_NE(b.message().find("not text"), std::string::npos) << b.message();
        EXPECT_EQ(b.message().find("too long"), std::string::npos) << b.message();
        EXPECT_TRUE(readFile(open) == original);
        EXPECT_FALSE(fs::exists(open.string() + "2"));
    }
    SCOPED_TRACE("a folder named to retitle the terminal and colour what follows");
    TempDir dir;
    const fs::path folder = dir /
                            "e\x1b]2;owned\x07\x1b[8m\xc2\x9b"
                            "1m";
    fs::create_directory(folder);
    const fs::path db = folder / "data.dbf";
    writeFile(db, seedBytes());
    ::chmod(db.c_str(), 0444);
    for (const std::string& command : {"compact --in-place " + shellQuote(db.string()),
                                       "check " + shellQuote((folder / "missing.dbf").string())}) {
        SCOPED_TRACE(command);
        std::string out;
        EXPECT_EQ(runCommand(shellQuote(JET4_BINARY) + " " + command + " 2>&1", out), 1) << out;
        EXPECT_EQ(out.find_first_of(std::string("\x1b\x07\x9b", 3)), std::string::npos) << out;
        EXPECT_NE(out.find("e\\x1b]2;owned\\x07\\x1b[8m\\xc2\\x9b1m"), std::string::npos) << out;
    }
    // Text in any script stays as it is; line breaks inside a name do not
    // start a line of their own.
    EXPECT_EQ(platform::printableText("Größe: 1\xe2\x80\xaf"
                                      "024 \xf0\x9f\x93\x81\t\r\nok"),
              "Größe: 1\xe2\x80\xaf"
              "024 \xf0\x9f\x93\x81\t\nok");
    EXPECT_EQ(platform::printableText("a\nAll Done!\r"), "a\\x0aAll Done!\\x0d");
    EXPECT_EQ(platform::printableText("\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80"),
              "\\xc0\\xaf\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80");
}
