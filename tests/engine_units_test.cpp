// Unit tests of the engine's building blocks against values taken from real
// files.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>

#include "format/Date.h"
#include "format/Header.h"
#include "format/IndexPage.h"
#include "format/Rc4.h"
#include "format/Row.h"
#include "format/Text.h"
#include "format/UsageMap.h"
#include "jet/Error.h"
#include "keys/KeyEncoding.h"
#include "os/Cleanup.h"
#include "os/Paths.h"
#include "read/RowDigest.h"
#include "read/Value.h"
#include "support/EngineReads.h"
#include "support/ErrorTable.h"
#include "support/Hex.h"
#include "util/RadixSort.h"

using jet::Bytes;
using jet::ByteView;
using testsupport::hex;

TEST(Header, MaskedRegionUsesTheFixedKeystream) {
    jet::Page p{};
    jet::maskHeaderRegion(p.data());
    EXPECT_EQ(Bytes(p.begin() + 0x18, p.begin() + 0x20), hex("B5 6F 03 62 61 08 C2 55"));
}

TEST(Header, PasswordIsMaskedWithTheCreationDate) {
    // From a real file: creation date 44568.67..., password "password".
    jet::Page raw{};
    const char magic[] = "Standard Jet DB";
    raw[1] = 1;
    std::copy(magic, magic + sizeof magic, raw.begin() + 4);
    raw[0x14] = 1;
    Bytes date = hex("9b bf 57 a9 15 c3 e5 40");
    std::copy(date.begin(), date.end(), raw.begin() + 0x72);
    Bytes stored = hex("68 ae 61 00 6b ae 73 00 6f ae 6f 00 6a ae 64 00");
    std::copy(stored.begin(), stored.end(), raw.begin() + 0x42);
    for (size_t i = 16; i < 40; i += 4) {
        raw[0x42 + i] = 0x18;
        raw[0x42 + i + 1] = 0xae;
    }
    jet::maskHeaderRegion(raw.data());
    jet::Header h = jet::parseHeader(raw, "x");
    EXPECT_TRUE(h.hasPassword());
    EXPECT_EQ(testsupport::storedPassword(h), "password");
    EXPECT_TRUE(h.passwordMatches("password"));
    EXPECT_FALSE(h.passwordMatches("Password"));
    EXPECT_FALSE(h.passwordMatches(""));
    EXPECT_EQ(jet::formatDate(h.creationDate), "2022-01-07 16:14:46");
}

TEST(Header, OtherFormatsAreRefused) {
    jet::Page raw{};
    try {
        jet::parseHeader(raw, "f.mdb");
        FAIL();
    } catch (const jet::JetException& e) {
        EXPECT_EQ(e.error().number, -2147467259);
        EXPECT_EQ(e.error().description, "Unrecognized database format 'f.mdb'.");
    }
}

TEST(Text, CompressedUnicodeTogglesOnZeroBytes) {
    EXPECT_EQ(jet::decodeText(hex("ff fe 66 6f 6f")), u"foo");
    EXPECT_EQ(jet::decodeText(hex("ff fe 41 00 ac 20 00 42")), u"A\u20ACB");
    EXPECT_EQ(jet::decodeText(hex("41 00 42 00")), u"AB");
    std::u16string out;
    EXPECT_FALSE(jet::utf8ToUtf16("\xC3", out));
    EXPECT_FALSE(jet::utf8ToUtf16("\xFF", out));
    EXPECT_TRUE(jet::utf8ToUtf16("\xF0\x9F\x98\x80", out));
    EXPECT_EQ(out.size(), 2u);
    EXPECT_EQ(jet::utf16ToUtf8(out), "\xF0\x9F\x98\x80");
}

