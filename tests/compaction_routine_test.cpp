// The compact-and-repair command and its routine, through the runtime's
// doubles and on real files in a temporary folder.
#include <gtest/gtest.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include "compaction/CompactCommand.h"
#include "compaction/CompactDB.h"
#include "jet/Check.h"
#include "jet/Compact.h"
#include "platform/FormEngine.h"
#include "platform/doubles/Doubles.h"
#include "support/Fixtures.h"
#include "support/Oracle.h"
#include "support/ProductDatabase.h"
#include "support/SampleDatabase.h"

using namespace testsupport;
using platform::MessageIcon;
using platform::doubles::FaultyFileSystem;
using platform::doubles::RecordingMessageBox;
using platform::doubles::ScriptedEngineFactory;

namespace {

const std::string kTitle = "Maintenance - QW DBASE";

// A database as the product keeps it, under the product's password, with
// dead space to reclaim; built by our own builder.
fs::path productDatabase(const TempDir& dir, const std::string& name = "data.dbf") {
    SampleOptions o;
    o.password = kProductPassword;
    o.rows = 120;
    buildSampleDatabase((dir / name).string(), o);
    return dir / name;
}

struct Harness {
    RecordingMessageBox box;
    platform::RealFileSystem realFiles;
    FaultyFileSystem files{realFiles};
    platform::LocaleNumberFormat numbers{"en_US.UTF-8"};
    ScriptedEngineFactory engines;
    compaction::Runtime rt{box, files, numbers, engines};
};

void expectOneMessage(const Harness& h, const std::string& text, MessageIcon icon) {
    ASSERT_EQ(h.box.shown.size(), 1u);
    EXPECT_EQ(h.box.shown[0].text, text);
    EXPECT_EQ(h.box.shown[0].icon, icon);
    EXPECT_EQ(h.box.shown[0].title, kTitle);
}

bool haveLocale(const char* name) {
    locale_t l = newlocale(LC_NUMERIC_MASK, name, static_cast<locale_t>(0));
    if (l == static_cast<locale_t>(0)) return false;
    freelocale(l);
    return true;
}

}  // namespace

TEST(CompactCommand, AnEmptyPathIsRefusedWithoutTouchingTheEngine) {
    Harness h;
    compaction::CompactCommand cmd(h.rt);
    cmd.Command2_Click("");
    expectOneMessage(h, "You must select the DBase file first!", MessageIcon::kCritical);
    EXPECT_EQ(h.engines.created, 0);
    EXPECT_TRUE(h.files.calls.empty());
}

TEST(CompactCommand, MissingFoldersAndHiddenFilesDoNotExist) {
    TempDir dir;
    writeFile(dir / ".data.dbf", "hidden");
    fs::create_directory(dir / "folder.dbf");
    for (const auto& p :
         {dir / "missing.dbf", dir / "folder.dbf", dir / ".data.dbf", dir / "missing" / "x"}) {
        SCOPED_TRACE(p.string());
        Harness h;
        compaction::CompactCommand cmd(h.rt);
        cmd.Command2_Click(p.string());
        expectOneMessage(h, "File doesn't exist!", MessageIcon::kCritical);
        EXPECT_EQ(h.engines.created, 0);
    }
}

