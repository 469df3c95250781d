// The salvage of a table: each index's keys made from the rows kept, rows
// that clash on a unique index dropped (the first found stays), and the
// rows put in the order they are written.
#include <algorithm>
#include <map>
#include <set>

#include "format/Row.h"
#include "format/Text.h"
#include "keys/KeyEncoding.h"
#include "keys/TextKey.h"
#include "salvage/TableSalvage.h"

namespace jet {

namespace {

std::string where(RowPtr r) {
    return "page " + std::to_string(r.page) + " row " + std::to_string(r.row);
}

void sortEntries(PackedEntries& p) {
    std::sort(p.entries.begin(), p.entries.end(),
              [&](const PackedEntries::Entry& a, const PackedEntries::Entry& b) {
                  const int c = compareKeys(p.key(a), p.key(b));
                  return c != 0 ? c < 0 : a.row < b.row;
              });
}

}  // namespace

std::string TableSalvage::indexName(std::size_t real) const {
    std::string name;
    for (const auto& l : def_.logicalIndexes) {
        if (l.realIndex == real && (name.empty() || l.primaryKey())) name = l.name;
    }
    return name.empty() ? "#" + std::to_string(real) : name;
}

const Bytes* TableSalvage::sourceEntry(std::size_t index, RowPtr slot) const {
    const auto& keys = sourceKeys_[index];
    auto lo = std::lower_bound(keys.begin(), keys.end(), slot.toU32(),
                               [](const auto& e, uint32_t v) { return e.first < v; });
    if (lo == keys.end() || lo->first != slot.toU32()) return nullptr;
    if (lo + 1 != keys.end() && (lo + 1)->first == slot.toU32()) return nullptr;  // listed twice
    return &lo->second;
}

std::optional<bool> TableSalvage::entryFitsRow(std::size_t index, RowPtr slot, const RowView& rv,
                                               RowPtr data) const {
    const Bytes* found = sourceEntry(index, slot);
    if (!found) return std::nullopt;
    const RealIndex& ri = def_.realIndexes[index];
    const auto shape = keyShape(def_, ri);
    const auto parts = splitKey(*found, shape);
    if (!parts) return false;
    bool compared = false;
    for (std::size_t k = 0; k < ri.columns.size(); ++k) {
        const Column* c = def_.columnByNumber(ri.columns[k].column);
        if (!c || !keyEncodable(c->type)) continue;
        const Bytes part = encodeKeyPart(c->type, ri.columns[k].ascending,
                                         columnBytes(def_, *c, rv, data.page, data.row),
                                         c->isBool() && boolValue(*c, rv));
        const auto [off, len] = (*parts)[k];
        if (part.size() != len || !std::equal(part.begin(), part.end(),
                                              found->begin() + static_cast<std::ptrdiff_t>(off)))
            return false;
        compared = true;
    }
    if (compared) return true;
    // Nothing but text: the whole key, where the engine makes it alike.
    if (auto made = encodeRowKey(def_, ri, rv, data.page, data.row); made && *made == *found)
        return true;
    return std::nullopt;
}

// The source index's key for the row at slot, where its tree could be read,
// lists the row once, and the key splits into the index's columns with each
// part the encoder can make equal to the row's (a damaged entry may hold
// any bytes).
bool TableSalvage::sourceKey(std::size_t index, RowPtr slot, const RowView& rv, RowPtr data,
                             const std::vector<std::pair<uint8_t, bool>>& /*shape*/,
                             Bytes& key) const {
    const Bytes* found = sourceEntry(index, slot);
    if (!found || entryFitsRow(index, slot, rv, data) == std::optional<bool>(false)) return false;
    key = *found;
    return true;
}

// A row's key for real index i: as the engine makes it in the order its
// columns declare; else the source index's, where it still fits the row.
bool TableSalvage::rowKey(std::size_t i, const KeptRow& r, const RowView& rv,
                          const std::vector<std::pair<uint8_t, bool>>& shape, Bytes& key) const {
    const TableDef& keyed = keyDef(i);
    if (auto made = encodeRowKey(keyed, keyed.realIndexes[i], rv, r.data.page, r.data.row)) {
        key = std::move(*made);
        return true;
    }
    return &keyed == &def_ && sourceKey(i, r.slot, rv, r.data, shape, key);
}

const TableDef& TableSalvage::keyDef(std::size_t i) const {
    return general_ && rekeyed_[i] ? *general_ : def_;
}

namespace {

// What a row holds in an index's columns, told apart as the keys would be:
// text by its characters, whatever its compression; the rest as stored.
Bytes columnValues(const TableDef& def, const RealIndex& ri, const RowView& rv, RowPtr at) {
    Bytes out;
    for (const IndexColumn& ic : ri.columns) {
        const Column* c = def.columnByNumber(ic.column);
        if (!c) continue;
        if (c->isBool()) {
            out.push_back(boolValue(*c, rv) ? 2 : 1);
            continue;
        }
        const auto stored = columnBytes(def, *c, rv, at.page, at.row);
        if (!stored) {
            out.push_back(0);
            continue;
        }
        Bytes v;
        const auto t = static_cast<ColumnType>(c->type);
        if (t == ColumnType::kText || t == ColumnType::kMemo) {
            for (char16_t u : decodeText(*stored)) {
                v.push_back(static_cast<uint8_t>(u));
                v.push_back(static_cast<uint8_t>(u >> 8));
            }
        } else {
            v.assign(stored->begin(), stored->end());
        }
        out.push_back(1);
        const auto n = static_cast<uint32_t>(v.size());
        out.insert(out.end(), {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                               static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)});
        out.insert(out.end(), v.begin(), v.end());
    }
    return out;
}

}  // namespace

