// The jet4 tool as scripts use it: exit status 0 / 1 / 2 and one error line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "support/Fixtures.h"
#include "support/SampleDatabase.h"

using namespace testsupport;

namespace {
int jet4(const std::string& args, std::string& out, const std::string& env = "") {
    return runCommand(env + " " + shellQuote(JET4_BINARY) + " " + args + " 2>&1", out);
}
}  // namespace

TEST(Jet4Tool, UsageErrorsExitWithTwo) {
    SKIP_WITHOUT_SHELL();
    std::string out;
    EXPECT_EQ(jet4("", out), 2);
    EXPECT_EQ(jet4("frobnicate x.mdb", out), 2);
    EXPECT_NE(out.find("unknown command frobnicate"), std::string::npos) << out;
    EXPECT_EQ(jet4("check", out), 2);
    EXPECT_EQ(jet4("check a.mdb --bogus", out), 2);
    EXPECT_EQ(jet4("check a.mdb b.mdb", out), 2);
    EXPECT_EQ(jet4("compact a.mdb", out), 2);
    EXPECT_EQ(jet4("compact --in-place a.mdb b.mdb", out), 2);
    EXPECT_EQ(jet4("--help", out), 0);
    EXPECT_NE(out.find("Usage: jet4"), std::string::npos);
    EXPECT_EQ(jet4("compact --help", out), 0);
    EXPECT_NE(out.find("--new-password"), std::string::npos);
    EXPECT_EQ(jet4("--version", out), 0);
    EXPECT_EQ(out, "jet4 " QW_VERSION "\n");
}

TEST(Jet4Tool, OptionsACommandDoesNotUseAreRefused) {
    SKIP_WITHOUT_SHELL();
    TempDir dir;
    SampleOptions o;
    o.rows = 10;
    const fs::path db = dir / "data.mdb";
    buildSampleDatabase(db.string(), o);
    const std::string before = readFile(db);
    const std::string f = shellQuote(db.string());
    std::string out;
    for (const std::string& args : {"info " + f + " --new-password x", "tables " + f + " --timing",
                                    "check " + f + " --in-place", "dump " + f + " --new-password x",
                                    "compact --in-place " + f + " --timing"}) {
        SCOPED_TRACE(args);
        EXPECT_EQ(jet4(args, out), 2) << out;
    }
    // The in-place command keeps the database's password: a new one is
    // refused rather than ignored, and the database is left as it was.
    EXPECT_EQ(jet4("compact --in-place " + f + " --password '' --new-password q", out), 2);
    EXPECT_NE(out.find("keeps the database's own password"), std::string::npos) << out;
    EXPECT_EQ(readFile(db), before);
    EXPECT_FALSE(fs::exists(db.string() + "2"));
}

TEST(Jet4Tool, PasswordsComeFromTheOptionOrTheEnvironment) {
    SKIP_WITHOUT_SHELL();
    TempDir dir;
    SampleOptions o;
    o.password = "-dash pw";
    o.rows = 10;
    buildSampleDatabase((dir / "pwd.mdb").string(), o);
    const std::string f = shellQuote((dir / "pwd.mdb").string());
    std::string out;
    EXPECT_EQ(jet4("check " + f + " --password '-dash pw'", out), 0) << out;
    EXPECT_EQ(jet4("check " + f + " '--password=-dash pw'", out), 0) << out;
    EXPECT_EQ(jet4("check " + f, out, "JET4_PASSWORD='-dash pw'"), 0) << out;
    // The option wins over the environment.
    EXPECT_EQ(jet4("check " + f + " --password wrong", out, "JET4_PASSWORD='-dash pw'"), 1);
    EXPECT_NE(out.find("Not a valid password."), std::string::npos) << out;
    // A copy under a new password, and back without one.
    const std::string copy = shellQuote((dir / "copy.mdb").string());
    const std::string clear = shellQuote((dir / "clear.mdb").string());
    EXPECT_EQ(jet4("compact " + f + " " + copy + " --new-password s3cret", out,
                   "JET4_PASSWORD='-dash pw'"),
              0)
        << out;
    EXPECT_EQ(jet4("info " + copy + " --password s3cret", out), 0) << out;
    EXPECT_EQ(jet4("compact " + copy + " " + clear + " --password s3cret --new-password ''", out),
              0)
        << out;
    EXPECT_EQ(jet4("info " + clear, out), 0) << out;
    EXPECT_NE(out.find("password: none"), std::string::npos) << out;
}

