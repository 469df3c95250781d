// A sweep over kinds of damage: for each, files damaged at random places,
// and per kind the rows a repair brings back against the rows mdbtools reads
// from the damaged file, both out of the rows the damage left readable (the
// rows whose bytes, slot and page header it did not touch). The targets: at
// least 99% of the readable rows come back, no row is lost without a word,
// and every copy passes its check. A small sweep runs by default;
// QW_SWEEP=full runs every fixture, three times a kind, and prints the table
// (QW_SWEEP_KIND=text: only the kinds whose name holds text).
#include <gtest/gtest.h>

#include <functional>
#include <iomanip>
#include <iostream>
#include <random>
#include <sstream>

#include "format/DataPage.h"
#include "format/IndexPage.h"
#include "format/Row.h"
#include "format/UsageMap.h"
#include "jet/Check.h"
#include "jet/Compact.h"
#include "read/Database.h"
#include "read/Value.h"
#include "support/DamageLayout.h"
#include "support/Fixtures.h"
#include "support/Oracle.h"
#include "support/SampleDatabase.h"

using namespace testsupport;

namespace {

using Rows = std::vector<std::string>;

using Rng = std::mt19937;

// A table that has what want asks of it.
const Layout::Table* tableWith(const Layout& l, Rng& rng,
                               const std::function<bool(const Layout::Table&)>& want) {
    std::vector<const Layout::Table*> c;
    for (const auto& t : l.tables)
        if (want(t)) c.push_back(&t);
    const Layout::Table* const* p = pickOne(c, rng);
    return p ? *p : nullptr;
}

// A placed row of a table that has a slot in the table's own pages.
const Placed* rowOf(const Layout& l, const std::string& table, Rng& rng) {
    std::vector<Placed> c;
    for (const auto& r : l.rows)
        if (r.table == table && r.page == r.dataPage) c.push_back(r);
    static Placed chosen;
    const Placed* p = pickOne(c, rng);
    if (!p) return nullptr;
    chosen = *p;
    return &chosen;
}

// A damage: false when the file has nothing of the kind.
using Damage = std::function<bool(std::string& bytes, const Layout& l, Rng& rng)>;

struct Kind {
    const char* name;
    Damage damage;
};

std::vector<Kind> kinds();

}  // namespace