// Keys for the rows of index i that neither the encoder nor the index gave:
// another row's that holds the same values in its columns, where the index
// still gives that one's (found[m] for missing[m]; empty where none does).
// The rows left without stay in missing.
void TableSalvage::keysFromLikeRows(std::size_t i, std::vector<std::size_t>& missing,
                                    std::vector<Bytes>& found) {
    const RealIndex& ri = def_.realIndexes[i];
    std::map<Bytes, Bytes> byValue;
    std::vector<Bytes> wanted;  // the values of each missing row
    PageRef holder;
    Bytes scratch;
    for (std::size_t k : missing) {
        const ByteView b = rowBytes(kept_[k], holder, scratch);
        const RowView rv = crackRow(def_, b, kept_[k].data.page, kept_[k].data.row);
        wanted.push_back(columnValues(def_, ri, rv, kept_[k].data));
        byValue.emplace(wanted.back(), Bytes{});
    }
    for (const KeptRow& r : kept_) {
        const ByteView b = rowBytes(r, holder, scratch);
        const RowView rv = crackRow(def_, b, r.data.page, r.data.row);
        auto it = byValue.find(columnValues(def_, ri, rv, r.data));
        if (it == byValue.end() || !it->second.empty()) continue;
        Bytes key;
        if (sourceKey(i, r.slot, rv, r.data, {}, key)) it->second = std::move(key);
    }
    std::vector<std::size_t> still;
    found.assign(missing.size(), {});
    for (std::size_t m = 0; m < missing.size(); ++m) {
        found[m] = byValue[wanted[m]];
        if (found[m].empty()) still.push_back(missing[m]);
    }
    missing = std::move(still);
}