TEST(CompactCommand, AShrinkingDatabaseIsReportedWithGroupedSizesThenNoChanges) {
    // The Greek users' own case: their locale, and a database in a folder and
    // a file with Greek names.
    struct Locale {
        const char* name;
        const char* separator;
        const char* path;
    } locales[] = {{"en_US.UTF-8", ",", "data.dbf"},
                   {"de_DE.UTF-8", ".", "data.dbf"},
                   {"el_GR.UTF-8", ".", "Βάση Πελατών/δεδομένα.dbf"}};
    for (const auto& loc : locales) {
        SCOPED_TRACE(loc.name);
        if (!haveLocale(loc.name)) GTEST_SKIP() << loc.name << " is not installed";
        TempDir dir;
        fs::create_directories((dir / loc.path).parent_path());
        const fs::path db = productDatabase(dir, loc.path);
        const auto oldSize = fs::file_size(db);
        std::string err0;
        const auto rowsBefore = ourRows(db.string(), kProductPassword, "Customers", err0);
        ASSERT_FALSE(rowsBefore.empty());
        Harness h;
        h.numbers = platform::LocaleNumberFormat(loc.name);
        compaction::CompactCommand cmd(h.rt);
        cmd.Command2_Click(db.string());
        const auto newSize = fs::file_size(db);
        ASSERT_LT(newSize, oldSize);
        auto group = [&](uintmax_t v) {
            return platform::groupDigits(static_cast<long double>(v), loc.separator, "\3");
        };
        expectOneMessage(h,
                         "All Done!\r\n\r\nOld Filesize : " + group(oldSize) +
                             " bytes\r\nNew Filisize : " + group(newSize) + " bytes",
                         MessageIcon::kInformation);
        EXPECT_NE(h.box.shown[0].text.find(loc.separator), std::string::npos);
        EXPECT_EQ(cmd.oldSizeText, std::to_string(oldSize));
        EXPECT_FALSE(fs::exists(db.string() + "2"));
        auto check = jet::checkFile(db.string(), kProductPassword);
        ASSERT_TRUE(check.ok());
        EXPECT_TRUE(check.value().ok());
        std::string err;
        EXPECT_EQ(ourRows(db.string(), kProductPassword, "Customers", err), rowsBefore);

        h.box.shown.clear();
        cmd.Command2_Click(db.string());
        expectOneMessage(h, "No changes\r\n\r\nUse this utility when deleting/modifing records",
                         MessageIcon::kInformation);
    }
}

TEST(CompactDB, AWrongPasswordIsReportedAndTheDatabaseKept) {
    // A Microsoft-made file with its own password where one is at hand, else one of ours.
    TempDir dir;
    const fs::path db = dir / "data.dbf";
    if (!fixturesDir().empty()) {
        copyFixture(fixturesDir() / "jet4" / "pwd-small-2000.mdb", dir, "data.dbf");
    } else {
        SampleOptions o;
        o.password = "password";
        buildSampleDatabase(db.string(), o);
    }
    const std::string before = readFile(db);
    Harness h;
    compaction::CompactCommand cmd(h.rt);
    cmd.Command2_Click(db.string());
    expectOneMessage(
        h,
        "Something go wrong\r\n\r\nMake sure that you have installed MS.MDAC v2.8\r\n\r\n"
        "Send this to author : \r\nNot a valid password.\r\n-2147217843 - Jet4 Engine",
        MessageIcon::kCritical);
    EXPECT_EQ(readFile(db), before);
    EXPECT_FALSE(fs::exists(db.string() + "2"));
    EXPECT_EQ(h.engines.released, h.engines.created);
}

TEST(CompactDB, AStaleTemporaryIsRemovedFirstButAHiddenOneIsNot) {
    TempDir dir;
    const fs::path db = productDatabase(dir);
    writeFile(db.string() + "2", "left by an earlier run");
    Harness h;
    EXPECT_TRUE(compaction::CompactDB(db.string(), db.string() + "2", kProductPassword, h.rt));
    EXPECT_TRUE(h.box.shown.empty());
    EXPECT_FALSE(fs::exists(db.string() + "2"));
    EXPECT_TRUE(jet::checkFile(db.string(), kProductPassword).ok());

    // A hidden file at the temporary path is not matched, so not deleted; the
    // engine then refuses to overwrite it and nothing changes.
    const std::string before = readFile(db);
    const fs::path hidden = dir / ".data.dbf2";
    writeFile(hidden, "hidden");
    Harness h2;
    EXPECT_FALSE(compaction::CompactDB(db.string(), hidden.string(), kProductPassword, h2.rt));
    ASSERT_EQ(h2.box.shown.size(), 1u);
    EXPECT_NE(h2.box.shown[0].text.find("already exists"), std::string::npos);
    EXPECT_EQ(readFile(db), before);
    EXPECT_EQ(readFile(hidden), "hidden");
}