namespace {

void swapPages(std::string& b, uint32_t x, uint32_t y) {
    std::swap_ranges(pageBytes(b, x), pageBytes(b, x) + 4096, pageBytes(b, y));
}

// Another database, of other tables, whose pages are written over ours.
const std::string& donor() {
    static const std::string bytes = [] {
        TempDir dir;
        const fs::path path = dir / "donor.mdb";
        using jet::ColumnType;
        jet::BuildTable notes{"Notes",
                              {{"Serial", ColumnType::kLong},
                               {"Title", ColumnType::kText, 60},
                               {"Stamp", ColumnType::kDateTime}},
                              {}};
        auto b = jet::DatabaseBuilder::create(path.string(), {}, {notes});
        if (!b.ok()) throw std::runtime_error(b.error().description);
        for (int i = 0; i < 400; ++i) {
            if (!b.value()->addRow(0, {int64_t(i), "note " + std::to_string(i), 40000.5 + i}).ok())
                throw std::runtime_error("donor row");
        }
        if (!b.value()->finish().ok()) throw std::runtime_error("donor");
        return readFile(path);
    }();
    return bytes;
}

// The donor's data pages of its table.
const std::vector<uint32_t>& donorPages() {
    static const std::vector<uint32_t> pages = [] {
        std::vector<uint32_t> out;
        const std::string& b = donor();
        for (uint32_t p = 3; p < b.size() / 4096; ++p) {
            const jet::Page page = pageCopy(b, p);
            if (page[0] == jet::kPageData && jet::u32(page, 4) > 2) out.push_back(p);
        }
        return out;
    }();
    return pages;
}

const Layout::Table* anyTable(const Layout& l, Rng& rng) {
    return tableWith(l, rng, [](const Layout::Table& t) { return !t.dataPages.empty(); });
}

bool zeroRandomLeaf(std::string& b, const Layout& l, Rng& rng, bool scramble) {
    auto t = tableWith(l, rng, [](const Layout::Table& x) { return !x.indexLeaves.empty(); });
    if (!t) return false;
    const uint32_t* p = pickOne(*pickOne(t->indexLeaves, rng), rng);
    if (scramble) {
        for (std::size_t i = 8; i < 4096; ++i) pageBytes(b, *p)[i] = static_cast<uint8_t>(rng());
    } else {
        std::fill_n(pageBytes(b, *p), 4096, 0);
    }
    return true;
}

bool editRandomLeaf(std::string& b, const Layout& l, Rng& rng, bool uniqueOnly,
                    const std::function<void(std::vector<jet::IndexEntry>&, Rng&)>& f) {
    auto t = tableWith(l, rng, [&](const Layout::Table& x) {
        for (std::size_t i = 0; i < x.indexLeaves.size(); ++i)
            if (!uniqueOnly || x.def.realIndexes[i].unique()) return true;
        return false;
    });
    if (!t) return false;
    std::vector<std::size_t> idx;
    for (std::size_t i = 0; i < t->indexLeaves.size(); ++i)
        if (!uniqueOnly || t->def.realIndexes[i].unique()) idx.push_back(i);
    const uint32_t p = *pickOne(t->indexLeaves[*pickOne(idx, rng)], rng);
    if (jet::parseIndexPage(pageCopy(b, p), p).entries.size() < 2) return false;
    editLeaf(b, p, [&](auto& e) { f(e, rng); });
    return true;
}

bool onRow(std::string& b, const Layout& l, Rng& rng,
           const std::function<void(std::string&, const Placed&, const Layout::Table&)>& f) {
    auto t = anyTable(l, rng);
    if (!t) return false;
    const Placed* r = rowOf(l, t->def.name, rng);
    if (!r) return false;
    f(b, *r, *t);
    return true;
}

// Out-of-row long value of a placed row: the offset of its header's pointer.
std::optional<std::size_t> longValuePointer(const std::string& b, const Layout& l, const Placed& r,
                                            const Layout::Table& t) {
    (void)l;
    const jet::ByteView row(
        reinterpret_cast<const uint8_t*>(b.data()) + r.dataPage * 4096 + r.start, r.end - r.start);
    jet::RowView rv;
    if (jet::tryCrackRow(t.def, row, rv)) return std::nullopt;
    for (const auto& c : t.def.columns) {
        if (!c.isLongValue() || c.fixed() || c.varIndex >= rv.varSlots.size()) continue;
        auto [s, e] = rv.varSlots[c.varIndex];
        if (e - s < 12 || (row[s + 3] & 0xC0) == 0x80) continue;
        return static_cast<std::size_t>(r.dataPage) * 4096 + r.start + s + 4;
    }
    return std::nullopt;
}

std::vector<Kind> kinds() {
    return {
        {"index page zeroed",
         [](auto& b, auto& l, auto& g) { return zeroRandomLeaf(b, l, g, false); }},
        {"index page scrambled",
         [](auto& b, auto& l, auto& g) { return zeroRandomLeaf(b, l, g, true); }},
        {"intermediate index page damaged",
         [](std::string& b, const Layout& l, Rng& g) {
             auto t = tableWith(l, g, [](const Layout::Table& x) {
                 return std::any_of(x.indexNodes.begin(), x.indexNodes.end(),
                                    [](auto& n) { return !n.empty(); });
             });
             if (!t) return false;
             for (const auto& n : t->indexNodes) {
                 if (n.empty()) continue;
                 for (std::size_t i = 0x1E0; i < 0x1E0 + 200; ++i)
                     pageBytes(b, n.front())[i] = static_cast<uint8_t>(g());
                 return true;
             }
             return false;
         }},
        {"index entry missing",
         [](auto& b, auto& l, auto& g) {
             return editRandomLeaf(b, l, g, false, [](auto& e, Rng& r) {
                 e.erase(e.begin() + static_cast<std::ptrdiff_t>(r() % e.size()));
             });
         }},
        {"unique index entry duplicated",
         [](auto& b, auto& l, auto& g) {
             return editRandomLeaf(b, l, g, true, [](auto& e, Rng& r) {
                 const std::size_t k = 1 + r() % (e.size() - 1);
                 e[k].key = e[k - 1].key;
             });
         }},
        {"index entry pointing at a deleted row",
         [](auto& b, auto& l, auto& g) {
             return editRandomLeaf(b, l, g, false, [](auto& e, Rng& r) {
                 auto& x = e[r() % e.size()];
                 x.row.row = static_cast<uint8_t>(x.row.row + 200);
             });
         }},
        {"row offset out of the page",
         [](auto& b, auto& l, auto& g) {
             return onRow(b, l, g, [](std::string& x, const Placed& r, const Layout::Table&) {
                 jet::put16(pageBytes(x, r.page) + 14 + 2 * r.slot, 0x1FF0);
             });
         }},
        {"row garbled",
         [](auto& b, auto& l, auto& g) {
             return onRow(b, l, g, [&](std::string& x, const Placed& r, const Layout::Table&) {
                 for (uint32_t i = r.start; i < r.end; ++i)
                     pageBytes(x, r.dataPage)[i] = static_cast<uint8_t>(g());
             });
         }},
        {"duplicate primary key",
         [](std::string& b, const Layout& l, Rng& g) {
             auto t = tableWith(l, g, [](const Layout::Table& x) {
                 const jet::LogicalIndex* pk = x.def.primaryKey();
                 if (!pk) return false;
                 const auto& cols = x.def.realIndexes[pk->realIndex].columns;
                 const jet::Column* c = x.def.columnByNumber(cols.front().column);
                 return cols.size() == 1 && c->fixed() && !c->isBool();
             });
             if (!t) return false;
             std::vector<Placed> rows;
             for (const auto& r : l.rows)
                 if (r.table == t->def.name) rows.push_back(r);
             if (rows.size() < 2) return false;
             const jet::Column* c = t->def.columnByNumber(
                 t->def.realIndexes[t->def.primaryKey()->realIndex].columns.front().column);
             const Placed& a = *pickOne(rows, g);
             const Placed& z = *pickOne(rows, g);
             if (&a == &z || a.canonical == z.canonical) return false;
             std::copy_n(pageBytes(b, a.dataPage) + a.start + 2 + c->fixedOffset, c->length,
                         pageBytes(b, z.dataPage) + z.start + 2 + c->fixedOffset);
             return true;
         }},
        {"overflow pointer dangling",
         [](std::string& b, const Layout& l, Rng& g) {
             std::vector<Placed> c;
             for (const auto& r : l.rows)
                 if (r.page != r.dataPage) c.push_back(r);
             const Placed* r = pickOne(c, g);
             if (!r) return false;
             const jet::Slot s = jet::parseDataPage(pageCopy(b, r->page), r->page).slots[r->slot];
             jet::put32(pageBytes(b, r->page) + s.start, jet::RowPtr{0xFFFF0, 3}.toU32());
             return true;
         }},
        {"long-value pointer broken",
         [](std::string& b, const Layout& l, Rng& g) {
             for (int tries = 0; tries < 50; ++tries) {
                 auto t = anyTable(l, g);
                 const Placed* r = t ? rowOf(l, t->def.name, g) : nullptr;
                 if (!r) continue;
                 auto off = longValuePointer(b, l, *r, *t);
                 if (!off) continue;
                 jet::put32(reinterpret_cast<uint8_t*>(b.data()) + *off, t->def.firstPage << 8);
                 return true;
             }
             return false;
         }},
        {"long-value page zeroed",
         [](std::string& b, const Layout& l, Rng& g) {
             auto t = tableWith(l, g, [](const Layout::Table& x) { return !x.lvPages.empty(); });
             if (!t) return false;
             std::fill_n(pageBytes(b, *pickOne(t->lvPages, g)), 4096, 0);
             return true;
         }},
        {"data page zeroed",
         [](std::string& b, const Layout& l, Rng& g) {
             auto t = anyTable(l, g);
             if (!t) return false;
             std::fill_n(pageBytes(b, *pickOne(t->dataPages, g)), 4096, 0);
             return true;
         }},
        {"data page torn (a sector zeroed)",
         [](std::string& b, const Layout& l, Rng& g) {
             auto t = anyTable(l, g);
             if (!t) return false;
             std::fill_n(pageBytes(b, *pickOne(t->dataPages, g)) + 512 * (g() % 8), 512, 0);
             return true;
         }},
        {"owner field: one bit flipped",
         [](std::string& b, const Layout& l, Rng& g) {
             auto t = anyTable(l, g);
             if (!t) return false;
             const uint32_t p = *pickOne(t->dataPages, g);
             pageBytes(b, p)[4 + g() % 3] ^= static_cast<uint8_t>(1u << (g() % 8));
             return true;
         }},
        {"usage-map page zeroed",
         [](std::string& b, const Layout& l, Rng& g) {
             const uint32_t* p = pickOne(l.mapPages, g);
             if (!p) return false;
             std::fill_n(pageBytes(b, *p), 4096, 0);
             return true;
         }},
        {"usage-map bit cleared",
         [](std::string& b, const Layout& l, Rng& g) {
             auto t = anyTable(l, g);
             if (!t) return false;
             const jet::RowPtr m = t->def.ownedMap;
             const jet::Slot s = jet::parseDataPage(pageCopy(b, m.page), m.page).slots[m.row];
             uint8_t* row = pageBytes(b, m.page) + s.start;
             if (row[0] != 0) return false;  // a reference map
             const uint32_t start = jet::u32(jet::ByteView(row, 5), 1);
             const uint32_t bit = *pickOne(t->dataPages, g) - start;
             row[5 + bit / 8] = static_cast<uint8_t>(row[5 + bit / 8] & ~(1u << (bit % 8)));
             return true;
         }},
        {"stale row count",
         [](std::string& b, const Layout& l, Rng& g) {
             auto t = anyTable(l, g);
             if (!t) return false;
             uint8_t* d = pageBytes(b, t->def.firstPage) + jet::kTdefRowCount;
             jet::put32(d, jet::u32(jet::ByteView(d, 4), 0) + 1 + static_cast<uint32_t>(g() % 9));
             return true;
         }},
        {"table definition zeroed",
         [](std::string& b, const Layout& l, Rng& g) {
             auto t = anyTable(l, g);
             if (!t) return false;
             std::fill_n(pageBytes(b, t->def.firstPage), 4096, 0);
             return true;
         }},
        {"catalogue page zeroed",
         [](std::string& b, const Layout& l, Rng& g) {
             const uint32_t* p = pickOne(l.cataloguePages, g);
             if (!p) return false;
             std::fill_n(pageBytes(b, *p), 4096, 0);
             return true;
         }},
        {"header: first sector zeroed",
         [](std::string& b, const Layout&, Rng&) {
             std::fill_n(b.begin(), 512, '\0');
             return true;
         }},
        {"last tenth cut off",
         [](std::string& b, const Layout&, Rng&) {
             b.resize(b.size() - b.size() / 10);
             return true;
         }},
        {"data pages of two tables swapped",
         [](std::string& b, const Layout& l, Rng& g) {
             const Layout::Table* x = anyTable(l, g);
             const Layout::Table* y = anyTable(l, g);
             if (!x || !y || x == y) return false;
             swapPages(b, *pickOne(x->dataPages, g), *pickOne(y->dataPages, g));
             return true;
         }},
        {"two data pages of one table swapped",
         [](std::string& b, const Layout& l, Rng& g) {
             auto t =
                 tableWith(l, g, [](const Layout::Table& x) { return x.dataPages.size() > 1; });
             if (!t) return false;
             const uint32_t p = *pickOne(t->dataPages, g), q = *pickOne(t->dataPages, g);
             if (p == q) return false;
             swapPages(b, p, q);
             return true;
         }},
        {"a page of another database written over a data page",
         [](std::string& b, const Layout& l, Rng& g) {
             auto t = anyTable(l, g);
             if (!t) return false;
             const std::string& other = donor();
             const uint32_t from = *pickOne(donorPages(), g);
             std::copy_n(other.begin() + static_cast<std::ptrdiff_t>(from) * 4096, 4096,
                         pageBytes(b, *pickOne(t->dataPages, g)));
             return true;
         }},
        {"slot count far too large",
         [](std::string& b, const Layout& l, Rng& g) {
             auto t = anyTable(l, g);
             if (!t) return false;
             const uint16_t counts[] = {200, 255, 0x0400, 0x1FFF, 0xFFFF};
             jet::put16(pageBytes(b, *pickOne(t->dataPages, g)) + 12, counts[g() % 5]);
             return true;
         }},
        {"a live row flagged deleted (a delete cut short)",
         [](auto& b, auto& l, auto& g) {
             return onRow(b, l, g, [](std::string& x, const Placed& r, const Layout::Table&) {
                 uint8_t* slot = pageBytes(x, r.page) + 14 + 2 * r.slot;
                 jet::put16(slot,
                            static_cast<uint16_t>(jet::u16(jet::ByteView(slot, 2), 0) | 0x8000));
             });
         }},
    };
}

}  // namespace

