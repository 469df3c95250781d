// Damage that puts rows in the wrong place, on Microsoft-made files: data
// pages swapped between two tables or within one, a page of another
// database written over one of ours, a count of slots no page can hold, a
// delete cut short. Every repair must put each row in its own table, once,
// and say exactly what it kept, dropped, moved back and left out.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "format/DataPage.h"
#include "jet/Check.h"
#include "jet/Compact.h"
#include "support/DamageLayout.h"
#include "support/Fixtures.h"
#include "support/Oracle.h"
#include "support/RepairRun.h"

using namespace testsupport;

namespace {

fs::path fixture(const std::string& name) { return fixturesDir() / "jet4" / name; }

const Layout::Table& tableNamed(const Layout& l, const std::string& name) {
    for (const auto& t : l.tables)
        if (t.def.name == name) return t;
    for (const auto& t : l.systemTables)
        if (t.def.name == name) return t;
    ADD_FAILURE() << "no table " << name;
    static const Layout::Table none;
    return none;
}

void swapPages(std::string& b, uint32_t x, uint32_t y) {
    std::swap_ranges(pageBytes(b, x), pageBytes(b, x) + 4096, pageBytes(b, y));
}

const jet::TableRepair* repairOf(const Repaired& r, const std::string& table) {
    for (const auto& t : r.summary.tables)
        if (t.table == table) return &t;
    return nullptr;
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::size_t liveRowsOn(const std::string& bytes, uint32_t page) {
    std::size_t n = 0;
    for (const auto& s : jet::parseDataPage(pageCopy(bytes, page), page).slots) n += !s.deleted;
    return n;
}

::testing::AssertionResult checkerSays(const fs::path& f, const std::string& pw,
                                       const std::string& text) {
    auto report = jet::checkFile(f.string(), pw);
    if (!report.ok()) return ::testing::AssertionFailure() << report.error().description;
    for (const auto& p : report->problems)
        if (p.text.find(text) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << (report->problems.empty() ? "no problem" : "said: " + report->problems.front().text);
}

class RowsBelong : public ::testing::Test {
  protected:
    void SetUp() override {
        if (fixturesDir().empty()) GTEST_SKIP() << "../shared/fixtures is absent";
        SKIP_WITHOUT_MDBTOOLS();
    }
    // The fixture's bytes, its layout and rows, and where to put damaged copies.
    void load(const std::string& name, const std::string& pw = "") {
        file_ = fixture(name);
        password_ = pw;
        bytes_ = readFile(file_);
        layout_ = layoutOf(file_, pw);
        original_ = userRows(file_, pw);
    }
    fs::path write(const std::string& name, const std::string& bytes) {
        const fs::path p = dir_ / name;
        writeFile(p, bytes);
        return p;
    }
    uint32_t dataPage(const std::string& table, std::size_t i) {
        return tableNamed(layout_, table).dataPages.at(i);
    }

    TempDir dir_;
    fs::path file_;
    std::string password_, bytes_;
    Layout layout_;
    Tables original_;
};

}  // namespace

// A misdirected write swaps two tables' pages: each page's owner field still
// names its own table. Once, each table took the other's rows (where they
// read under its definition) or dropped both pages' rows.
TEST_F(RowsBelong, PagesSwappedBetweenTablesGoBackToTheirOwners) {
    load("sample-traders-full-2000.mdb");
    const std::vector<
        std::pair<std::pair<std::string, std::size_t>, std::pair<std::string, std::size_t>>>
        swaps = {{{"Employees", 0}, {"Shippers", 0}},
                 {{"Suppliers", 1}, {"Shippers", 0}},
                 {{"Customers", 1}, {"Orders", 3}},
                 {{"Products", 1}, {"Suppliers", 1}}};
    for (const auto& [a, b] : swaps) {
        SCOPED_TRACE(a.first + " and " + b.first);
        std::string damaged = bytes_;
        const uint32_t pa = dataPage(a.first, a.second), pb = dataPage(b.first, b.second);
        swapPages(damaged, pa, pb);
        const Repaired r = repair(write("swapped.mdb", damaged), "");
        EXPECT_EQ(r.rows, original_);
        EXPECT_EQ(r.summary.rowsDropped, 0u);
        EXPECT_EQ(r.summary.rowsForeign, 0u);
        EXPECT_EQ(r.summary.rowsMovedBack, liveRowsOn(bytes_, pa) + liveRowsOn(bytes_, pb));
        EXPECT_EQ(occurrences(r.log, "Rows moved back"), 2u) << r.log;
        EXPECT_TRUE(r.summary.lostOrChanged());  // the damaged original is kept
    }
}

// A page of another database written over a page of a table: its rows are
// no table's here, and the rows the table kept there are lost. Once, rows
// that read under the table's definition joined it, and the loss went
// unreported.
TEST_F(RowsBelong, APageOfAnotherDatabaseAddsNoRow) {
    load("sample-traders-full-2000.mdb");
    const fs::path donorFile = fixture("sample-traders-deleted-rows.mdb");
    const std::string donor = readFile(donorFile);
    const Layout donorLayout = layoutOf(donorFile, "");
    struct Case {
        std::string table, donorTable;
    };
    for (const Case& c : {Case{"Employees", "Shippers"}, Case{"Suppliers", "Shippers"},
                          Case{"Orders", "Categories"}}) {
        SCOPED_TRACE(c.table + " over " + c.donorTable);
        std::string damaged = bytes_;
        const uint32_t page = dataPage(c.table, 0);
        const uint32_t from = tableNamed(donorLayout, c.donorTable).dataPages.at(0);
        std::copy_n(donor.begin() + static_cast<std::ptrdiff_t>(from) * 4096, 4096,
                    pageBytes(damaged, page));
        const Repaired r = repair(write("foreign.mdb", damaged), "");
        const std::size_t lost = liveRowsOn(bytes_, page), foreign = liveRowsOn(donor, from);
        for (const auto& [t, rows] : original_) {
            if (t == c.table) continue;
            EXPECT_EQ(r.rows.at(t), rows) << t;
        }
        // What is left of the table is its own, less the page's rows.
        const Rows& left = r.rows.at(c.table);
        EXPECT_EQ(left.size(), original_.at(c.table).size() - lost);
        EXPECT_TRUE(std::includes(original_.at(c.table).begin(), original_.at(c.table).end(),
                                  left.begin(), left.end()));
        const jet::TableRepair* t = repairOf(r, c.table);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->rowsForeign, foreign);
        EXPECT_EQ(t->rowsDropped, lost);
        EXPECT_EQ(occurrences(r.log, "Row left out as foreign"), foreign);
        EXPECT_TRUE(r.summary.lostOrChanged());
    }
}

// Two pages of one table swapped, one holding an overflow row's pointer:
// the pointer then leads to a row the table holds by itself. Once, the
// check said "ok" and the copy held one row twice and lost another.
TEST_F(RowsBelong, AnOverflowRowIsCopiedOnce) {
    load("overflow-rows-2000.mdb");
    const auto& pages = tableNamed(layout_, "Table1").dataPages;
    ASSERT_GE(pages.size(), 2u);
    std::string damaged = bytes_;
    swapPages(damaged, pages[0], pages[1]);
    const fs::path src = write("swapped.mdb", damaged);
    EXPECT_TRUE(checkerSays(src, "", "an overflow pointer leads to a row that is not an overflow"));
    const Repaired r = repair(src, "");
    EXPECT_EQ(r.rows, original_);
    EXPECT_EQ(r.summary.rowsDropped, 0u);
    EXPECT_EQ(occurrences(r.log, "Second reference left out"), 1u) << r.log;
}

// Two overflow pointers made to lead to one row: it is copied once, and the
// row the other pointer led to, which no pointer reaches now, is kept.
TEST_F(RowsBelong, TwoPointersToOneRowGiveOneRow) {
    load("overflow-rows-2000.mdb");
    const uint32_t page = tableNamed(layout_, "Table1").dataPages.at(0);
    std::string damaged = bytes_;
    const jet::DataPage dp = jet::parseDataPage(pageCopy(damaged, page), page);
    std::vector<uint16_t> stubs;
    for (const auto& s : dp.slots)
        if (s.overflow && !s.deleted) stubs.push_back(s.start);
    ASSERT_EQ(stubs.size(), 2u);
    std::copy_n(pageBytes(damaged, page) + stubs[1], 4, pageBytes(damaged, page) + stubs[0]);
    const fs::path src = write("twice.mdb", damaged);
    EXPECT_TRUE(checkerSays(src, "", "two overflow pointers lead to"));
    const Repaired r = repair(src, "");
    EXPECT_EQ(r.rows, original_);
    EXPECT_EQ(r.summary.rowsDropped, 0u);
}

// A count of slots far above what a page holds: the slots past the real
// table of offsets read the free space. Once, real rows whose offsets lay
// below the table the count made were dropped, and the bytes past the real
// table were counted as more than a hundred rows dropped.
TEST_F(RowsBelong, ASlotCountNoPageCanHoldDropsNoRowItsOffsetsFind) {
    load("sample-traders-full-2000.mdb");
    const uint32_t page = dataPage("Customers", 0);
    for (const uint16_t count : {uint16_t{0x0800}, uint16_t{200}, uint16_t{0xFFFF}}) {
        for (const bool freeSpaceToo : {false, true}) {
            SCOPED_TRACE(std::to_string(count) + (freeSpaceToo ? ", free space damaged" : ""));
            std::string damaged = bytes_;
            jet::put16(pageBytes(damaged, page) + 12, count);
            if (freeSpaceToo) jet::put16(pageBytes(damaged, page) + 2, 0);
            const Repaired r = repair(write("slots.mdb", damaged), "");
            EXPECT_EQ(r.rows, original_);
            EXPECT_EQ(r.summary.rowsDropped, 0u);
        }
    }
}

// A row flagged deleted that an index still lists: a delete cut short, or
// a damaged flag. It is brought back and said so, on a plain and on an
// encoded file (where it once went without a word).
TEST_F(RowsBelong, ADeletedRowAnIndexStillListsIsBroughtBackAndSaid) {
    for (const char* name : {"sample-traders-full-2000.mdb", "rc4-encoded-small.mdb"}) {
        SCOPED_TRACE(name);
        load(name);
        const std::string table = name[0] == 's' ? "Customers" : "Table1";
        const uint32_t page = dataPage(table, 0);
        std::string damaged = decodedPages(bytes_, layout_.databaseKey);
        uint8_t* slot = pageBytes(damaged, page) + 14 + 2 * 1;
        jet::put16(slot, static_cast<uint16_t>(jet::u16(jet::ByteView(slot, 2), 0) | 0x8000));
        const fs::path src = write("deleted.mdb", encodedPages(damaged, layout_.databaseKey));
        EXPECT_TRUE(checkerSays(src, "", "not a live row"));
        const Repaired r = repair(src, "");
        EXPECT_EQ(r.rows, original_);
        EXPECT_EQ(r.summary.rowsRestored, 1u);
        EXPECT_EQ(occurrences(r.log, "Deleted row brought back"), 1u) << r.log;
    }
}

// Rows dropped from a table another refers to: the referring rows left
// without their row are counted, in the report and in the log.
TEST_F(RowsBelong, RowsLeftWithoutTheirRowAreCounted) {
    load("sample-traders-full-2000.mdb");
    std::string damaged = bytes_;
    const uint32_t page = dataPage("Orders", 4);
    std::fill_n(pageBytes(damaged, page), 4096, 0);
    const Repaired r = repair(write("orders.mdb", damaged), "");
    // The orders lost, by number, and the order lines that name them.
    std::set<std::string> lost;
    const Rows& kept = r.rows.at("Orders");
    std::smatch m;
    for (const auto& row : original_.at("Orders")) {
        if (!std::binary_search(kept.begin(), kept.end(), row) &&
            std::regex_search(row, m, std::regex("OrderID=([0-9]+)")))
            lost.insert(m[1]);
    }
    ASSERT_FALSE(lost.empty());
    uint64_t orphaned = 0;
    for (const auto& row : original_.at("Order Details")) {
        if (std::regex_search(row, m, std::regex("OrderID=([0-9]+)")) && lost.count(m[1]) != 0)
            ++orphaned;
    }
    ASSERT_EQ(r.summary.references.size(), 1u);
    EXPECT_EQ(r.summary.references[0].table, "Order Details");
    EXPECT_EQ(r.summary.references[0].referenced, "Orders");
    EXPECT_EQ(r.summary.references[0].rows, orphaned);
    EXPECT_NE(r.log.find(std::to_string(orphaned) + " rows refer, through the relationship"),
              std::string::npos);
}

// The check's word for each problem agrees with what the compaction does:
// "nothing is lost" only where the table loses nothing.
TEST_F(RowsBelong, TheCheckSaysNothingIsLostOnlyWhenNothingIs) {
    load("sample-traders-full-2000.mdb");
    std::string pageGone = bytes_, leafGone = bytes_;
    std::fill_n(pageBytes(pageGone, dataPage("Orders", 4)), 4096, 0);
    const auto& customers = tableNamed(layout_, "Customers");
    std::fill_n(pageBytes(leafGone, customers.indexLeaves.at(0).at(0)), 4096, 0);
    for (const auto& [name, bytes, loses] :
         {std::tuple{"page.mdb", pageGone, true}, std::tuple{"leaf.mdb", leafGone, false}}) {
        SCOPED_TRACE(name);
        auto report = jet::checkFile(write(name, bytes).string(), "");
        ASSERT_TRUE(report.ok());
        ASSERT_FALSE(report->ok());
        std::size_t nothingLost = 0;
        for (const auto& p : report->problems)
            nothingLost += p.remedy.find("nothing is lost") != std::string::npos;
        if (loses) {
            EXPECT_EQ(nothingLost, 0u);
        } else {
            EXPECT_EQ(nothingLost, report->problems.size());
        }
        ASSERT_EQ(report->repairs.size(), 1u);
        EXPECT_EQ(report->repairs[0].find("drops") != std::string::npos, loses)
            << report->repairs[0];
    }
}

// A reference-kind global usage map whose last bitmap page number is
// 80 FF FF FF, as a file Access wrote has it: no bitmap page, not a page past
// the end of the file. Such a file is sound.
TEST_F(RowsBelong, AGlobalMapEndingInANegativePageNumberIsSound) {
    load("sample-traders-full-2000.mdb");
    std::string b = bytes_;
    const jet::DataPage dp = jet::parseDataPage(pageCopy(b, 1), 1);
    ASSERT_FALSE(dp.slots.empty());
    const jet::Slot s = dp.slots[0];
    uint8_t* row = pageBytes(b, 1) + s.start;
    std::fill_n(row, s.length(), 0);
    row[0] = 0x01;  // a reference map with no bitmap page but the last, which is none
    const std::size_t last = 1 + 4 * ((std::size_t{s.length()} - 1) / 4 - 1);
    jet::put32(row + last, 0xFFFFFF80u);
    const fs::path src = write("reference.mdb", b);
    auto report = jet::checkFile(src.string(), "");
    ASSERT_TRUE(report.ok());
    EXPECT_TRUE(report->ok()) << report->problems.front().text;
    const fs::path copy = dir_ / "reference-copy.mdb";
    auto r = jet::compactFile({src.string(), "", copy.string(), "", true});
    ASSERT_TRUE(r.ok()) << r.error().description;
    EXPECT_FALSE(r->repair.lostOrChanged());
    EXPECT_EQ(userRows(copy, ""), original_);
}