TEST(KeyEncoding, IntegerAndDateKeysMatchAccessKeys) {
    Bytes two = hex("02 00 00 00");
    EXPECT_EQ(jet::encodeKeyPart(4, true, ByteView(two)), hex("7F 80 00 00 02"));
    Bytes v = hex("CD 12 00 00");
    EXPECT_EQ(jet::encodeKeyPart(4, false, ByteView(v)), hex("80 7F FF ED 32"));
    EXPECT_EQ(jet::encodeKeyPart(4, true, std::nullopt), hex("00"));
    EXPECT_EQ(jet::encodeKeyPart(4, false, std::nullopt), hex("FF"));
    Bytes minusOne = hex("00 00 00 00 00 00 f0 bf");  // -1.0
    EXPECT_EQ(jet::encodeKeyPart(7, true, ByteView(minusOne)), hex("7F 40 0F FF FF FF FF FF FF"));
    Bytes one = hex("00 00 00 00 00 00 f0 3f");
    EXPECT_EQ(jet::encodeKeyPart(8, true, ByteView(one)), hex("7F BF F0 00 00 00 00 00 00"));
}

TEST(KeyEncoding, KeysSplitIntoColumnParts) {
    Bytes key = hex("7F 8F 00 00 01 7F 60 6B 76 6B 64 4C 5B 51 4D 6D 6B 01 00");
    auto parts = jet::splitKey(key, {{4, true}, {10, true}});
    ASSERT_TRUE(parts);
    EXPECT_EQ((*parts)[0], std::make_pair(size_t{0}, size_t{5}));
    EXPECT_EQ((*parts)[1], std::make_pair(size_t{5}, size_t{14}));
    EXPECT_TRUE(jet::splitKey(hex("00 00"), {{10, true}, {4, true}}));
    EXPECT_TRUE(jet::splitKey(hex("80 C7 FE FE FE FE 7F F8 F9 7D FF 00"), {{10, false}}));
    EXPECT_FALSE(jet::splitKey(hex("7F 80 00"), {{4, true}}));
    EXPECT_FALSE(jet::splitKey(hex("7F 80 00 00 02 01"), {{4, true}}));
}

TEST(Rows, DeletedColumnsKeepTheirSlots) {
    // A real row: max_cols 6, num_var 3, columns 1 and 4 deleted.
    Bytes row = hex(
        "06 00 00 00 00 00 01 00 00 00 02 00 00 00 ff fe 66 6f 6f ff fe 66 6f 6f 5f 64 65 6c 65 74 "
        "65 64 ff fe 66 6f 6f 32 26 00 20 00 13 00 0e 00 03 00 3f");
    jet::TableDef def;
    def.name = "Table1";
    def.numVar = 3;
    def.maxCols = 6;
    auto col = [](uint16_t num, uint8_t type, uint8_t flags, uint16_t fixedOff, uint16_t varIdx,
                  uint16_t len) {
        jet::Column c;
        c.number = num;
        c.type = type;
        c.flags = flags;
        c.fixedOffset = fixedOff;
        c.varIndex = varIdx;
        c.length = len;
        return c;
    };
    def.columns = {col(0, 4, 3, 0, 0, 4), col(2, 4, 3, 8, 0, 4), col(3, 10, 2, 0, 0, 100),
                   col(5, 10, 2, 0, 2, 100)};
    jet::RowView rv = jet::crackRow(def, row, 29, 0);
    EXPECT_EQ(rv.ncols, 6);
    ASSERT_EQ(rv.varSlots.size(), 3u);
    auto id2 = jet::columnBytes(def, def.columns[1], rv, 29, 0);
    ASSERT_TRUE(id2);
    EXPECT_EQ(Bytes(id2->begin(), id2->end()), hex("02 00 00 00"));
    auto data2 = jet::columnBytes(def, def.columns[3], rv, 29, 0);
    ASSERT_TRUE(data2);
    EXPECT_EQ(jet::decodeText(*data2), u"foo2");

    // Rebuilding from the parts gives the same bytes.
    std::vector<Bytes> slots;
    for (auto [s, e] : rv.varSlots) slots.emplace_back(row.begin() + s, row.begin() + e);
    Bytes rebuilt = jet::buildRow(6, ByteView(row).subspan(2, rv.fixedEnd - 2), slots,
                                  ByteView(row).subspan(rv.maskOffset), true);
    EXPECT_EQ(rebuilt, row);

    // A damaged offset table is reported, never read past.
    Bytes bad = row;
    bad[bad.size() - 6] = 0xF0;
    EXPECT_THROW(jet::crackRow(def, bad, 29, 0), jet::JetException);
}