namespace {

struct Tally {
    int files = 0, repairFailed = 0, checkFailed = 0;
    uint64_t readable = 0, ours = 0, mdb = 0, silent = 0;
    uint64_t misplaced = 0;   // rows in a table they do not belong to, or there twice
    uint64_t miscounted = 0;  // tables whose report does not match their rows
};

// Whether every field of row appears in some row of rows (a row kept with
// a value set to null).
bool narrowerThanOneOf(const std::string& row, const Rows& rows) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t i; (i = row.find('\x1f', start)) != std::string::npos; start = i + 1)
        fields.push_back(row.substr(start, i - start + 1));
    return std::any_of(rows.begin(), rows.end(), [&](const std::string& o) {
        return std::all_of(fields.begin(), fields.end(),
                           [&](const std::string& f) { return o.find(f) != std::string::npos; });
    });
}

// Row by row, table by table: each row of the copy is one of its table's
// original rows (or one with values set to null), once; and the report's
// counts are what the copy holds. Where the original's count of rows was
// right, the rows missing are exactly those dropped or changed.
void judgeTables(const fs::path& copy, const std::string& pw, const Layout& l,
                 const jet::RepairSummary& summary, Tally& t) {
    std::map<std::string, Rows> original;
    for (const auto& r : l.rows) original[r.table].push_back(r.canonical);
    for (auto& [name, rows] : original) {
        std::sort(rows.begin(), rows.end());
        std::string error;
        const Rows got = ourRows(copy.string(), pw, name, error);
        Rows extra, missing;
        std::set_difference(got.begin(), got.end(), rows.begin(), rows.end(),
                            std::back_inserter(extra));
        std::set_difference(rows.begin(), rows.end(), got.begin(), got.end(),
                            std::back_inserter(missing));
        uint64_t narrower = 0;
        for (const auto& e : extra) {
            if (narrowerThanOneOf(e, rows)) {
                ++narrower;
                continue;
            }
            ++t.misplaced;
            ADD_FAILURE() << "table '" << name
                          << "' holds a row that is not its own: " << e.substr(0, 200);
        }
        const jet::TableRepair* said = nullptr;
        for (const auto& r : summary.tables)
            if (r.table == name) said = &r;
        if (!said) {
            if (!missing.empty() && !extra.empty()) ++t.miscounted;
            continue;
        }
        const Layout::Table* def = nullptr;
        for (const auto& x : l.tables)
            if (x.def.name == name) def = &x;
        const bool countRight = def && def->def.rowCount == rows.size();
        const bool exact =
            said->rowsKept == got.size() && said->rowsChanged == narrower &&
            (!countRight || said->lost || said->rowsDropped + said->rowsChanged == missing.size());
        if (!exact) {
            ++t.miscounted;
            ADD_FAILURE() << "table '" << name << "': the report says " << said->rowsKept
                          << " kept, " << said->rowsDropped << " dropped, " << said->rowsChanged
                          << " changed; the copy holds " << got.size() << " (" << narrower
                          << " changed) and lacks " << missing.size() << " of the " << rows.size();
        }
    }
}

