// Damaged and hostile files: flipped bytes and truncation must end in a clean
// error or a clean read, never a crash (the suite runs under sanitizers).
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "jet/Check.h"
#include "jet/Compact.h"
#include "support/Fixtures.h"

using namespace testsupport;

namespace {

// Damage says where it was found twice, for people and for the code that
// acts on it: the two agree.
void expectWhereAgrees(const jet::Error& e) {
    if (e.code() != jet::ErrorCode::kDamaged) return;
    const std::string& text = e.description;
    if (e.page) {
        EXPECT_NE(text.find("(page " + std::to_string(*e.page)), std::string::npos) << text;
    }
    if (e.row) {
        EXPECT_NE(text.find(", row " + std::to_string(*e.row) + ")"), std::string::npos) << text;
    }
    if (e.tablePage) {
        EXPECT_NE(text.find("table '" + e.table + "'"), std::string::npos) << text;
    }
}

// Opens, checks and dumps everything; what matters is the absence of a
// crash, and errors that say what and where.
void exercise(const std::string& path, const std::string& password) {
    auto info = jet::databaseInfo(path, password);
    if (!info.ok()) {
        EXPECT_NE(info.error().number, 0);
        EXPECT_FALSE(info.error().description.empty());
        expectWhereAgrees(info.error());
        return;
    }
    std::ostringstream sink;
    const jet::Status dumped = jet::dumpFile(path, password, {}, sink);
    if (!dumped.ok()) expectWhereAgrees(dumped.error());
}

// A compaction of the damaged file repairs it or refuses with an error that
// says where, leaving no copy (no search for a lost key: it takes minutes).
void exerciseCompaction(const fs::path& src, const fs::path& out) {
    fs::remove(out);
    jet::CompactRequest req{src.string(), "", out.string(), "", true};
    req.lostKey.range.count = 0;
    auto r = jet::compactFile(req);
    if (r.ok()) return;
    EXPECT_FALSE(r.error().description.empty());
    expectWhereAgrees(r.error());
    EXPECT_FALSE(fs::exists(out));
}

void patch(const fs::path& p, size_t offset, char value) {
    std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset));
    f.put(value);
}

const char* kSmall[] = {"deleted-rows-2000.mdb", "overflow-rows-2000.mdb", "rc4-encoded-small.mdb",
                        "index-relations-2000.mdb", "composite-index-512-rows-2000.mdb"};

}  // namespace

TEST(HostileFiles, FlippedBytesGiveAnErrorOrACleanRead) {
    SKIP_WITHOUT_FIXTURES();
    TempDir dir;
    std::mt19937 rng(20261206);
    for (const char* name : kSmall) {
        SCOPED_TRACE(name);
        const fs::path src = fixturesDir() / "jet4" / name;
        const std::string original = readFile(src);
        const fs::path copy = copyFixture(src, dir);
        const size_t pages = original.size() / 4096;
        std::uniform_int_distribution<size_t> anyByte(0, original.size() - 1);
        std::uniform_int_distribution<size_t> early(0, 4 * 4096 - 1);
        std::uniform_int_distribution<int> anyValue(0, 255);
        for (int i = 0; i < 160; ++i) {
            // Half the flips land in pages 0 to 3, where the structure is densest.
            size_t at = (i % 2 == 0 && pages > 4) ? early(rng) : anyByte(rng);
            char flipped = static_cast<char>(anyValue(rng));
            if (flipped == original[at]) flipped = static_cast<char>(~flipped);
            patch(copy, at, flipped);
            SCOPED_TRACE("byte " + std::to_string(at));
            exercise(copy.string(), "");
            if (i % 4 == 0) exerciseCompaction(copy, dir / "compacted.mdb");
            patch(copy, at, original[at]);
        }
    }
}

TEST(HostileFiles, TruncationAtEveryPageBoundaryIsHandled) {
    SKIP_WITHOUT_FIXTURES();
    TempDir dir;
    for (const char* name : kSmall) {
        SCOPED_TRACE(name);
        const std::string original = readFile(fixturesDir() / "jet4" / name);
        for (size_t pages = 0; pages < original.size() / 4096; ++pages) {
            const fs::path cut = dir / "cut.mdb";
            writeFile(cut, original.substr(0, pages * 4096));
            if (pages < 3) {
                EXPECT_FALSE(jet::checkFile(cut.string(), "").ok());
            }
            exercise(cut.string(), "");
        }
    }
}

TEST(HostileFiles, NonDatabaseFilesAreRefused) {
    TempDir dir;
    const fs::path empty = dir / "empty.mdb";
    writeFile(empty, "");
    const fs::path text = dir / "text.mdb";
    writeFile(text, std::string(8192, 'x'));
    for (const auto& p : {empty, text}) {
        auto r = jet::checkFile(p.string(), "");
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().number, -2147467259);
    }
    auto missing = jet::checkFile((dir / "missing.mdb").string(), "");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().number, static_cast<int32_t>(jet::ErrorCode::kFileNotFound));
    auto folder = jet::checkFile(dir.path().string(), "");
    ASSERT_FALSE(folder.ok());
}