TEST(IndexPages, BuildAndParseRoundTripWithPrefixCompression) {
    std::vector<jet::IndexEntry> entries;
    for (uint32_t i = 0; i < 200; ++i) {
        jet::IndexEntry e;
        e.key = hex("7F 80 00");
        e.key.push_back(static_cast<uint8_t>(i >> 8));
        e.key.push_back(static_cast<uint8_t>(i));
        e.row = {100 + i / 50, static_cast<uint8_t>(i % 50)};
        entries.push_back(e);
    }
    std::vector<const jet::IndexEntry*> ptrs;
    for (const auto& e : entries) ptrs.push_back(&e);
    jet::Page p = jet::buildIndexPage(jet::kPageIndexLeaf, 15, 0, 33, 0, ptrs);
    jet::IndexPage parsed = jet::parseIndexPage(p, 32);
    EXPECT_GT(parsed.prefix, 0);
    EXPECT_EQ(parsed.next, 33u);
    EXPECT_EQ(parsed.owner, 15u);
    ASSERT_EQ(parsed.entries.size(), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(parsed.entries[i].key, entries[i].key);
        EXPECT_EQ(parsed.entries[i].row, entries[i].row);
    }
}

TEST(IndexPages, UnsortedEntriesStillRoundTrip) {
    // Found by fuzzing: the shared prefix must hold for every entry, not only
    // for the first and the last.
    std::vector<jet::IndexEntry> entries(3);
    entries[0].key = hex("7F 80 00 00 01");
    entries[1].key = hex("7F 10");
    entries[2].key = hex("7F 80 00 00 02");
    std::vector<const jet::IndexEntry*> ptrs;
    for (const auto& e : entries) ptrs.push_back(&e);
    jet::IndexPage parsed =
        jet::parseIndexPage(jet::buildIndexPage(jet::kPageIndexLeaf, 2, 0, 0, 0, ptrs), 9);
    ASSERT_EQ(parsed.entries.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(parsed.entries[i].key, entries[i].key);
}

TEST(UsageMaps, InlineMapsHoldOnlyWhatFitsTheirWindow) {
    Bytes row;
    ASSERT_TRUE(jet::buildInlineMap({9, 10, 519}, row));
    EXPECT_EQ(row.size(), 69u);
    EXPECT_EQ(jet::u32(row, 1), 8u);
    EXPECT_EQ(row[5], 0x06);
    EXPECT_FALSE(jet::buildInlineMap({8, 520}, row));
}

// The copy is checked against digests of the source's rows: a 32-bit build
// (no 128-bit integers) must hash as the 64-bit ones do.
TEST(RowDigests, HashTheSameOnEverySystem) {
    using H = jet::ByteHash;
    constexpr uint64_t kMax = ~uint64_t{0};
    EXPECT_EQ(H::foldByHalves(kMax, kMax), kMax);  // high 2^64-2, low 1
    EXPECT_EQ(H::foldByHalves(uint64_t{1} << 32, uint64_t{1} << 32), 1u);
    EXPECT_EQ(H::foldByHalves(0xFFFFFFFFull, 0xFFFFFFFFull), 0xFFFFFFFE00000001ull);
    EXPECT_EQ(H::foldByHalves(kMax, 2), (kMax - 1) ^ 1);
    std::mt19937_64 rng(30);
    for (int i = 0; i < 200'000; ++i) {
        const uint64_t a = rng(), b = rng();
        ASSERT_EQ(H::fold(a, b), H::foldByHalves(a, b)) << a << " * " << b;
    }
    // Every length, through the short, the lane and the tail paths; the
    // values are those of the 64-bit builds.
    std::vector<uint8_t> bytes(200);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 37 + 11);
    H strings;
    for (std::size_t n = 0; n <= bytes.size(); ++n) strings.add(bytes.data(), n);
    EXPECT_EQ(strings.h, 0x6ad283a377750f53ull);
    H words;
    for (uint64_t i = 0; i < 1000; ++i) words.mix(i * 0x9E3779B97F4A7C15ull);
    EXPECT_EQ(words.h, 0xbb590e8f2678d3d3ull);
}