void measure(const fs::path& dir, const std::string& original, const std::string& damaged,
             const std::string& pw, const Layout& l, Tally& t) {
    ++t.files;
    const fs::path src = dir / "damaged.mdb", copy = dir / "copy.mdb";
    writeFile(src, damaged);
    fs::remove(copy);
    Rows readable;
    std::vector<const Placed*> readablePlaced;
    std::set<std::string> tables;
    for (const auto& r : l.rows) {
        tables.insert(r.table);
        if (intact(r, l, original, damaged)) {
            readable.push_back(r.canonical);
            readablePlaced.push_back(&r);
        }
    }
    t.readable += readable.size();
    const Rows mdb = mdbRowsWithin(src, tables);
    t.mdb += matched(readable, mdb);
    jet::CompactRequest req{src.string(), pw, copy.string(), pw, true};
    auto r = jet::compactFile(req);
    EXPECT_EQ(readFile(src), damaged) << "the source was written";
    if (!r.ok()) {
        ++t.repairFailed;
        ADD_FAILURE() << "repair failed: " << r.error().description;
        return;
    }
    auto checked = jet::checkFile(copy.string(), pw);
    if (!checked.ok() || !checked->ok()) ++t.checkFailed;
    Rows ours;
    for (const auto& name : mdbTables(copy.string())) {
        std::string error;
        const Rows rows = ourRows(copy.string(), pw, name, error);
        ours.insert(ours.end(), rows.begin(), rows.end());
    }
    judgeTables(copy, pw, l, r->repair, t);
    std::string error, log;
    for (const auto& e : ourRows(copy.string(), pw, "MSysCompactError", error)) log += e;
    const uint64_t back = matched(readable, ours);
    t.ours += back;
    // A readable row that did not come back must be in the log: by where it
    // was, or with its table's pages lost.
    if (back < readable.size()) {
        uint64_t unlogged = 0;
        const std::set<std::string> cameBack(ours.begin(), ours.end());
        for (const Placed* p : readablePlaced) {
            if (cameBack.count(p->canonical) != 0) continue;
            const std::string here = "table '" + p->table + "', page " + std::to_string(p->page) +
                                     ", row " + std::to_string(p->slot) + ")";
            const std::string pages = "table '" + p->table + "', page ";
            if (log.find(here) == std::string::npos &&
                log.find("Rows lost (" + pages) == std::string::npos &&
                log.find("Rows missing (" + pages) == std::string::npos &&
                log.find("Table lost (table '" + p->table + "'") == std::string::npos) {
                ++unlogged;
                ADD_FAILURE() << "not back and not in the log: " << here;
            }
        }
        t.silent += std::min<uint64_t>(unlogged, readable.size() - back);
    }
}

}  // namespace

