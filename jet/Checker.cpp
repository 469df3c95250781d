#include "jet/Checker.h"

#include <algorithm>
#include <map>
#include <set>

#include "jet/DataPage.h"
#include "jet/Database.h"
#include "jet/IndexPage.h"
#include "jet/KeyEncoding.h"
#include "jet/LongValue.h"
#include "jet/Row.h"
#include "jet/UsageMap.h"
#include "jet/Value.h"

namespace jet {

namespace {

class Checker {
  public:
    Checker(Database& db, const CheckOptions& options) : db_(db), options_(options) {}

    CheckReport run() {
        report_.pageCount = db_.file().pageCount();
        live_ = {0, 1, kCatalogPage};
        attempt("page 1", [&] { checkPageOne(); });
        std::vector<CatalogEntry> tables;
        attempt("catalogue", [&] { tables = db_.localTables(); });
        std::set<uint32_t> defPages;
        for (const auto& t : tables) {
            if (!defPages.insert(t.tdefPage()).second) {
                problem("catalogue: table '" + t.name + "' shares definition page " +
                        std::to_string(t.tdefPage()) + " with another table");
                continue;
            }
            attempt("table '" + t.name + "'", [&] { checkTable(t); });
        }
        for (uint32_t p : live_) {
            if (p < report_.pageCount) ++report_.reachablePages;
        }
        return std::move(report_);
    }

  private:
    void problem(std::string s) { report_.problems.push_back(std::move(s)); }
    void note(std::string s) { report_.notes.push_back(std::move(s)); }

    template <typename F>
    void attempt(const std::string& where, F&& f) {
        try {
            f();
        } catch (const JetException& e) {
            problem(where + ": " + e.error().description);
        } catch (const std::bad_alloc&) {
            problem(where + ": not enough memory to check it");
        }
    }

    void checkPageOne() {
        auto p = db_.file().page(1);
        DataPage dp = parseDataPage(*p, 1);
        if (dp.slots.empty() || dp.slots[0].deleted) {
            problem("page 1: the global usage map row is missing");
            return;
        }
        readUsageMap(db_.file(), {1, 0}, "global usage map", true);
    }

    void markMap(const UsageMap& m) {
        for (uint32_t p : m.holderPages) live_.insert(p);
    }

    void checkTable(const CatalogEntry& entry) {
        const TableDef& def = db_.tableDef(entry.tdefPage(), entry.name);
        for (uint32_t p : def.pages) live_.insert(p);
        TableSummary summary;
        summary.name = entry.name;
        summary.definitionPage = def.firstPage;
        summary.system = entry.isSystem();
        summary.indexes = static_cast<uint32_t>(def.realIndexes.size());
        const std::string where = "table '" + def.name + "'";

        // Owned and free-space maps.
        std::vector<uint32_t> skipped;
        std::vector<uint32_t> pages;
        if (def.ownedMap.isNull()) {
            problem(where + ": no owned-pages usage map");
        } else {
            markMap(readUsageMap(db_.file(), def.ownedMap, (where + " owned pages").c_str()));
            pages = db_.dataPages(def, &skipped);
        }
        for (uint32_t p : skipped) {
            note(where + ": owned-pages map lists page " + std::to_string(p) +
                 ", which is not one of its data pages");
        }
        std::set<uint32_t> owned(pages.begin(), pages.end());
        if (!def.freeMap.isNull()) {
            UsageMap fm =
                readUsageMap(db_.file(), def.freeMap, (where + " free-space pages").c_str());
            markMap(fm);
        }
        for (uint32_t p : pages) live_.insert(p);

        // Rows and long values.
        std::vector<uint32_t> liveSlots;
        std::map<uint16_t, std::set<uint32_t>> lvPagesUsed;
        TableDigest& digest = report_.digests[def.firstPage];
        lastLv_ = {0xFFFF, 0};
        uint64_t rows = 0;
        for (uint32_t p : pages) {
            auto page = db_.file().page(p);
            DataPage dp = parseDataPage(*page, p);
            uint64_t used = kDataHeaderSize + 2 * dp.slots.size();
            for (std::size_t i = 0; i < dp.slots.size(); ++i) {
                const Slot& s = dp.slots[i];
                used += s.length();
                if (s.deleted || s.overflow) report_.deadRowBytes += s.length();
                if (s.deleted) continue;
                RowPtr slot{p, static_cast<uint8_t>(i)};
                attempt(where, [&] {
                    std::shared_ptr<const Page> holder;
                    RowPtr at;
                    ByteView b = db_.fetchRow(def, slot, holder, &at);
                    if (at != slot) live_.insert(at.page);
                    checkRow(def, b, at, lvPagesUsed, digest);
                    liveSlots.push_back(slot.toU32());
                    ++rows;
                });
            }
            if (used <= kPageSize) report_.freeBytesOnPages += kPageSize - used;
        }
        summary.rows = rows;
        if (def.rowCount != rows) {
            note(where + ": definition says " + std::to_string(def.rowCount) +
                 " rows, the table holds " + std::to_string(rows) + " (page " +
                 std::to_string(def.firstPage) + ")");
        }

        // Long-value column maps.
        for (const auto& m : def.longValueMaps) {
            std::set<uint32_t> listed;
            if (!m.owned.isNull()) {
                UsageMap um =
                    readUsageMap(db_.file(), m.owned, (where + " long-value pages").c_str());
                markMap(um);
                listed.insert(um.pages.begin(), um.pages.end());
            }
            if (!m.free.isNull()) {
                markMap(
                    readUsageMap(db_.file(), m.free, (where + " long-value free pages").c_str()));
            }
            for (uint32_t p : lvPagesUsed[m.column]) {
                if (!listed.count(p)) {
                    problem(where + ": long-value page " + std::to_string(p) + " of column " +
                            std::to_string(m.column) + " is missing from the column's usage map");
                }
            }
        }

        for (std::size_t i = 0; i < def.realIndexes.size(); ++i) {
            if (i == 0) std::sort(liveSlots.begin(), liveSlots.end());
            attempt(where + ", index " + std::to_string(i),
                    [&] { checkIndex(def, def.realIndexes[i], i, liveSlots); });
        }
        report_.tables.push_back(summary);
    }

