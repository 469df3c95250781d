// Many trials of the in-place compaction against a second and third run at
// once, and against a link swapped in the moment the temporary appears.
// Real processes of the jet4 tool, not paused steps: these take minutes, so
// they run only when asked (QW_STRESS=1, trials from QW_STRESS_TRIALS,
// default 120): scripts/stress-in-place.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>

#include "jet/Check.h"
#include "support/Fixtures.h"
#include "support/Oracle.h"
#include "support/ProductDatabase.h"
#include "support/SampleDatabase.h"

using namespace testsupport;

namespace {

int trials() {
    if (!std::getenv("QW_STRESS")) return 0;
    const char* n = std::getenv("QW_STRESS_TRIALS");
    return n ? std::max(1, std::atoi(n)) : 120;
}

struct ToolRun {
    pid_t pid = -1;
    int out = -1;
};

// Starts `jet4 compact --in-place db` held at the gate (a pipe) until its
// writing end is closed; stdout and stderr go to the pipe returned.
ToolRun startRun(const fs::path& db, const int gate[2]) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return {};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(gate[1]);
        char c;
        (void)!::read(gate[0], &c, 1);  // returns when the parent closes its end
        ::dup2(pipeFds[1], 1);
        ::dup2(pipeFds[1], 2);
        ::close(pipeFds[0]);
        ::execl(JET4_BINARY, "jet4", "compact", "--in-place", db.c_str(), nullptr);
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    return {pid, pipeFds[0]};
}

int finish(const ToolRun& r, std::string& output) {
    char buf[4096];
    ssize_t n;
    while ((n = ::read(r.out, buf, sizeof buf)) > 0) output.append(buf, static_cast<size_t>(n));
    ::close(r.out);
    int status = 0;
    ::waitpid(r.pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

// Two and three runs started at once on one database: at every end the path
// holds the old database or a checked copy with its rows, and the runs that
// overlap the first are refused as in use.
TEST(InPlaceStress, RunsAtOnceNeverLoseTheDatabase) {
    const int n = trials();
    if (n == 0) GTEST_SKIP() << "set QW_STRESS=1 to run (scripts/stress-in-place)";
    SampleOptions o;
    o.password = kProductPassword;
    o.rows = 600;
    const std::string original = sampleDatabaseBytes(o);
    TempDir dir;
    const fs::path db = dir / "data.dbf";
    writeFile(db, original);
    const auto rows = contentOf(db);
    for (int runners : {2, 3}) {
        std::map<int, int> successes;  // runs that succeeded in a trial -> trials
        int inUse = 0, otherFailures = 0, losses = 0, laterNoChanges = 0;
        for (int t = 0; t < n; ++t) {
            writeFile(db, original);
            int gate[2];
            ASSERT_EQ(::pipe(gate), 0);
            std::vector<ToolRun> runs;
            for (int k = 0; k < runners; ++k) runs.push_back(startRun(db, gate));
            ::close(gate[1]);  // all go
            ::close(gate[0]);
            int ok = 0;
            bool sawAllDone = false;
            for (const ToolRun& r : runs) {
                std::string out;
                const int code = finish(r, out);
                if (code == 0) {
                    ++ok;
                    if (out.find("All Done!") != std::string::npos) {
                        if (sawAllDone) ADD_FAILURE() << "two runs compacted the original";
                        sawAllDone = true;
                    } else if (out.find("No changes") != std::string::npos) {
                        ++laterNoChanges;  // started after another had finished
                    }
                } else if (out.find("in use by another compaction") != std::string::npos) {
                    ++inUse;
                } else {
                    ++otherFailures;
                    ADD_FAILURE() << "unexpected failure: " << out;
                }
            }
            ++successes[ok];
            bool whole = readFile(db) == original;
            if (!whole) {
                auto check = jet::checkFile(db.string(), kProductPassword);
                whole = check.ok() && check.value().ok() && contentOf(db) == rows;
            }
            if (!whole) {
                ++losses;
                ADD_FAILURE() << "trial " << t << ": the database is neither the original nor a "
                              << "checked copy of it";
            }
            EXPECT_FALSE(fs::exists(db.string() + "2")) << "trial " << t;
            fs::remove(db.string() + "2");
        }
        std::cout << "[ " << runners << " runs at once, " << n << " trials: ";
        for (const auto& [k, count] : successes)
            std::cout << count << " with " << k << " success, ";
        std::cout << inUse << " runs refused as in use, " << laterNoChanges
                  << " later runs found nothing to do, " << otherFailures << " other failures, "
                  << losses << " databases lost ]\n";
        EXPECT_EQ(successes.count(0), 0u) << "a trial in which no run succeeded";
    }
}

// The owner of the folder turns the database's name into a link to another
// file the moment the temporary appears: that file is never written.
TEST(InPlaceStress, ALinkSwappedInWhenTheTemporaryAppearsIsNeverFollowed) {
    const int n = trials();
    if (n == 0) GTEST_SKIP() << "set QW_STRESS=1 to run (scripts/stress-in-place)";
    SampleOptions o;
    o.password = kProductPassword;
    o.rows = 600;
    const std::string original = sampleDatabaseBytes(o);
    const std::string secret = "root:x:0:0::/root:/bin/sh\n";
    int refused = 0, swappedTooLate = 0, touched = 0;
    for (int t = 0; t < n; ++t) {
        TempDir dir;
        const fs::path db = dir / "data.dbf";
        const fs::path victim = dir / "passwd";
        writeFile(db, original);
        writeFile(victim, secret);
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        pid_t attacker = ::fork();
        if (attacker == 0) {
            int in = ::inotify_init1(IN_CLOEXEC);
            ::inotify_add_watch(in, dir.path().c_str(), IN_CREATE);
            (void)!::write(ready[1], "x", 1);
            alignas(struct inotify_event) char buf[4096];
            while (true) {
                ssize_t len = ::read(in, buf, sizeof buf);
                if (len <= 0) ::_exit(1);
                for (char* p = buf; p < buf + len;) {
                    auto* e = reinterpret_cast<struct inotify_event*>(p);
                    if (e->len > 0 && std::strcmp(e->name, "data.dbf2") == 0) {
                        ::rename(db.c_str(), (dir / "data.dbf.moved").c_str());
                        ::symlink(victim.c_str(), db.c_str());
                        ::_exit(0);
                    }
                    p += sizeof(struct inotify_event) + e->len;
                }
            }
        }
        char c;
        ASSERT_EQ(::read(ready[0], &c, 1), 1);
        ::close(ready[0]);
        ::close(ready[1]);
        int gate[2];
        ASSERT_EQ(::pipe(gate), 0);
        ToolRun run = startRun(db, gate);
        ::close(gate[1]);
        ::close(gate[0]);
        std::string out;
        const int code = finish(run, out);
        int status = 0;
        ::waitpid(attacker, &status, 0);
        if (readFile(victim) != secret) {
            ++touched;
            ADD_FAILURE() << "trial " << t << ": the link's target was written";
        }
        if (code != 0) {
            ++refused;
            EXPECT_NE(out.find("no longer refers"), std::string::npos) << out;
            EXPECT_TRUE(readFile(dir / "data.dbf.moved") == original);
        } else {
            ++swappedTooLate;  // the run had swapped before the attacker moved
        }
    }
    std::cout << "[ link swapped in at the temporary's creation, " << n << " trials: " << refused
              << " swaps refused, " << swappedTooLate << " runs done before the swap, " << touched
              << " targets touched ]\n";
}