TEST(CompactDB, EachStepFailingInTurnLeavesTheDatabaseIntact) {
    const platform::ErrorRecord injected{70, "Permission denied", "Injected"};
    struct Step {
        const char* name;
        std::function<void(Harness&)> arm;
        bool copyRemains;
    } steps[] = {
        {"engine creation", [](Harness& h) { h.engines.failCreate = true; }, false},
        {"temporary delete", [&](Harness& h) { h.files.failOn("remove", 1, injected); }, false},
        {"compaction", [](Harness& h) { h.engines.failCompact = true; }, false},
        {"flush", [&](Harness& h) { h.files.failOn("flush", 1, injected); }, true},
        {"replace", [&](Harness& h) { h.files.failOn("replace", 1, injected); }, true},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.name);
        TempDir dir;
        const fs::path db = productDatabase(dir);
        writeFile(db.string() + "2", "stale");
        const std::string before = readFile(db);
        Harness h;
        s.arm(h);
        EXPECT_FALSE(compaction::CompactDB(db.string(), db.string() + "2", kProductPassword, h.rt));
        ASSERT_EQ(h.box.shown.size(), 1u);
        EXPECT_EQ(h.box.shown[0].icon, MessageIcon::kCritical);
        EXPECT_EQ(h.box.shown[0].text.rfind("Something go wrong\r\n", 0), 0u);
        EXPECT_EQ(readFile(db), before);
        EXPECT_EQ(h.engines.released, h.engines.created);
        if (s.copyRemains) {
            EXPECT_TRUE(jet::checkFile(db.string() + "2", kProductPassword).ok())
                << "the copy should stay whole";
        }
    }
}