    // Every value decodes within bounds; long values are read whole. The
    // same pass adds the row to the table's digest.
    void checkRow(const TableDef& def, ByteView bytes, RowPtr at,
                  std::map<uint16_t, std::set<uint32_t>>& lvPagesUsed, TableDigest& digest) {
        RowView rv = crackRow(def, bytes, at.page, at.row);
        digest.add(rowDigest(def, rv, at.page, at.row, [&](const Column& c, ByteView slot) {
            auto& used = lvPagesUsed[c.number];
            return readLongValue(db_.file(), slot, at.page, at.row, [&](RowPtr lv) {
                if (lastLv_ != std::make_pair(c.number, lv.page)) {
                    live_.insert(lv.page);
                    used.insert(lv.page);
                    lastLv_ = {c.number, lv.page};
                }
            });
        }));
        for (const auto& c : def.columns) {
            if (c.isBool() || c.isLongValue()) continue;
            auto b = columnBytes(def, c, rv, at.page, at.row);
            if (b && c.fixed() && b->size() != c.length) {
                failDamage(
                    "table '" + def.name + "', column '" + c.name + "': value of the wrong size",
                    at.page, at.row);
            }
        }
    }

    void checkIndex(const TableDef& def, const RealIndex& idx, std::size_t number,
                    const std::vector<uint32_t>& liveSlots) {
        const std::string where = "table '" + def.name + "', index " + std::to_string(number);
        if (!idx.usageMap.isNull()) {
            UsageMap m = readUsageMap(db_.file(), idx.usageMap, (where + " pages").c_str());
            markMap(m);
        }
        IndexTree tree = readIndexTree(db_.file(), idx.rootPage, def.firstPage, where);
        for (uint32_t p : tree.pages) live_.insert(p);
        checkSiblings(tree, where);

        const auto shape = keyShape(def, idx);

        // Order: by key bytes, then row pointer; no entry twice.
        for (std::size_t i = 1; i < tree.entries.size(); ++i) {
            const auto& a = tree.entries[i - 1];
            const auto& b = tree.entries[i];
            int c = compareKeys(a.key, b.key);
            if (c > 0 || (c == 0 && !(a.row < b.row))) {
                problem(where + ": entries out of order at entry " + std::to_string(i));
                break;
            }
            // A unique index may hold a key more than once when part of it is null.
            if (c == 0 && idx.unique() && !keyHasNullPart(a.key, shape).value_or(true)) {
                problem(where + ": unique index holds a key twice at entry " + std::to_string(i));
            }
        }
        // Entries in the order of the rows they point to, so that their rows
        // are read page after page rather than jumping about.
        std::vector<const IndexEntry*> byRow;
        byRow.reserve(tree.entries.size());
        for (const auto& e : tree.entries) byRow.push_back(&e);
        std::sort(byRow.begin(), byRow.end(),
                  [](const IndexEntry* a, const IndexEntry* b) { return a->row < b->row; });
        std::vector<uint32_t> pointed;
        pointed.reserve(tree.entries.size());
        for (const IndexEntry* e : byRow) {
            if (!std::binary_search(liveSlots.begin(), liveSlots.end(), e->row.toU32())) {
                problem(where + ": entry points to page " + std::to_string(e->row.page) + " row " +
                        std::to_string(e->row.row) + ", which is not a live row");
                continue;
            }
            pointed.push_back(e->row.toU32());
            if (options_.keysOfEveryTable || def.tableType == 'S')
                checkKey(def, idx, shape, *e, where);
        }
        std::sort(pointed.begin(), pointed.end());
        for (std::size_t i = 1; i < pointed.size(); ++i) {
            if (pointed[i] == pointed[i - 1]) {
                RowPtr r = RowPtr::fromU32(pointed[i]);
                problem(where + ": two entries point to page " + std::to_string(r.page) + " row " +
                        std::to_string(r.row));
            }
        }
        for (uint32_t slot : liveSlots) {
            if (std::binary_search(pointed.begin(), pointed.end(), slot)) continue;
            RowPtr r = RowPtr::fromU32(slot);
            if (idx.ignoreNulls() && keyHasNull(def, idx, r)) continue;
            problem(where + ": row at page " + std::to_string(r.page) + " row " +
                    std::to_string(r.row) + " is missing from the index");
        }
    }

