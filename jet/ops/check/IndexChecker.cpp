// Checking a table's indexes against its rows (see IndexChecker.h): what
// the rows say each index must hold, then each index against it.
#include "ops/check/IndexChecker.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "format/Row.h"
#include "keys/KeyEncoding.h"
#include "keys/TextKey.h"
#include "os/ExternalSort.h"
#include "read/Value.h"

namespace jet {

IndexChecker::IndexTally IndexChecker::makeTally(const TableDef& def, const RealIndex& idx) const {
    IndexTally t;
    t.keys = options_.keysOfEveryTable || def.tableType == 'S';
    t.shape = keyShape(def, idx);
    t.text.assign(t.shape.size(), false);
    for (std::size_t k = 0; k < t.shape.size(); ++k) {
        auto [type, ascending] = t.shape[k];
        const auto ct = static_cast<ColumnType>(type);
        const Column* c = def.columnByNumber(idx.columns[k].column);
        t.columnAt.push_back(static_cast<std::size_t>(c - def.columns.data()));
        // Text keys only in the order the engine encodes; those of other
        // orders (Japanese, Greek...) are taken as they are.
        if (ct == ColumnType::kText) t.text[k] = isGeneralLegacy(c->sortLcid, c->sortVersion);
        if (keyEncodable(type) || t.text[k]) t.encodable.push_back(k);
        const bool splittable =
            keyEncodable(type) || ct == ColumnType::kText || ct == ColumnType::kMemo ||
            (ascending && (ct == ColumnType::kBinary || ct == ColumnType::kGuid));
        if (!splittable && t.keys) t.entryByEntry = true;
    }
    return t;
}

void IndexChecker::begin(const TableDef& def) {
    tallies_.clear();
    for (const auto& ri : def.realIndexes) tallies_.push_back(makeTally(def, ri));
}

// A text part of what an index should hold, made once a row for all the
// indexes that hold the column. A value whose key may depend on how the
// sharp s is counted sends the index to be checked entry by entry, where
// either count is taken.
void IndexChecker::appendTextKeyPart(IndexTally& t, const Column& c,
                                     const std::optional<ByteView>& stored, bool ascending) {
    if (!stored) {
        rowParts_.push_back(ascending ? 0x00 : 0xFF);
        return;
    }
    auto made = std::find_if(textParts_.begin(), textParts_.end(), [&](const TextPart& p) {
        return p.column == &c && p.ascending == ascending;
    });
    if (made == textParts_.end()) {
        TextPart p{&c, ascending, textKeys_.size(), 0, false};
        bool dependsOnSharpS = false;
        appendStoredTextKey(textKeys_, *stored, ascending, SharpS::kTwoPositions, &dependsOnSharpS);
        p.unsure = dependsOnSharpS;
        p.length = textKeys_.size() - p.offset;
        made = textParts_.insert(textParts_.end(), p);
    }
    if (made->unsure) t.textByEntry = true;
    const auto from = textKeys_.begin() + static_cast<std::ptrdiff_t>(made->offset);
    rowParts_.insert(rowParts_.end(), from, from + static_cast<std::ptrdiff_t>(made->length));
}

// What each index should hold for this row, added once the whole row has
// been read.
void IndexChecker::tallyRow(const TableDef& def, const RowView& rv, RowPtr rowSlot, RowPtr at) {
    rowKeys_.clear();
    textParts_.clear();
    textKeys_.clear();
    for (std::size_t i = 0; i < def.realIndexes.size(); ++i) {
        const RealIndex& idx = def.realIndexes[i];
        IndexTally& t = tallies_[i];
        bool hasNull = false;
        rowParts_.clear();
        for (std::size_t k = 0; k < idx.columns.size(); ++k) {
            const Column* c = &def.columns[t.columnAt[k]];
            const auto stored = columnBytes(def, *c, rv, at.page, at.row);
            if (!stored) hasNull = true;
            if (t.keys && keyEncodable(c->type)) {
                appendKeyPart(rowParts_, c->type, idx.columns[k].ascending, stored,
                              c->isBool() && boolValue(*c, rv));
            } else if (t.keys && t.text[k]) {
                appendTextKeyPart(t, *c, stored, idx.columns[k].ascending);
            }
        }
        if (idx.ignoreNulls() && hasNull) {
            rowKeys_.push_back(kOptional);
        } else {
            rowKeys_.push_back(entryHash(rowSlot, rowParts_));
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

uint64_t IndexChecker::entryHash(RowPtr row, ByteView parts) {
    ByteHash h;
    h.mix(row.toU32());
    if (!parts.empty()) h.add(parts.data(), parts.size());  // none when no part is checked
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
bool IndexChecker::entrySum(ByteView key, RowPtr row, const IndexTally& t, uint64_t& sum) {
    if (t.keys && t.encodable.size() == t.shape.size()) {
        // Every part is checked: the parts are the whole key. A key that
        // does not split into its columns makes a sum the rows do not give.
        sum += entryHash(row, key);
        return true;
    }
    entryParts_.clear();
    if (t.keys && !t.encodable.empty()) {
        if (!splitKeyInto(key, t.shape, parts_)) return false;
        for (std::size_t k : t.encodable) {
            auto [off, len] = parts_[k];
            entryParts_.insert(entryParts_.end(), key.begin() + static_cast<std::ptrdiff_t>(off),
                               key.begin() + static_cast<std::ptrdiff_t>(off + len));
        }
    }
    sum += entryHash(row, entryParts_);
    return true;
}

void IndexChecker::check(const TableDef& def, const RealIndex& idx, std::size_t number,
                         const LiveSlots& live, PagesReached& reached,
                         std::vector<Finding>& found) {
    const std::string where = "table '" + def.name + "', index " + std::to_string(number);
    const IndexTally& tally = tallies_[number];
    const auto shape = keyShape(def, idx);
    // One walk over the entries: their order, and whether they sum to
    // what the rows say. Only an index whose sum disagrees (or that
    // cannot be summed) is read whole, and checked entry by entry.
    bool summing = !tally.entryByEntry && !tally.optionalRows && !tally.textByEntry;
    uint64_t sum = 0, count = 0;
    Bytes& last = lastKey_;
    RowPtr lastRow;
    std::optional<uint64_t> outOfOrder;
    std::vector<uint64_t> twice;  // entries that repeat a unique key
    IndexTree& tree = tree_;
    walkIndexTree(
        db_.file(), idx.rootPage, def.firstPage, where, tree, [&](ByteView key, RowPtr row) {
            // Order: by key bytes, then row pointer; no entry twice.
            if (count > 0 && !outOfOrder) {
                const int c = compareKeys(last, key);
                if (c > 0 || (c == 0 && !(lastRow < row))) {
                    outOfOrder = count;
                } else if (c == 0 && idx.unique() && !keyHasNullPart(key, shape).value_or(true)) {
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
    for (uint32_t p : tree.pages) reached.mark(p);
    checkSiblings(tree, where, found);
    for (uint64_t i : twice)
        problem(found, where + ": unique index holds a key twice at entry " + std::to_string(i),
                Remedy::kIndexRebuilt);
    if (outOfOrder)
        problem(found, where + ": entries out of order at entry " + std::to_string(*outOfOrder),
                Remedy::kIndexRebuilt);
    if (summing && count == tally.required && sum == tally.sum) return;
    const std::size_t problemsBefore = found.size();
    checkEntries(def, idx, live, where, found);
    if (!tally.optionalRows && !tally.entryByEntry && !tally.textByEntry &&
        found.size() == problemsBefore) {
        problem(found, where + ": the entries do not match the table's rows",
                Remedy::kIndexRebuilt);
    }
}

namespace {
// Whether the key part of a text column fits its value: equals the key of
// either count of the sharp s.
bool textKeyFits(ByteView part, const std::optional<ByteView>& stored, bool ascending) {
    if (!stored) return part.size() == 1 && part[0] == (ascending ? 0x00 : 0xFF);
    for (SharpS count : {SharpS::kTwoPositions, SharpS::kOnePosition}) {
        Bytes expect;
        appendStoredTextKey(expect, *stored, ascending, count);
        if (std::equal(expect.begin(), expect.end(), part.begin(), part.end())) return true;
        if (!storedSharpSCountMatters(*stored)) return false;
    }
    return false;
}

// Whether a column's part of an entry's key fits the row's value; true for
// the parts that are not checked.
bool partFits(const TableDef& def, const Column& c, bool ascending, ByteView part,
              const RowView& rv, RowPtr at) {
    const bool text = c.type == static_cast<uint8_t>(ColumnType::kText) &&
                      isGeneralLegacy(c.sortLcid, c.sortVersion);
    if (!keyEncodable(c.type) && !text) return true;
    auto stored = columnBytes(def, c, rv, at.page, at.row);
    if (text) return textKeyFits(part, stored, ascending);
    const Bytes expect = encodeKeyPart(c.type, ascending, stored, c.isBool() && boolValue(c, rv));
    return std::equal(expect.begin(), expect.end(), part.begin(), part.end());
}

// Entries sorted by the row they point to (4 bytes, big-endian, first),
// then by key.
struct RowThenKey {
    bool operator()(ByteView a, ByteView b) const {
        const int c = std::memcmp(a.data(), b.data(), 4);
        if (c != 0) return c < 0;
        return compareKeys(a.subspan(4), b.subspan(4)) < 0;
    }
};
}  // namespace

// Entries in the order of the rows they point to, so that their rows are
// read page after page rather than jumping about; sorted through spill
// files when more than the check's memory holds.
void IndexChecker::checkEntries(const TableDef& def, const RealIndex& idx, const LiveSlots& live,
                                const std::string& where, std::vector<Finding>& found) {
    const auto shape = keyShape(def, idx);
    RecordSorter<RowThenKey> byRow(options_.sortMemory, options_.spill);
    Bytes record;
    walkIndexTree(db_.file(), idx.rootPage, def.firstPage, where, tree_,
                  [&](ByteView key, RowPtr row) {
                      record.resize(4);
                      putBe32(record.data(), row.toU32());
                      record.insert(record.end(), key.begin(), key.end());
                      byRow.add(record);
                  });
    byRow.finish();
    // The rows pointed to, gathered page by page as the entries come in
    // row order.
    LiveSlots pointed;
    uint32_t page = 0;
    LiveSlots::Bits bits{};
    std::vector<uint32_t> twice;  // rows two entries point to
    uint32_t last = 0;
    bool any = false;
    for (ByteView r; byRow.next(r);) {
        const uint32_t u = be32(r, 0);
        const RowPtr row = RowPtr::fromU32(u);
        if (!live.contains(row)) {
            problem(found,
                    where + ": entry points to page " + std::to_string(row.page) + " row " +
                        std::to_string(row.row) + ", which is not a live row",
                    Remedy::kIndexRebuilt, row.page, row.row);
            continue;
        }
        if (any && u == last) twice.push_back(u);
        if (row.page != page) {
            pointed.addPage(page, bits);
            page = row.page;
            bits = {};
        }
        any = true;
        last = u;
        bits[row.row >> 6] |= uint64_t{1} << (row.row & 63u);
        if (options_.keysOfEveryTable || def.tableType == 'S')
            checkKey(def, idx, shape, r.subspan(4), row, where, found);
    }
    pointed.addPage(page, bits);
    pointed.finish();
    for (uint32_t u : twice) {
        RowPtr r = RowPtr::fromU32(u);
        problem(found,
                where + ": two entries point to page " + std::to_string(r.page) + " row " +
                    std::to_string(r.row),
                Remedy::kIndexRebuilt, r.page, r.row);
    }
    live.forEach([&](RowPtr r) {
        if (pointed.contains(r)) return;
        if (idx.ignoreNulls() && keyHasNull(def, idx, r)) return;
        problem(found,
                where + ": row at page " + std::to_string(r.page) + " row " +
                    std::to_string(r.row) + " is missing from the index",
                Remedy::kIndexRebuilt, r.page, r.row);
    });
}

bool IndexChecker::keyHasNull(const TableDef& def, const RealIndex& idx, RowPtr slot) {
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

void IndexChecker::checkKey(const TableDef& def, const RealIndex& idx,
                            const std::vector<std::pair<uint8_t, bool>>& shape, ByteView key,
                            RowPtr row, const std::string& where, std::vector<Finding>& found) {
    auto parts = splitKey(key, shape);
    if (!parts) {
        bool walkable = std::all_of(shape.begin(), shape.end(), [](const auto& s) {
            auto t = static_cast<ColumnType>(s.first);
            return keyEncodable(s.first) || t == ColumnType::kText || t == ColumnType::kMemo ||
                   t == ColumnType::kNumeric ||
                   (s.second && (t == ColumnType::kBinary || t == ColumnType::kGuid));
        });
        if (walkable) {
            problem(found,
                    where + ": key of the entry for page " + std::to_string(row.page) + " row " +
                        std::to_string(row.row) + " cannot be split into its columns",
                    Remedy::kIndexRebuilt, row.page, row.row);
        }
        return;
    }
    PageRef holder;
    RowPtr at;
    ByteView b = db_.fetchRow(def, row, holder, &at);
    RowView rv = crackRow(def, b, at.page, at.row);
    for (std::size_t k = 0; k < idx.columns.size(); ++k) {
        const Column* c = def.columnByNumber(idx.columns[k].column);
        auto [off, len] = (*parts)[k];
        if (!partFits(def, *c, idx.columns[k].ascending, key.subspan(off, len), rv, at)) {
            problem(found,
                    where + ": key of column '" + c->name + "' does not match the row at page " +
                        std::to_string(row.page) + " row " + std::to_string(row.row),
                    Remedy::kIndexRebuilt, row.page, row.row);
        }
    }
}

void IndexChecker::checkSiblings(const IndexTree& tree, const std::string& where,
                                 std::vector<Finding>& found) {
    std::size_t at = 0;  // position in tree.pages, which lists the levels in turn
    for (const auto& level : tree.levels) {
        for (std::size_t i = 0; i < level.size(); ++i, ++at) {
            const auto& [storedPrev, storedNext] = tree.links.at(at);
            uint32_t prev = i > 0 ? level[i - 1] : 0;
            uint32_t next = i + 1 < level.size() ? level[i + 1] : 0;
            if (storedPrev != prev || storedNext != next) {
                problem(found,
                        where + ": sibling links of index page " + std::to_string(level[i]) +
                            " do not match the tree",
                        Remedy::kIndexRebuilt, level[i]);
            }
        }
    }
}

}  // namespace jet
