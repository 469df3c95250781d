#include "support/DamageLayout.h"

#include <algorithm>
#include <iomanip>
#include <sstream>

#include "format/DataPage.h"
#include "format/IndexPage.h"
#include "format/LongValue.h"
#include "format/Rc4.h"
#include "format/Row.h"
#include "format/Text.h"
#include "format/UsageMap.h"
#include "jet/Check.h"
#include "read/Database.h"
#include "read/Value.h"
#include "support/EngineReads.h"
#include "support/Oracle.h"

namespace testsupport {

uint8_t* pageBytes(std::string& file, uint32_t p) {
    return reinterpret_cast<uint8_t*>(file.data()) + static_cast<std::size_t>(p) * 4096;
}

jet::Page pageCopy(const std::string& file, uint32_t p) {
    jet::Page out{};
    std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(p) * 4096, 4096, out.begin());
    return out;
}

void editLeaf(std::string& file, uint32_t p,
              const std::function<void(std::vector<jet::IndexEntry>&)>& edit) {
    const jet::IndexPage ip = jet::parseIndexPage(pageCopy(file, p), p);
    std::vector<jet::IndexEntry> entries = ip.entries;
    edit(entries);
    std::vector<const jet::IndexEntry*> ptrs;
    for (const auto& e : entries) ptrs.push_back(&e);
    const jet::Page out = jet::buildIndexPage(ip.type, ip.owner, ip.prev, ip.next, ip.tail, ptrs);
    std::copy(out.begin(), out.end(), pageBytes(file, p));
}

namespace {

std::vector<uint32_t> mapOf(jet::PageFile& f, jet::RowPtr at) {
    if (at.isNull()) return {};
    try {
        return jet::readUsageMap(f, at, "map").pages;
    } catch (const jet::JetException&) {
        return {};
    }
}

// The pages a row's long values lie on.
std::vector<uint32_t> longValuePages(jet::Database& db, const jet::TableDef& def, jet::ByteView row,
                                     jet::RowPtr at) {
    std::vector<uint32_t> pages;
    jet::RowView rv;
    if (jet::tryCrackRow(def, row, rv)) return pages;
    for (const auto& c : def.columns) {
        if (!c.isLongValue() || c.fixed() || c.varIndex >= rv.varSlots.size()) continue;
        auto [s, e] = rv.varSlots[c.varIndex];
        if (static_cast<std::size_t>(e - s) < jet::kLongValueHeaderSize) continue;
        try {
            (void)jet::readLongValue(db.file(), row.subspan(s, e - s), at.page, at.row,
                                     [&](jet::RowPtr p) { pages.push_back(p.page); });
        } catch (const jet::JetException&) {
        }
    }
    return pages;
}

void placeRows(jet::Database& db, const Layout::Table& t, Layout& out) {
    std::ostringstream dump;
    jet::dumpTable(db, t.def, dump);
    std::istringstream lines(dump.str());
    struct Found {
        jet::RowLocation at;
        std::vector<uint32_t> lv;
    };
    std::vector<Found> found;
    db.scanRows(t.def, [&](const jet::RowLocation& l, jet::ByteView b) {
        found.push_back({l, longValuePages(db, t.def, b, l.data)});
    });
    std::string line;
    for (std::size_t i = 0; std::getline(lines, line) && i < found.size(); ++i) {
        if (line.empty() || line[0] == '#') {
            --i;
            continue;
        }
        const std::vector<std::string> c = canonicalRows(line);
        auto extent = [&](jet::RowPtr r) {
            const auto p = db.file().page(r.page);
            return jet::parseDataPage(*p, r.page).slots[r.row];
        };
        const jet::RowLocation& at = found[i].at;
        const jet::Slot s = extent(at.data), stub = extent(at.slot);
        out.rows.push_back({t.def.name, c.empty() ? "" : c.front(), at.slot.page, at.slot.row,
                            at.data.page, s.start, s.end, stub.start, stub.end, found[i].lv});
    }
}

// Where the catalogue keeps each user table's row, by the table's name.
void placeCatalogueRows(jet::Database& db, const jet::TableDef& catalogue, Layout& out) {
    const jet::Column* name = catalogue.columnByName("Name");
    const jet::Column* type = catalogue.columnByName("Type");
    db.scanRows(catalogue, [&](const jet::RowLocation& l, jet::ByteView b) {
        const jet::RowView rv = jet::crackRow(catalogue, b, l.data.page, l.data.row);
        const auto n = jet::columnBytes(catalogue, *name, rv, l.data.page, l.data.row);
        const auto t = jet::columnBytes(catalogue, *type, rv, l.data.page, l.data.row);
        if (!n || !t || t->size() < 2 || jet::u16(*t, 0) != 1) return;
        const auto p = db.file().page(l.data.page);
        const jet::Slot s = jet::parseDataPage(*p, l.data.page).slots[l.data.row];
        const auto q = db.file().page(l.slot.page);
        const jet::Slot stub = jet::parseDataPage(*q, l.slot.page).slots[l.slot.row];
        out.catalogueRows[jet::utf16ToUtf8(jet::decodeText(*n))] =
            Placed{"MSysObjects", "", l.slot.page, l.slot.row, l.data.page, s.start, s.end,
                   stub.start, stub.end, {}};
    });
}

Layout::Table tableOf(jet::Database& db, const jet::TableDef& def) {
    Layout::Table t;
    t.def = def;
    t.dataPages = mapOf(db.file(), def.ownedMap);
    for (const auto& m : def.longValueMaps) {
        auto p = mapOf(db.file(), m.owned);
        t.lvPages.insert(t.lvPages.end(), p.begin(), p.end());
    }
    for (const auto& ri : def.realIndexes) {
        const jet::IndexTree tree =
            jet::readIndexTree(db.file(), ri.rootPage, def.firstPage, "index");
        t.indexLeaves.push_back(tree.levels.back());
        std::vector<uint32_t> nodes;
        for (std::size_t l = 0; l + 1 < tree.levels.size(); ++l)
            nodes.insert(nodes.end(), tree.levels[l].begin(), tree.levels[l].end());
        t.indexNodes.push_back(nodes);
    }
    return t;
}

}  // namespace