TEST(Jet4Tool, RefusalsExitWithOneAndNameTheError) {
    SKIP_WITHOUT_SHELL();
    TempDir dir;
    SampleOptions o;
    o.password = "password";
    o.rows = 10;
    buildSampleDatabase((dir / "pwd.mdb").string(), o);
    const std::string pwd = shellQuote((dir / "pwd.mdb").string());
    std::string out;
    EXPECT_EQ(jet4("info " + pwd, out), 1);
    EXPECT_EQ(out, "jet4: Not a valid password. (-2147217843 - Jet4 Engine)\n");
    EXPECT_EQ(jet4("check " + pwd + " --password password", out), 0);
    EXPECT_EQ(jet4("check " + pwd, out, "JET4_PASSWORD=password"), 0);
    EXPECT_EQ(jet4("info " + pwd + " --password password", out), 0);
    EXPECT_NE(out.find("password: set"), std::string::npos);
    EXPECT_EQ(out.find("password: password"), std::string::npos);
    EXPECT_EQ(jet4("dump " + pwd + " NoSuchTable --password password", out), 1);
    EXPECT_NE(out.find("does not exist"), std::string::npos);
    writeFile(dir / "text.mdb", std::string(8192, 'x'));
    EXPECT_EQ(jet4("check " + shellQuote((dir / "text.mdb").string()), out), 1);
    EXPECT_NE(out.find("Unrecognized database format"), std::string::npos);
}

TEST(Jet4Tool, AReaderThatStopsEarlyDoesNotKillTheTool) {
    SKIP_WITHOUT_SHELL();
    TempDir dir;
    SampleOptions o;
    o.rows = 400;
    buildSampleDatabase((dir / "big.mdb").string(), o);
    std::string out;
    // The shell reports a death by signal as 128 + the signal's number.
    const std::string pipeline = shellQuote(JET4_BINARY) + " dump " +
                                 shellQuote((dir / "big.mdb").string()) +
                                 " | head -c 10 >/dev/null; echo \"${PIPESTATUS[0]}\"";
    EXPECT_EQ(runCommand("bash -c " + shellQuote(pipeline), out), 0);
    EXPECT_LT(std::stoi(out), 128) << out;
}

TEST(Jet4Tool, DumpWritesOneObjectPerRow) {
    SKIP_WITHOUT_SHELL();
    SKIP_WITHOUT_FIXTURES();
    const std::string f =
        shellQuote((fixturesDir() / "jet4" / "deleted-columns-2003.mdb").string());
    std::string out;
    ASSERT_EQ(jet4("dump " + f, out), 0);
    EXPECT_NE(out.find("# table Table1\n"), std::string::npos);
    EXPECT_NE(out.find("\"data2\": \"foo2\""), std::string::npos) << out;
}

TEST(Jet4Tool, EveryCommandWorksOnGreekFolderAndFileNames) {
    SKIP_WITHOUT_SHELL();
    TempDir dir;
    const fs::path folder = dir / "Βάση Δεδομένων";
    fs::create_directory(folder);
    SampleOptions o;
    o.password = "κωδικός";
    o.rows = 30;
    buildSampleDatabase((folder / "δεδομένα.dbf").string(), o);
    const std::string f = shellQuote((folder / "δεδομένα.dbf").string());
    const std::string copy = shellQuote((folder / "αντίγραφο.mdb").string());
    std::string out;
    for (const std::string& args :
         {"info " + f, "tables " + f, "check " + f, "dump " + f, "compact " + f + " " + copy,
          "check " + copy, "compact --in-place " + f}) {
        SCOPED_TRACE(args);
        EXPECT_EQ(jet4(args + " --password 'κωδικός'", out), 0) << out;
    }
    EXPECT_NE(out.find("All Done!"), std::string::npos) << out;
    EXPECT_TRUE(fs::exists(folder / "αντίγραφο.mdb"));
    EXPECT_EQ(jet4("check " + f + " --password 'κωδικός'", out), 0) << out;
}