// Where some row of an index has no key from the encoder, the index or a
// like row, its text columns are in a sort order the engine cannot make
// keys in: the index is keyed anew in the General order, those columns
// declared so (and with them every index over them), and that is said.
// Keys in one index are never of two orders.
void TableSalvage::keyInGeneralOrder(const std::vector<std::size_t>& indexes) {
    general_ = std::make_unique<TableDef>(def_);
    std::set<uint16_t> columns;
    for (std::size_t i : indexes) {
        for (const IndexColumn& ic : def_.realIndexes[i].columns) {
            const Column* c = def_.columnByNumber(ic.column);
            if (!c) continue;
            const auto t = static_cast<ColumnType>(c->type);
            if ((t == ColumnType::kText || t == ColumnType::kMemo) &&
                !isGeneralLegacy(c->sortLcid, c->sortVersion))
                columns.insert(c->number);
        }
    }
    for (Column& c : general_->columns) {
        if (columns.count(c.number) == 0) continue;
        c.sortLcid = 1033;
        c.sortVersion = 0;
        uint8_t* b = general_->buffer.data() + c.blockOffset + kColumnSortOrder;
        b[0] = 0x09;
        b[1] = 0x04;
        b[2] = 0x00;
        b[3] = 0x00;
    }
    for (std::size_t i = 0; i < def_.realIndexes.size(); ++i) {
        std::string names;
        for (const IndexColumn& ic : def_.realIndexes[i].columns) {
            if (columns.count(ic.column) == 0) continue;
            const Column* c = def_.columnByNumber(ic.column);
            names += (names.empty() ? "'" : ", '") + c->name + "' (sort order " +
                     std::to_string(c->sortLcid) + ")";
        }
        if (names.empty()) continue;
        rekeyed_[i] = true;
        issues_.push_back({SalvageIssue::Kind::kIndexReordered,
                           {def_.firstPage, 0},
                           "index '" + indexName(i) +
                               "': the engine cannot make keys in the sort order of column " +
                               names +
                               ", and some rows have no key left in the damaged index; the index "
                               "is made anew in the General order, and the column declared so",
                           {},
                           0});
    }
}

// Every kept row's key in each index, by the rules above. Before the last
// pass the indexes some row has no key for go to unkeyed; in it, rows that
// no order the engine knows can key are dropped.
void TableSalvage::keyRows(const std::vector<std::vector<std::pair<uint8_t, bool>>>& shapes,
                           std::vector<bool>& dropped, std::vector<std::size_t>& unkeyed,
                           bool last) {
    const std::size_t ni = def_.realIndexes.size();
    entries_.assign(ni, {});
    std::vector<std::vector<std::size_t>> missing(ni);
    PageRef holder;
    Bytes scratch, key;
    auto add = [&](std::size_t i, std::size_t k, const Bytes& made) {
        if (def_.realIndexes[i].ignoreNulls() && keyHasNullPart(made, shapes[i]).value_or(false))
            return;
        PackedEntries& p = entries_[i];
        p.entries.push_back({static_cast<uint32_t>(p.keys.size()),
                             static_cast<uint32_t>(made.size()), kept_[k].slot});
        p.keys.insert(p.keys.end(), made.begin(), made.end());
    };
    for (std::size_t k = 0; k < kept_.size() && ni > 0; ++k) {
        const KeptRow& r = kept_[k];
        const ByteView bytes = rowBytes(r, holder, scratch);
        const RowView rv = crackRow(def_, bytes, r.data.page, r.data.row);
        for (std::size_t i = 0; i < ni; ++i) {
            if (rowKey(i, r, rv, shapes[i], key)) {
                add(i, k, key);
            } else {
                missing[i].push_back(k);
            }
        }
    }
    unkeyed.clear();
    for (std::size_t i = 0; i < ni; ++i) {
        if (missing[i].empty()) continue;
        const bool declared = &keyDef(i) == &def_;
        std::vector<std::size_t> rows = missing[i];
        std::vector<Bytes> found;
        if (declared) keysFromLikeRows(i, rows, found);
        if (!rows.empty() && declared && !last) {
            unkeyed.push_back(i);
            continue;
        }
        for (std::size_t k : rows) {
            dropped[k] = true;
            drop(SalvageIssue::Kind::kRowDropped, kept_[k].slot,
                 "its key in index '" + indexName(i) +
                     "' cannot be made from its values, and the index holds none that fits them",
                 rowBytes(kept_[k], holder, scratch));
        }
        for (std::size_t m = 0; m < found.size(); ++m) {
            if (!found[m].empty()) add(i, missing[i][m], found[m]);
        }
    }
}