TEST(CompactDB, PermissionsAndSymbolicLinksAreKept) {
    TempDir dir;
    fs::create_directory(dir / "real");
    const fs::path db = productDatabase(dir, "real/data.dbf");
    ::chmod(db.c_str(), 0640);
    fs::create_symlink(db, dir / "link.dbf");
    Harness h;
    const std::string viaLink = (dir / "link.dbf").string();
    ASSERT_TRUE(compaction::CompactDB(viaLink, viaLink + "2", kProductPassword, h.rt));
    EXPECT_TRUE(fs::is_symlink(dir / "link.dbf"));
    EXPECT_EQ(fs::read_symlink(dir / "link.dbf"), db);
    struct stat st {};
    ASSERT_EQ(::stat(db.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_FALSE(fs::exists(viaLink + "2"));
    EXPECT_TRUE(jet::checkFile(db.string(), kProductPassword).ok());
}

TEST(CompactCommand, ALookUpOrLengthErrorShowsOneMessageAndTheProgramGoesOn) {
    TempDir dir;
    const fs::path db = productDatabase(dir);
    for (const char* op : {"lookUp", "length"}) {
        SCOPED_TRACE(op);
        Harness h;
        h.files.failOn(op, 1, platform::ErrorRecord{75, "Path/File access error", "Maintenance"});
        compaction::CompactCommand cmd(h.rt);
        platform::runHandler([&] { cmd.Command2_Click(db.string()); }, h.box);
        expectOneMessage(h, "Path/File access error\r\n75 - Maintenance", MessageIcon::kCritical);
        EXPECT_EQ(h.engines.created, 0);
    }
    Harness h;
    compaction::CompactCommand cmd(h.rt);
    platform::runHandler([&] { cmd.Command2_Click(std::string("data\0.dbf", 9)); }, h.box);
    ASSERT_EQ(h.box.shown.size(), 1u);
    EXPECT_EQ(h.box.shown[0].text, "Bad file name or number\r\n52 - Maintenance");
}

TEST(FileLookUp, OnlyRegularVisibleFilesMatchAndPathsAreLiteral) {
    TempDir dir;
    platform::RealFileSystem fs;
    writeFile(dir / "data.dbf", "x");
    writeFile(dir / ".hidden.dbf", "x");
    fs::create_directory(dir / "folder");
    ::mkfifo((dir / "pipe").c_str(), 0600);
    fs::create_symlink(dir / "data.dbf", dir / "link.dbf");
    EXPECT_EQ(fs.lookUp((dir / "data.dbf").string()), "data.dbf");
    EXPECT_EQ(fs.lookUp((dir / "link.dbf").string()), "link.dbf");
    EXPECT_EQ(fs.lookUp((dir / "*.dbf").string()), "");
    EXPECT_EQ(fs.lookUp((dir / "data.db?").string()), "");
    EXPECT_EQ(fs.lookUp((dir / ".hidden.dbf").string()), "");
    EXPECT_EQ(fs.lookUp((dir / "folder").string()), "");
    EXPECT_EQ(fs.lookUp((dir / "pipe").string()), "");
    EXPECT_EQ(fs.lookUp("/dev/null"), "");
    EXPECT_EQ(fs.lookUp((dir / "nothing").string()), "");
    EXPECT_EQ(fs.length((dir / "data.dbf").string()), 1);
    EXPECT_THROW(fs.length((dir / "nothing").string()), platform::RaisedError);
}

TEST(NumberFormat, DigitsAreGroupedAsTheLocaleGroupsThem) {
    EXPECT_EQ(platform::groupDigits(0, ",", "\3"), "0");
    EXPECT_EQ(platform::groupDigits(999, ",", "\3"), "999");
    EXPECT_EQ(platform::groupDigits(1000, ",", "\3"), "1,000");
    EXPECT_EQ(platform::groupDigits(3221225472.0L, ".", "\3"), "3.221.225.472");  // past 2 GiB
    EXPECT_EQ(platform::groupDigits(12345678, ",", "\3\2"), "1,23,45,678");
    EXPECT_EQ(platform::groupDigits(1234, "", ""), "1234");
    if (haveLocale("de_DE.UTF-8")) {
        EXPECT_EQ(platform::LocaleNumberFormat("de_DE.UTF-8").format("1234567", "#,##0"),
                  "1.234.567");
    }
    if (haveLocale("en_US.UTF-8")) {
        EXPECT_EQ(platform::LocaleNumberFormat("en_US.UTF-8").format("1234567", "#,##0"),
                  "1,234,567");
    }
    // The users' own locale: a full stop between groups of three.
    if (haveLocale("el_GR.UTF-8")) {
        EXPECT_EQ(platform::LocaleNumberFormat("el_GR.UTF-8").format("1880064", "#,##0"),
                  "1.880.064");
    }
}

TEST(ConsoleCompaction, InPlaceReportsOnStdoutAndFailsOnStderr) {
    TempDir dir;
    const fs::path db = productDatabase(dir);
    std::string out;
    EXPECT_EQ(runCommand("LC_ALL=en_US.UTF-8 " + shellQuote(JET4_BINARY) + " compact --in-place " +
                             shellQuote(db.string()) + " 2>/dev/null",
                         out),
              0);
    EXPECT_NE(out.find("All Done!\n\nOld Filesize : "), std::string::npos) << out;
    SampleOptions o;
    o.password = "another password";
    o.rows = 20;
    const fs::path other = dir / "other.dbf";
    buildSampleDatabase(other.string(), o);
    EXPECT_EQ(runCommand(shellQuote(JET4_BINARY) + " compact --in-place " +
                             shellQuote(other.string()) + " 2>&1 >/dev/null",
                         out),
              1);
    EXPECT_NE(out.find("Not a valid password."), std::string::npos) << out;
}