// How far a compaction has come is drawn on a terminal, on stderr, a line
// for the copy ended before anything else is written; where stderr is no
// terminal, nothing but the report is printed.
TEST(Jet4Tool, ProgressIsShownOnATerminalAlone) {
    SKIP_WITHOUT_SHELL();
    TempDir dir;
    SampleOptions o;
    o.rows = 200;
    buildSampleDatabase((dir / "βάση.mdb").string(), o);
    const std::string f = shellQuote((dir / "βάση.mdb").string());
    std::string out;
    ASSERT_EQ(jet4("compact " + f + " " + shellQuote((dir / "a.mdb").string()), out), 0) << out;
    EXPECT_TRUE(std::regex_match(out, std::regex("compacted: [0-9]+ pages -> [0-9]+ pages\n")))
        << out;
    ASSERT_EQ(jet4("compact --in-place " + f + " --password ''", out), 0) << out;
    EXPECT_EQ(out.find("compacting"), std::string::npos) << out;
    EXPECT_EQ(out.find('\r'), std::string::npos) << out;

    if (runCommand("command -v script >/dev/null", out) != 0)
        GTEST_SKIP() << "no script(1) to give the tool a terminal";
    // script(1) runs the tool on a terminal of its own and passes on what
    // it draws (its line ends as CR LF).
    auto onTerminal = [&](const std::string& args) {
        const std::string command = shellQuote(JET4_BINARY) + " " + args;
        return runCommand("script -qec " + shellQuote(command) + " /dev/null", out);
    };
    ASSERT_EQ(onTerminal("compact " + f + " " + shellQuote((dir / "b.mdb").string())), 0) << out;
    std::size_t whole = out.find("compacting: 100.0% (");
    ASSERT_NE(whole, std::string::npos) << out;
    EXPECT_NE(out.find("\r\ncompacted: "), std::string::npos) << out;
    ASSERT_EQ(onTerminal("compact --in-place " + f + " --password ''"), 0) << out;
    whole = out.find("compacting: 100.0% (");
    ASSERT_NE(whole, std::string::npos) << out;
    const std::size_t lineEnd = out.find("\r\n", whole);
    ASSERT_NE(lineEnd, std::string::npos) << out;
    EXPECT_EQ(out.find("Maintenance - QW DBASE:", whole), lineEnd + 2) << out;
}

// An encoded file whose header is lost: the key found (a small one, so the
// search from 0 ends at once) is printed, a second run takes it as --key,
// and without a terminal nothing but the report is printed. A key that is
// no hexadecimal number of 32 bits is a usage error.
TEST(Jet4Tool, ALostKeyIsPrintedAndTakenAgain) {
    SKIP_WITHOUT_SHELL();
    TempDir dir;
    SampleOptions o;
    o.databaseKey = 0x0001E240;
    o.rows = 30;
    std::string bytes = sampleDatabaseBytes(o);
    std::fill(bytes.begin(), bytes.begin() + 512, '\0');
    writeFile(dir / "lost.mdb", bytes);
    const std::string f = shellQuote((dir / "lost.mdb").string());
    std::string out;
    ASSERT_EQ(jet4("compact " + f + " " + shellQuote((dir / "a.mdb").string()), out), 0) << out;
    EXPECT_NE(out.find("--key 0001E240"), std::string::npos) << out;
    EXPECT_EQ(out.find("searching for the key"), std::string::npos) << out;
    ASSERT_EQ(jet4("compact " + f + " " + shellQuote((dir / "b.mdb").string()) + " --key 1e240",
                   out),
              0)
        << out;
    EXPECT_EQ(jet4("check " + shellQuote((dir / "b.mdb").string()), out), 0) << out;
    for (const char* bad : {"--key ''", "--key 123456789", "--key 12G4", "--key -1"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(jet4("compact " + f + " " + shellQuote((dir / "c.mdb").string()) + " " + bad, out),
                  2)
            << out;
    }
    EXPECT_FALSE(fs::exists(dir / "c.mdb"));
}
