#include "ops/Checker.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "format/DataPage.h"
#include "format/IndexPage.h"
#include "format/LongValue.h"
#include "format/Row.h"
#include "format/UsageMap.h"
#include "keys/KeyEncoding.h"
#include "read/Database.h"
#include "read/RowDigest.h"
#include "read/Value.h"

namespace jet {

namespace {

class Checker {
  public:
    Checker(Database& db, const CheckOptions& options) : db_(db), options_(options) {}

    CheckResult run() {
        report_.pageCount = db_.file().pageCount();
        live_.assign(report_.pageCount, false);
        for (uint32_t p : {0u, 1u, kCatalogPage}) mark(p);
        attempt("page 1", [&] { checkPageOne(); });
        std::vector<CatalogEntry> tables;
        attempt("catalogue", [&] { tables = db_.localTables(); });
        // What to report, in catalogue order: a table's own findings, or
        // that it shares its definition page with one before it.
        struct Item {
            const CatalogEntry* table = nullptr;
            std::string shared;
        };
        std::vector<Item> items;
        std::set<uint32_t> defPages;
        for (const auto& t : tables) {
            if (!defPages.insert(t.tdefPage()).second) {
                items.push_back(
                    {nullptr, "catalogue: table '" + t.name + "' shares definition page " +
                                  std::to_string(t.tdefPage()) + " with another table"});
            } else {
                items.push_back({&t, {}});
            }
        }
        // Tables are checked one at a time by each worker, each worker
        // reading through its own handle on the file.
        std::vector<CheckResult> parts(items.size());
        std::atomic<std::size_t> next{0};
        auto work = [&](Checker& c) {
            for (std::size_t i; (i = next.fetch_add(1)) < items.size();) {
                const CatalogEntry* t = items[i].table;
                if (!t) continue;
                const CheckedTable* early = nullptr;
                if (options_.checked) {
                    auto it = options_.checked->find(t->tdefPage());
                    if (it != options_.checked->end() && it->second.name == t->name)
                        early = &it->second;
                }
                parts[i] = early ? c.adopt(*early) : c.checkOne(*t);
            }
        };
        std::unique_ptr<Database> second;
        std::unique_ptr<Checker> helper;
        if (options_.threads > 1 && items.size() > 1) {
            try {
                second = db_.reopen();
                helper = std::make_unique<Checker>(*second, options_);
                helper->live_.assign(report_.pageCount, false);
            } catch (const JetException&) {
                helper.reset();  // one worker does it all
            }
        }
        std::exception_ptr helperFailed;
        std::thread thread;
        if (helper) {
            try {
                thread = std::thread([&] {
                    try {
                        work(*helper);
                    } catch (...) {
                        helperFailed = std::current_exception();
                    }
                });
            } catch (const std::system_error&) {
                helper.reset();  // no second thread: one worker does it all
            }
        }
        try {
            work(*this);
        } catch (...) {
            if (thread.joinable()) thread.join();
            throw;
        }
        if (thread.joinable()) thread.join();
        if (helperFailed) std::rethrow_exception(helperFailed);
        if (helper) {
            for (std::size_t p = 0; p < live_.size(); ++p) {
                if (helper->live_[p]) live_[p] = true;
            }
        }
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (!items[i].table) {
                problem(items[i].shared);
                continue;
            }
            CheckResult& part = parts[i];
            for (auto& s : part.problems) report_.problems.push_back(std::move(s));
            for (auto& s : part.notes) report_.notes.push_back(std::move(s));
            for (auto& t : part.tables) report_.tables.push_back(std::move(t));
            for (auto& [page, digest] : part.digests) report_.digests[page] = digest;
            report_.deadRowBytes += part.deadRowBytes;
            report_.freeBytesOnPages += part.freeBytesOnPages;
        }
        report_.reachablePages =
            static_cast<uint32_t>(std::count(live_.begin(), live_.end(), true));
        return std::move(report_);
    }

    // One table checked by itself, with the pages it reached.
    CheckedTable checkEarly(const CatalogEntry& t) {
        live_.assign(db_.file().pageCount(), false);
        CheckedTable out;
        out.name = t.name;
        out.part = checkOne(t);
        for (uint32_t p = 0; p < live_.size(); ++p) {
            if (live_[p]) out.livePages.push_back(p);
        }
        return out;
    }

    // One table's findings, by themselves.
    CheckResult checkOne(const CatalogEntry& t) {
        CheckResult saved = std::move(report_);
        report_ = CheckResult{};
        attempt("table '" + t.name + "'", [&] { checkTable(t); });
        CheckResult part = std::move(report_);
        report_ = std::move(saved);
        return part;
    }