Layout layoutOf(const fs::path& file, const std::string& pw) {
    Layout out;
    auto db = jet::Database::open(jet::Env::standard(), file.string(), pw);
    out.pages = db->file().pageCount();
    out.databaseKey = db->header().databaseKey;
    for (const auto& e : db->localTables()) {
        const jet::TableDef& def = db->tableDef(e.tdefPage(), e.name);
        auto holders = [&](jet::RowPtr r) {
            if (!r.isNull()) out.mapPages.push_back(r.page);
        };
        holders(def.ownedMap);
        if (e.tdefPage() == jet::kCatalogPage) out.cataloguePages = mapOf(db->file(), def.ownedMap);
        Layout::Table t = tableOf(*db, def);
        if (e.tdefPage() == jet::kCatalogPage) placeCatalogueRows(*db, def, out);
        if (e.isSystem()) {
            t.system = true;
            uint64_t& live = out.systemRows[def.name];
            db->scanRows(def, [&](const jet::RowLocation&, jet::ByteView) { ++live; });
            out.systemTables.push_back(std::move(t));
            continue;
        }
        placeRows(*db, t, out);
        out.tables.push_back(std::move(t));
    }
    std::sort(out.mapPages.begin(), out.mapPages.end());
    out.mapPages.erase(std::unique(out.mapPages.begin(), out.mapPages.end()), out.mapPages.end());
    return out;
}