TEST(RepairSweep, ReadableRowsComeBackAndNoneIsLostUnlogged) {
    SKIP_WITHOUT_MDBTOOLS();
    const bool full = std::getenv("QW_SWEEP") && std::string(std::getenv("QW_SWEEP")) == "full";
    TempDir dir;
    std::vector<std::pair<std::string, std::string>> files;  // name, password
    if (!fixturesDir().empty()) {
        if (full) {
            for (const auto& f : jet4Fixtures())
                files.emplace_back(f.string(), fixturePassword(f.filename().string()));
        } else {
            for (const char* n : {"composite-index-512-rows-2000.mdb", "overflow-rows-2000.mdb"})
                files.emplace_back((fixturesDir() / "jet4" / n).string(), "");
        }
    }
    SampleOptions o;
    o.rows = full ? 600 : 150;
    buildSampleDatabase((dir / "built.mdb").string(), o);
    files.emplace_back((dir / "built.mdb").string(), "");
    const int trials = full ? 3 : 1;
    const std::vector<Kind> all = kinds();
    std::vector<Tally> tally(all.size());
    for (const auto& [file, pw] : files) {
        SCOPED_TRACE(file);
        // The damage is made on the file's bytes as stored: encoded pages
        // (made unreadable by any change) are left to the damage tests.
        if (jet::Database::open(jet::Env::standard(), file, pw)->header().databaseKey != 0)
            continue;
        const std::string original = readFile(file);
        const Layout layout = layoutOf(file, pw);
        const char* only = std::getenv("QW_SWEEP_KIND");  // a part of one kind's name
        for (std::size_t k = 0; k < all.size(); ++k) {
            SCOPED_TRACE(all[k].name);
            if (only && std::string(all[k].name).find(only) == std::string::npos) continue;
            for (int trial = 0; trial < trials; ++trial) {
                Rng rng(static_cast<uint32_t>(k * 7919 + static_cast<std::size_t>(trial) * 104729 +
                                              file.size()));
                std::string damaged = original;
                if (!all[k].damage(damaged, layout, rng) || damaged == original) continue;
                measure(dir.path(), original, damaged, pw, layout, tally[k]);
            }
        }
    }
    std::cout << "| damage | files | readable rows | ours | mdbtools | lost unlogged | copies "
                 "failing check | rows misplaced | reports miscounted |\n"
                 "|---|---|---|---|---|---|---|---|---|\n";
    for (std::size_t k = 0; k < all.size(); ++k) {
        const Tally& t = tally[k];
        std::cout << "| " << all[k].name << " | " << t.files << " | " << t.readable << " | "
                  << percent(t.ours, t.readable) << " | " << percent(t.mdb, t.readable) << " | "
                  << t.silent << " | " << t.checkFailed << " | " << t.misplaced << " | "
                  << t.miscounted << " |\n";
        EXPECT_EQ(t.silent, 0u) << all[k].name;
        EXPECT_EQ(t.misplaced, 0u) << all[k].name;
        EXPECT_EQ(t.miscounted, 0u) << all[k].name;
        EXPECT_EQ(t.checkFailed, 0) << all[k].name;
        EXPECT_EQ(t.repairFailed, 0) << all[k].name;
        if (t.readable > 0) {
            EXPECT_GE(static_cast<double>(t.ours), 0.99 * static_cast<double>(t.readable))
                << all[k].name;
        }
    }
}