  private:
    void problem(std::string s) { report_.problems.push_back(std::move(s)); }
    void mark(uint32_t page) {
        if (page < live_.size()) live_[page] = true;
    }
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
        for (uint32_t p : m.holderPages) mark(p);
    }

    // A table's usage map: as given, for a table checked before its file's
    // maps are written, or as read from the file.
    UsageMap tableMap(RowPtr at, const std::string& what) {
        if (options_.givenMaps) {
            auto it = options_.givenMaps->find(at.toU32());
            if (it != options_.givenMaps->end()) {
                UsageMap m;
                m.pages = it->second;
                return m;
            }
        }
        return readUsageMap(db_.file(), at, what.c_str());
    }

    // Takes a table checked early as checked: the pages it reached are
    // live, and the maps it was given must be what the file now holds.
    CheckResult adopt(const CheckedTable& early) {
        CheckResult part = early.part;
        for (uint32_t p : early.livePages) mark(p);
        for (const auto& [at, pages] : early.maps) {
            const RowPtr row = RowPtr::fromU32(at);
            const std::string where = "table '" + early.name + "', usage map at page " +
                                      std::to_string(row.page) + " row " + std::to_string(row.row);
            try {
                UsageMap m = readUsageMap(db_.file(), row, where.c_str());
                markMap(m);
                if (m.pages != pages) part.problems.push_back(where + ": lists other pages");
            } catch (const JetException& e) {
                part.problems.push_back(where + ": " + e.error().description);
            }
        }
        return part;
    }