TEST(Values, DatesDecimalsAndBase64) {
    EXPECT_EQ(jet::formatDate(0), "1899-12-30 00:00:00");
    EXPECT_EQ(jet::formatDate(2.5), "1900-01-01 12:00:00");
    EXPECT_EQ(jet::formatDate(-1.25), "1899-12-29 06:00:00");
    EXPECT_EQ(jet::formatDate(1e300), "invalid date");
    EXPECT_EQ(jet::formatDate(-657434), "0100-01-01 00:00:00");
    EXPECT_EQ(jet::formatDate(-657434.01), "invalid date");
    EXPECT_EQ(jet::formatDate(2958465.5), "9999-12-31 12:00:00");
    EXPECT_EQ(jet::formatDate(1.99999999), "1900-01-01 00:00:00");  // rounds to the next day
    EXPECT_EQ(jet::formatDate(-1.99999999), "1899-12-28 00:00:00");
    EXPECT_EQ(jet::dateValue(std::chrono::year{2023} / 3 / 15), 45000);
    EXPECT_EQ(jet::dateValue(std::chrono::year{1900} / 3 / 1), 61);  // 1900 was no leap year
    Bytes dec(17, 0);
    dec[13] = 0x01;
    dec[14] = 0x02;  // 0x0201 in the least significant word
    EXPECT_EQ(jet::formatDecimal(dec, 2), "5.13");
    dec[0] = 0x80;
    EXPECT_EQ(jet::formatDecimal(dec, 0), "-513");
    EXPECT_EQ(jet::base64(hex("66 6f 6f 62")), "Zm9vYg==");
    // The dump's strings read back as they were, control characters escaped
    // as they have always been written.
    for (const std::string& s :
         {std::string("plain"), std::string("\"quoted\" \\ back\tslash\r\n"),
          std::string("\0\b\f\x1f\x7f", 5), std::string("Zo\xC3\xAB \xF0\x9F\x98\x80")}) {
        EXPECT_EQ(nlohmann::json::parse(jet::jsonString(s)), s);
    }
    EXPECT_EQ(jet::jsonString(std::string("\0\b\f\n\"", 5)), R"("\u0000\u0008\u000c\n\"")");
}

TEST(Paths, TheFolderOfAFileIsWhereItsRoomIsMeasured) {
    EXPECT_EQ(jet::folderOf("data.dbf"), ".");
    EXPECT_EQ(jet::folderOf("./data.dbf"), ".");
    EXPECT_EQ(jet::folderOf("/data.dbf"), "/");
    EXPECT_EQ(jet::folderOf("/srv/qw/data.dbf"), "/srv/qw");
    EXPECT_EQ(jet::folderOf("qw/data.dbf"), "qw");
}

// The README's table of error numbers lists every number once, with its
// name and meaning, and the numbers are the engine's.
TEST(Errors, TheReadmeListsEveryNumberOnce) {
    std::ifstream in(std::string(QW_SOURCE_DIR) + "/README.md");
    std::stringstream readme;
    readme << in.rdbuf();
    std::set<int32_t> numbers;
    std::set<std::string> names;
    for (const auto& e : testsupport::errorTable()) {
        const auto number = static_cast<int32_t>(e.code);
        EXPECT_TRUE(numbers.insert(number).second) << e.name;
        EXPECT_TRUE(names.insert(e.name).second) << e.name;
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08X", static_cast<uint32_t>(number));
        const std::string row =
            "| " + std::to_string(number) + " | " + hex + " | " + e.name + " | " + e.meaning + " |";
        EXPECT_NE(readme.str().find(row), std::string::npos) << row;
    }
    EXPECT_TRUE(numbers.count(-2147217843));  // the platform engine's wrong password
}