bool intact(const Placed& r, const Layout& l, const std::string& before, const std::string& after,
            bool longValues, bool wholeHeader) {
    auto same = [&](std::size_t from, std::size_t n) {
        return from + n <= after.size() - after.size() % 4096 &&
               std::equal(before.begin() + static_cast<std::ptrdiff_t>(from),
                          before.begin() + static_cast<std::ptrdiff_t>(from + n),
                          after.begin() + static_cast<std::ptrdiff_t>(from));
    };
    const std::size_t slotPage = static_cast<std::size_t>(r.page) * 4096;
    const std::size_t dataPage = static_cast<std::size_t>(r.dataPage) * 4096;
    for (const auto& t : l.tables) {
        if (t.def.name != r.table) continue;
        // The definition, but for the row count it keeps.
        for (uint32_t p : t.def.pages) {
            const std::size_t def = static_cast<std::size_t>(p) * 4096;
            if (p == t.def.firstPage
                    ? !same(def, jet::kTdefRowCount) ||
                          !same(def + jet::kTdefRowCount + 4, 4096 - jet::kTdefRowCount - 4)
                    : !same(def, 4096))
                return false;
        }
    }
    if (longValues) {
        for (uint32_t p : r.lvPages) {
            if (!same(static_cast<std::size_t>(p) * 4096, 4096)) return false;
        }
    }
    const std::size_t header = wholeHeader ? 0 : 12;
    return same(dataPage + r.start, r.end - r.start) && same(dataPage + header, 14 - header) &&
           same(slotPage + header, 14 - header) && same(slotPage + 14 + 2 * r.slot, 2) &&
           same(slotPage + r.stubStart, r.stubEnd - r.stubStart);
}

uint64_t matched(std::vector<std::string> want, std::vector<std::string> got) {
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    std::vector<std::string> restWant, restGot;
    std::set_difference(want.begin(), want.end(), got.begin(), got.end(),
                        std::back_inserter(restWant));
    std::set_difference(got.begin(), got.end(), want.begin(), want.end(),
                        std::back_inserter(restGot));
    uint64_t n = want.size() - restWant.size();
    for (const auto& g : restGot) {
        for (auto it = restWant.begin(); it != restWant.end(); ++it) {
            std::size_t start = 0;
            bool all = true;
            for (std::size_t i; all && (i = g.find('\x1f', start)) != std::string::npos;
                 start = i + 1)
                all = it->find(g.substr(start, i - start + 1)) != std::string::npos;
            if (all) {
                ++n;
                restWant.erase(it);
                break;
            }
        }
    }
    return n;
}

std::vector<std::string> mdbRowsWithin(const fs::path& file, const std::string& table) {
    std::string out;
    runCommand("timeout 30 mdb-json -T '%Y-%m-%d %H:%M:%S' " + shellQuote(file.string()) + " " +
                   shellQuote(table) + " 2>/dev/null",
               out);
    return canonicalRows(out);
}

std::string decodedPages(std::string bytes, uint32_t key) {
    if (key == 0) return bytes;
    for (std::size_t p = 1; (p + 1) * 4096 <= bytes.size(); ++p) {
        jet::rc4Page(key, static_cast<uint32_t>(p),
                     reinterpret_cast<uint8_t*>(bytes.data()) + p * 4096, 4096);
    }
    return bytes;
}

std::string encodedPages(std::string bytes, uint32_t key) {
    return decodedPages(std::move(bytes), key);
}

std::vector<std::string> mdbRowsWithin(const fs::path& file, const std::set<std::string>& tables) {
    std::vector<std::string> out;
    for (const auto& name : tables) {
        const std::vector<std::string> r = mdbRowsWithin(file, name);
        out.insert(out.end(), r.begin(), r.end());
    }
    return out;
}

std::string percent(uint64_t part, uint64_t whole) {
    if (whole == 0) return "-";
    std::ostringstream s;
    s << std::fixed << std::setprecision(1)
      << 100.0 * static_cast<double>(part) / static_cast<double>(whole) << "%";
    return s.str();
}

}  // namespace testsupport