    void checkTable(const CatalogEntry& entry) {
        const TableDef& def = db_.tableDef(entry.tdefPage(), entry.name);
        for (uint32_t p : def.pages) mark(p);
        TableSummary summary;
        summary.name = entry.name;
        summary.definitionPage = def.firstPage;
        summary.system = entry.isSystem();
        summary.indexes = static_cast<uint32_t>(def.realIndexes.size());
        const std::string where = "table '" + def.name + "'";

        // Owned and free-space maps. The pages the owned map lists are told
        // apart from its data pages as the rows are read, so that each is
        // read once.
        std::vector<uint32_t> pages;
        if (def.ownedMap.isNull()) {
            problem(where + ": no owned-pages usage map");
        } else {
            UsageMap om = tableMap(def.ownedMap, where + " owned pages");
            markMap(om);
            pages = std::move(om.pages);
        }
        if (!def.freeMap.isNull()) {
            UsageMap fm = tableMap(def.freeMap, where + " free-space pages");
            markMap(fm);
        }

        // Rows and long values; each row also adds what each index should
        // hold for it to that index's tally.
        tallies_.clear();
        for (const auto& ri : def.realIndexes) tallies_.push_back(makeTally(def, ri));
        std::vector<uint32_t> liveSlots;
        std::map<uint16_t, std::vector<uint32_t>> lvPagesUsed;  // sorted when the rows are done
        TableDigest& digest = report_.digests[def.firstPage];
        lastLv_ = {0xFFFF, 0};
        uint64_t rows = 0;
        for (uint32_t p : pages) {
            auto page = db_.file().page(p);
            if (!isDataPageOf(*page, def.firstPage)) {
                note(where + ": owned-pages map lists page " + std::to_string(p) +
                     ", which is not one of its data pages");
                continue;
            }
            mark(p);
            DataPage dp = parseDataPage(*page, p);
            uint64_t used = kDataHeaderSize + 2 * dp.slots.size();
            for (std::size_t i = 0; i < dp.slots.size(); ++i) {
                const Slot& s = dp.slots[i];
                used += s.length();
                if (s.deleted || s.overflow) report_.deadRowBytes += s.length();
                if (s.deleted) continue;
                RowPtr slot{p, static_cast<uint8_t>(i)};
                attempt(where, [&] {
                    PageRef holder;
                    RowPtr at;
                    ByteView b = db_.fetchRow(def, slot, holder, &at);
                    if (at != slot) mark(at.page);
                    checkRow(def, b, slot, at, lvPagesUsed, digest);
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
            std::vector<uint32_t> listed;  // ascending, as maps list their pages
            if (!m.owned.isNull()) {
                UsageMap um = tableMap(m.owned, where + " long-value pages");
                markMap(um);
                listed = std::move(um.pages);
            }
            if (!m.free.isNull()) {
                markMap(tableMap(m.free, where + " long-value free pages"));
            }
            std::vector<uint32_t>& used = lvPagesUsed[m.column];
            std::sort(used.begin(), used.end());
            used.erase(std::unique(used.begin(), used.end()), used.end());
            for (uint32_t p : used) {
                if (!std::binary_search(listed.begin(), listed.end(), p)) {
                    problem(where + ": long-value page " + std::to_string(p) + " of column " +
                            std::to_string(m.column) + " is missing from the column's usage map");
                }
            }
        }

        for (std::size_t i = 0; i < def.realIndexes.size(); ++i) {
            if (i == 0) std::sort(liveSlots.begin(), liveSlots.end());
            attempt(where + ", index " + std::to_string(i),
                    [&] { checkIndex(def, def.realIndexes[i], i, liveSlots, tallies_[i]); });
        }
        report_.tables.push_back(summary);
    }

    // Every value decodes within bounds; long values are read whole. The
    // same pass adds the row to the table's digest.
    void checkRow(const TableDef& def, ByteView bytes, RowPtr rowSlot, RowPtr at,
                  std::map<uint16_t, std::vector<uint32_t>>& lvPagesUsed, TableDigest& digest) {
        RowView rv = crackRow(def, bytes, at.page, at.row);
        digest.add(rowDigest(def, rv, at.page, at.row, [&](const Column& c, ByteView slot) {
            auto& used = lvPagesUsed[c.number];
            readLongValueInto(db_.file(), slot, at.page, at.row, longValue_, [&](RowPtr lv) {
                if (lastLv_ != std::make_pair(c.number, lv.page)) {
                    mark(lv.page);
                    used.push_back(lv.page);
                    lastLv_ = {c.number, lv.page};
                }
            });
            return ByteView(longValue_);
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
        // What each index should hold for this row, added once the whole
        // row has been read.
        rowKeys_.clear();
        for (std::size_t i = 0; i < def.realIndexes.size(); ++i) {
            const RealIndex& idx = def.realIndexes[i];
            IndexTally& t = tallies_[i];
            bool hasNull = false;
            scratch_.clear();
            for (std::size_t k = 0; k < idx.columns.size(); ++k) {
                const Column* c = def.columnByNumber(idx.columns[k].column);
                auto stored = columnBytes(def, *c, rv, at.page, at.row);
                if (!stored) hasNull = true;
                if (t.keys && keyEncodable(c->type)) {
                    appendKeyPart(scratch_, c->type, idx.columns[k].ascending, stored,
                                  c->isBool() && boolValue(*c, rv));
                }
            }
            if (idx.ignoreNulls() && hasNull) {
                rowKeys_.push_back(kOptional);
            } else {
                rowKeys_.push_back(entryHash(rowSlot, scratch_));
            }
        }
        for (std::size_t i = 0; i < rowKeys_.size(); ++i) {
            if (rowKeys_[i] == kOptional) {
                tallies_[i].optionalRows = true;
            } else {
                tallies_[i].sum += rowKeys_[i];
                ++tallies_[i].required;
            }
        }
    }

    // What the rows say an index must hold: how many entries, and the sum of
    // a hash of each entry's row pointer and the key parts that can be
    // encoded from the row. Comparing sums spares fetching a row per entry;
    // only an index whose sums differ is checked entry by entry, to say what
    // is wrong.
    struct IndexTally {
        bool keys = false;  // key parts are checked, not only row pointers
        std::vector<std::pair<uint8_t, bool>> shape;
        std::vector<std::size_t> encodable;  // parts checked
        uint64_t sum = 0;
        uint64_t required = 0;
        bool optionalRows = false;  // rows with a null part an ignore-nulls index may leave out
        bool entryByEntry = false;  // keys that cannot always be split: no sums
    };
    static constexpr uint64_t kOptional = 0;

    IndexTally makeTally(const TableDef& def, const RealIndex& idx) const {
        IndexTally t;
        t.keys = options_.keysOfEveryTable || def.tableType == 'S';
        t.shape = keyShape(def, idx);
        for (std::size_t k = 0; k < t.shape.size(); ++k) {
            auto [type, ascending] = t.shape[k];
            const auto ct = static_cast<ColumnType>(type);
            if (keyEncodable(type)) t.encodable.push_back(k);
            const bool splittable =
                keyEncodable(type) || ct == ColumnType::kText || ct == ColumnType::kMemo ||
                (ascending && (ct == ColumnType::kBinary || ct == ColumnType::kGuid));
            if (!splittable && t.keys) t.entryByEntry = true;
        }
        return t;
    }

    static uint64_t entryHash(RowPtr row, const Bytes& parts) {
        ByteHash h;
        h.mix(row.toU32());
        h.add(parts.data(), parts.size());
        // A final mix so that sums of hashes stay well spread; never 0,
        // which marks an optional row.
        uint64_t z = h.h + 0x9E3779B97F4A7C15ull;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        return z == kOptional ? 1 : z;
    }

    // The hash of an entry for the sum its rows must give: its row pointer
    // and the key parts checked. False when the key cannot be split.
    bool entrySum(ByteView key, RowPtr row, const IndexTally& t, uint64_t& sum) {
        scratch_.clear();
        if (t.keys && !t.encodable.empty()) {
            if (!splitKeyInto(key, t.shape, parts_)) return false;
            for (std::size_t k : t.encodable) {
                auto [off, len] = parts_[k];
                scratch_.insert(scratch_.end(), key.begin() + static_cast<std::ptrdiff_t>(off),
                                key.begin() + static_cast<std::ptrdiff_t>(off + len));
            }
        }
        sum += entryHash(row, scratch_);
        return true;
    }

    void checkIndex(const TableDef& def, const RealIndex& idx, std::size_t number,
                    const std::vector<uint32_t>& liveSlots, const IndexTally& tally) {
        const std::string where = "table '" + def.name + "', index " + std::to_string(number);
        if (!idx.usageMap.isNull()) {
            UsageMap m = tableMap(idx.usageMap, where + " pages");
            markMap(m);
        }
        const auto shape = keyShape(def, idx);
        // One walk over the entries: their order, and whether they sum to
        // what the rows say. Only an index whose sum disagrees (or that
        // cannot be summed) is read whole, and checked entry by entry.
        bool summing = !tally.entryByEntry && !tally.optionalRows;
        uint64_t sum = 0, count = 0;
        Bytes& last = lastKey_;
        RowPtr lastRow;
        std::optional<uint64_t> outOfOrder;
        std::vector<uint64_t> twice;  // entries that repeat a unique key
        IndexTree& tree = tree_;
        walkIndexTree(db_.file(), idx.rootPage, def.firstPage, where, tree,
                      [&](ByteView key, RowPtr row) {
                          // Order: by key bytes, then row pointer; no entry twice.
                          if (count > 0 && !outOfOrder) {
                              const int c = compareKeys(last, key);
                              if (c > 0 || (c == 0 && !(lastRow < row))) {
                                  outOfOrder = count;
                              } else if (c == 0 && idx.unique() &&
                                         !keyHasNullPart(key, shape).value_or(true)) {
                                  // A unique index may hold a key more than once when
                                  // part of it is null.
                                  twice.push_back(count);
                              }
                          }
                          last.assign(key.begin(), key.end());
                          lastRow = row;
                          ++count;
                          if (summing) summing = entrySum(key, row, tally, sum);
                      });
        for (uint32_t p : tree.pages) mark(p);
        checkSiblings(tree, where);
        for (uint64_t i : twice)
            problem(where + ": unique index holds a key twice at entry " + std::to_string(i));
        if (outOfOrder)
            problem(where + ": entries out of order at entry " + std::to_string(*outOfOrder));
        if (summing && count == tally.required && sum == tally.sum) return;
        readIndexTreeInto(db_.file(), idx.rootPage, def.firstPage, where, tree);
        const std::size_t problemsBefore = report_.problems.size();
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
        if (!tally.optionalRows && !tally.entryByEntry &&
            report_.problems.size() == problemsBefore) {
            problem(where + ": the entries do not match the table's rows");
        }
    }

    bool keyHasNull(const TableDef& def, const RealIndex& idx, RowPtr slot) {
        PageRef holder;
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
        PageRef holder;
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
        std::size_t at = 0;  // position in tree.pages, which lists the levels in turn
        for (const auto& level : tree.levels) {
            for (std::size_t i = 0; i < level.size(); ++i, ++at) {
                const auto& [storedPrev, storedNext] = tree.links.at(at);
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
    CheckResult report_;
    std::vector<bool> live_;           // pages reached, by number
    std::vector<IndexTally> tallies_;  // of the table being checked
    IndexTree tree_;                   // the index being checked; its buffers reused
    Bytes lastKey_;
    std::vector<uint64_t> rowKeys_;
    Bytes scratch_;
    Bytes longValue_;
    std::vector<std::pair<std::size_t, std::size_t>> parts_;
    std::pair<uint16_t, uint32_t> lastLv_{0xFFFF,
                                          0};  // the last long-value page recorded, by column
};

}  // namespace

CheckResult checkDatabase(Database& db, const CheckOptions& options) {
    Checker c(db, options);
    return c.run();
}

CheckedTable checkTableEarly(Database& db, const CatalogEntry& table,
                             std::map<uint32_t, std::vector<uint32_t>> maps,
                             const CheckOptions& options) {
    for (auto& [at, pages] : maps) std::sort(pages.begin(), pages.end());
    CheckOptions given = options;
    given.givenMaps = &maps;
    given.checked = nullptr;
    Checker c(db, given);
    CheckedTable out = c.checkEarly(table);
    out.maps = std::move(maps);
    return out;
}

}  // namespace jet
