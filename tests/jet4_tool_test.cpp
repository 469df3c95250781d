// The jet4 tool as scripts use it: exit status 0 / 1 / 2 and one error line.
#include <gtest/gtest.h>

#include <cstdlib>

#include "support/Fixtures.h"
#include "support/SampleDatabase.h"

using namespace testsupport;

namespace {
int jet4(const std::string& args, std::string& out, const std::string& env = "") {
    return runCommand(env + " " + shellQuote(JET4_BINARY) + " " + args + " 2>&1", out);
}
}  // namespace

TEST(Jet4Tool, UsageErrorsExitWithTwo) {
    std::string out;
    EXPECT_EQ(jet4("", out), 2);
    EXPECT_EQ(jet4("frobnicate x.mdb", out), 2);
    EXPECT_EQ(jet4("check", out), 2);
    EXPECT_EQ(jet4("check a.mdb --bogus", out), 2);
    EXPECT_EQ(jet4("--help", out), 0);
    EXPECT_NE(out.find("Usage: jet4"), std::string::npos);
}

TEST(Jet4Tool, RefusalsExitWithOneAndNameTheError) {
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
    SKIP_WITHOUT_FIXTURES();
    const std::string f =
        shellQuote((fixturesDir() / "jet4" / "deleted-columns-2003.mdb").string());
    std::string out;
    ASSERT_EQ(jet4("dump " + f, out), 0);
    EXPECT_NE(out.find("# table Table1\n"), std::string::npos);
    EXPECT_NE(out.find("\"data2\": \"foo2\""), std::string::npos) << out;
}