TEST(IndexPages, KeysShortAndLongSurviveCopiesMovesAndGrowth) {
    // Keys up to 20 bytes are held in the entry, longer ones on the heap.
    for (std::size_t n : {0u, 1u, 19u, 20u, 21u, 300u}) {
        SCOPED_TRACE(n);
        Bytes bytes(n);
        for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
        jet::IndexKey key(bytes);
        EXPECT_EQ(key, bytes);
        jet::IndexKey copy = key;
        jet::IndexKey moved = std::move(key);
        EXPECT_TRUE(key.empty());
        EXPECT_EQ(copy, bytes);
        EXPECT_EQ(moved, bytes);
        moved.push_back(0xEE);  // may move from the entry to the heap
        bytes.push_back(0xEE);
        EXPECT_EQ(moved, bytes);
        // A key rebuilt from pieces of itself.
        moved.assign(jet::ByteView(moved).first(n / 2), jet::ByteView(copy));
        Bytes expect(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n / 2));
        expect.insert(expect.end(), copy.begin(), copy.end());
        EXPECT_EQ(moved, expect);
        copy = moved;
        EXPECT_EQ(copy, expect);
    }
}

// A file registered for removal is gone after SIGTERM or SIGINT ends the
// process; one whose registration ended is left alone.
#ifdef _WIN32
TEST(RemoveOnSignal, AnInterruptedRunLeavesNoFileBehind) {
    GTEST_SKIP() << "POSIX signals; Windows removes the files on Ctrl+C and console close, "
                    "which this suite cannot send";
}
#else
TEST(RemoveOnSignal, AnInterruptedRunLeavesNoFileBehind) {
    char dir[] = "/tmp/qw-cleanup-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string kept = std::string(dir) + "/kept", gone = std::string(dir) + "/partial";
    for (int sig : {SIGTERM, SIGINT}) {
        for (const auto& p : {kept, gone}) ::close(::open(p.c_str(), O_CREAT | O_WRONLY, 0600));
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            { jet::RemoveOnSignal forgotten(kept); }
            jet::RemoveOnSignal partial(gone);
            ::raise(sig);
            ::_exit(0);  // not reached
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig);
        EXPECT_EQ(::access(gone.c_str(), F_OK), -1) << "signal " << sig;
        EXPECT_EQ(::access(kept.c_str(), F_OK), 0) << "signal " << sig;
    }
    ::unlink(kept.c_str());
    ::rmdir(dir);
}
#endif

// The sort the compaction's row orders and row pointers go through: against
// std::sort on values spread over every byte, on few distinct values, on
// values that share their high bytes (row pointers of nearby pages) and on
// runs already in order or reversed, around the size where buckets are
// sorted by insertion instead.
TEST(RadixSort, SortsAsAComparisonSortDoes) {
    std::mt19937_64 rng(11);
    auto check = [](auto values) {
        auto expected = values;
        std::sort(expected.begin(), expected.end());
        jet::radixSort(std::span(values));
        EXPECT_EQ(values, expected);
    };
    for (std::size_t n : {0u, 1u, 2u, 47u, 48u, 49u, 300u, 5000u, 100'000u}) {
        SCOPED_TRACE(n);
        std::vector<uint64_t> spread(n), few(n), near(n), ordered(n);
        std::vector<uint32_t> places(n);
        std::vector<uint8_t> bytes(n);
        for (std::size_t i = 0; i < n; ++i) {
            spread[i] = rng();
            few[i] = rng() % 3 * 0x0101010101010101u;
            near[i] = (uint64_t{0x0012'3400u + static_cast<uint32_t>(rng() % 700)} << 32) | i;
            ordered[i] = i * 0x10001u;
            places[i] = static_cast<uint32_t>(rng() >> 40);
            bytes[i] = static_cast<uint8_t>(rng());
        }
        check(spread);
        check(few);
        check(near);
        check(ordered);
        check(std::vector<uint64_t>(ordered.rbegin(), ordered.rend()));
        check(places);
        check(bytes);
    }
}