void TableSalvage::makeKeys() {
    std::vector<bool> dropped(kept_.size(), false);
    std::vector<std::vector<std::pair<uint8_t, bool>>> shapes;
    for (const auto& ri : def_.realIndexes) shapes.push_back(keyShape(def_, ri));
    rekeyed_.assign(def_.realIndexes.size(), false);
    std::vector<std::size_t> unkeyed;
    keyRows(shapes, dropped, unkeyed, false);
    if (!unkeyed.empty()) {
        keyInGeneralOrder(unkeyed);
        keyRows(shapes, dropped, unkeyed, true);
    }
    for (auto& p : entries_) sortEntries(p);
    dropClashes(shapes, dropped);
    for (auto& p : entries_) {
        std::erase_if(p.entries, [&](const PackedEntries::Entry& e) {
            auto it = std::lower_bound(kept_.begin(), kept_.end(), e.row,
                                       [](const KeptRow& x, RowPtr v) { return x.slot < v; });
            return dropped[static_cast<std::size_t>(it - kept_.begin())];
        });
    }
    orderRows(dropped);
}

// In each unique index, of the rows that hold one key (no part of it null)
// the one the damaged index still lists with that key at its place is
// kept, else the first found; the others are dropped.
void TableSalvage::dropClashes(const std::vector<std::vector<std::pair<uint8_t, bool>>>& shapes,
                               std::vector<bool>& dropped) {
    auto indexOf = [&](RowPtr slot) {
        auto it = std::lower_bound(kept_.begin(), kept_.end(), slot,
                                   [](const KeptRow& x, RowPtr v) { return x.slot < v; });
        return static_cast<std::size_t>(it - kept_.begin());
    };
    PageRef holder;
    Bytes scratch;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (!def_.realIndexes[i].unique()) continue;
        const PackedEntries& p = entries_[i];
        for (std::size_t e = 0; e < p.size();) {
            // The run of entries that hold this key, less rows dropped already.
            std::vector<std::size_t> run;
            std::size_t end = e;
            for (; end < p.size() && compareKeys(p.key(end), p.key(e)) == 0; ++end) {
                if (!dropped[indexOf(p.entries[end].row)]) run.push_back(end);
            }
            const ByteView key = p.key(e);
            e = end;
            if (run.size() < 2 || keyHasNullPart(key, shapes[i]).value_or(true)) continue;
            std::size_t keep = run.front();
            for (std::size_t x : run) {
                const Bytes* listed = sourceEntry(i, p.entries[x].row);
                if (listed && compareKeys(*listed, key) == 0) {
                    keep = x;
                    break;
                }
            }
            for (std::size_t x : run) {
                if (x == keep) continue;
                const std::size_t k = indexOf(p.entries[x].row);
                dropped[k] = true;
                drop(SalvageIssue::Kind::kKeyClash, kept_[k].slot,
                     "its key in unique index '" + indexName(i) + "' repeats that of the row at " +
                         where(p.entries[keep].row) + ", which is kept",
                     rowBytes(kept_[k], holder, scratch));
            }
        }
    }
}

// By primary key where there is one (rows it does not list after, as
// found), else as found.
void TableSalvage::orderRows(const std::vector<bool>& dropped) {
    rows_.clear();
    std::vector<bool> placed(kept_.size(), false);
    if (const LogicalIndex* pk = def_.primaryKey()) {
        for (const auto& e : entries_[pk->realIndex].entries) {
            auto it = std::lower_bound(kept_.begin(), kept_.end(), e.row,
                                       [](const KeptRow& x, RowPtr v) { return x.slot < v; });
            const std::size_t k = static_cast<std::size_t>(it - kept_.begin());
            if (placed[k]) continue;
            placed[k] = true;
            rows_.push_back(kept_[k]);
        }
    }
    for (std::size_t k = 0; k < kept_.size(); ++k) {
        if (!dropped[k] && !placed[k]) rows_.push_back(kept_[k]);
    }
}

}  // namespace jet