    bool keyHasNull(const TableDef& def, const RealIndex& idx, RowPtr slot) {
        std::shared_ptr<const Page> holder;
        RowPtr at;
        ByteView b = db_.fetchRow(def, slot, holder, &at);
        RowView rv = crackRow(def, b, at.page, at.row);
        for (const auto& ic : idx.columns) {
            const Column* c = def.columnByNumber(ic.column);
            if (!columnBytes(def, *c, rv, at.page, at.row)) return true;
        }
        return false;
    }

    void checkKey(const TableDef& def, const RealIndex& idx,
                  const std::vector<std::pair<uint8_t, bool>>& shape, const IndexEntry& e,
                  const std::string& where) {
        auto parts = splitKey(e.key, shape);
        if (!parts) {
            bool walkable = std::all_of(shape.begin(), shape.end(), [](const auto& s) {
                auto t = static_cast<ColumnType>(s.first);
                return keyEncodable(s.first) || t == ColumnType::kText || t == ColumnType::kMemo ||
                       t == ColumnType::kNumeric ||
                       (s.second && (t == ColumnType::kBinary || t == ColumnType::kGuid));
            });
            if (walkable) {
                problem(where + ": key of the entry for page " + std::to_string(e.row.page) +
                        " row " + std::to_string(e.row.row) + " cannot be split into its columns");
            }
            return;
        }
        std::shared_ptr<const Page> holder;
        RowPtr at;
        ByteView b = db_.fetchRow(def, e.row, holder, &at);
        RowView rv = crackRow(def, b, at.page, at.row);
        for (std::size_t k = 0; k < idx.columns.size(); ++k) {
            const Column* c = def.columnByNumber(idx.columns[k].column);
            if (!keyEncodable(c->type)) continue;
            auto stored = columnBytes(def, *c, rv, at.page, at.row);
            Bytes expect = encodeKeyPart(c->type, idx.columns[k].ascending, stored,
                                         c->isBool() && boolValue(*c, rv));
            auto [off, len] = (*parts)[k];
            if (!std::equal(expect.begin(), expect.end(),
                            e.key.begin() + static_cast<std::ptrdiff_t>(off),
                            e.key.begin() + static_cast<std::ptrdiff_t>(off + len))) {
                problem(where + ": key of column '" + c->name +
                        "' does not match the row at page " + std::to_string(e.row.page) + " row " +
                        std::to_string(e.row.row));
            }
        }
    }

    void checkSiblings(const IndexTree& tree, const std::string& where) {
        for (const auto& level : tree.levels) {
            for (std::size_t i = 0; i < level.size(); ++i) {
                const auto& [storedPrev, storedNext] = tree.links.at(level[i]);
                uint32_t prev = i > 0 ? level[i - 1] : 0;
                uint32_t next = i + 1 < level.size() ? level[i + 1] : 0;
                if (storedPrev != prev || storedNext != next) {
                    problem(where + ": sibling links of index page " + std::to_string(level[i]) +
                            " do not match the tree");
                }
            }
        }
    }

    Database& db_;
    CheckOptions options_;
    CheckReport report_;
    std::set<uint32_t> live_;
    std::pair<uint16_t, uint32_t> lastLv_{0xFFFF,
                                          0};  // the last long-value page recorded, by column
};

}  // namespace

CheckReport checkDatabase(Database& db, const CheckOptions& options) {
    Checker c(db, options);
    return c.run();
}

}  // namespace jet
