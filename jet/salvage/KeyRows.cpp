// The keys of a damaged table's rows: each index's keys made from the rows
// kept, rows that clash on a unique index dropped (the first found stays),
// and the rows put in the order they are written.
#include <algorithm>
#include <map>
#include <set>

#include "format/Row.h"
#include "format/Text.h"
#include "keys/KeyEncoding.h"
#include "keys/TextKey.h"
#include "salvage/SalvagePhases.h"

namespace jet {

namespace {

using Shapes = std::vector<std::vector<std::pair<uint8_t, bool>>>;

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

class RowKeyer {
  public:
    RowKeyer(const SalvageContext& ctx, const TableDef& def, const IndexEvidence& evidence,
             const HarvestedRows& harvested, SalvageLedger& ledger)
        : ctx_(ctx), def_(def), evidence_(evidence), rows_(harvested.rows),
          harvested_(harvested), ledger_(ledger) {}

    KeyedRows run();

  private:
    ByteView rowBytes(const KeptRow& r, PageRef& holder, Bytes& scratch) const {
        return harvested_.bytes(ctx_.file, def_, r, holder, scratch);
    }
    bool rowKey(std::size_t index, const KeptRow& r, const RowView& rv, Bytes& key) const;
    bool sourceKey(std::size_t index, RowPtr slot, const RowView& rv, RowPtr data,
                   Bytes& key) const;
    const TableDef& keyDef(std::size_t index) const;
    void keysFromLikeRows(std::size_t index, std::vector<std::size_t>& missing,
                          std::vector<Bytes>& found);
    void keyInGeneralOrder(const std::vector<std::size_t>& indexes);
    void keyAll(const Shapes& shapes, std::vector<std::size_t>& unkeyed, bool last);
    void dropClashes(const Shapes& shapes);
    void orderRows();
    void dropRow(std::size_t k, SalvageIssue::Kind kind, std::string what);

    const SalvageContext& ctx_;
    const TableDef& def_;
    const IndexEvidence& evidence_;
    const std::vector<KeptRow>& rows_;  // as found, by slot
    const HarvestedRows& harvested_;
    SalvageLedger& ledger_;
    KeyedRows out_;
    std::vector<bool> dropped_;  // by row as found
};

// The source index's key for the row at slot, where its tree could be read,
// lists the row once, and the key splits into the index's columns with each
// part the encoder can make equal to the row's (a damaged entry may hold
// any bytes).
bool RowKeyer::sourceKey(std::size_t index, RowPtr slot, const RowView& rv, RowPtr data,
                         Bytes& key) const {
    const Bytes* found = evidence_.entry(index, slot);
    if (!found || evidence_.fitsRow(def_, index, slot, rv, data) == std::optional<bool>(false))
        return false;
    key = *found;
    return true;
}

// A row's key for real index i: as the engine makes it in the order its
// columns declare; else the source index's, where it still fits the row.
bool RowKeyer::rowKey(std::size_t i, const KeptRow& r, const RowView& rv, Bytes& key) const {
    const TableDef& keyed = keyDef(i);
    if (auto made = encodeRowKey(keyed, keyed.realIndexes[i], rv, r.data.page, r.data.row)) {
        key = std::move(*made);
        return true;
    }
    return &keyed == &def_ && sourceKey(i, r.slot, rv, r.data, key);
}

const TableDef& RowKeyer::keyDef(std::size_t i) const {
    return out_.general && out_.rekeyed[i] ? *out_.general : def_;
}

void RowKeyer::dropRow(std::size_t k, SalvageIssue::Kind kind, std::string what) {
    dropped_[k] = true;
    PageRef holder;
    Bytes scratch;
    ledger_.add(kind, rows_[k].slot, std::move(what), rowBytes(rows_[k], holder, scratch));
}

// Keys for the rows of index i that neither the encoder nor the index gave:
// another row's that holds the same values in its columns, where the index
// still gives that one's (found[m] for missing[m]; empty where none does).
// The rows left without stay in missing.
void RowKeyer::keysFromLikeRows(std::size_t i, std::vector<std::size_t>& missing,
                                std::vector<Bytes>& found) {
    const RealIndex& ri = def_.realIndexes[i];
    std::map<Bytes, Bytes> byValue;
    std::vector<Bytes> wanted;  // the values of each missing row
    PageRef holder;
    Bytes scratch;
    for (std::size_t k : missing) {
        const ByteView b = rowBytes(rows_[k], holder, scratch);
        const RowView rv = crackRow(def_, b, rows_[k].data.page, rows_[k].data.row);
        wanted.push_back(columnValues(def_, ri, rv, rows_[k].data));
        byValue.emplace(wanted.back(), Bytes{});
    }
    for (const KeptRow& r : rows_) {
        const ByteView b = rowBytes(r, holder, scratch);
        const RowView rv = crackRow(def_, b, r.data.page, r.data.row);
        auto it = byValue.find(columnValues(def_, ri, rv, r.data));
        if (it == byValue.end() || !it->second.empty()) continue;
        Bytes key;
        if (sourceKey(i, r.slot, rv, r.data, key)) it->second = std::move(key);
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
void RowKeyer::keyInGeneralOrder(const std::vector<std::size_t>& indexes) {
    out_.general = std::make_unique<TableDef>(def_);
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
    for (Column& c : out_.general->columns) {
        if (columns.count(c.number) == 0) continue;
        c.sortLcid = 1033;
        c.sortVersion = 0;
        uint8_t* b = out_.general->buffer.data() + c.blockOffset + kColumnSortOrder;
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
        out_.rekeyed[i] = true;
        ledger_.add(SalvageIssue::Kind::kIndexReordered, {def_.firstPage, 0},
                    "index '" + indexName(def_, i) +
                        "': the engine cannot make keys in the sort order of column " + names +
                        ", and some rows have no key left in the damaged index; the index "
                        "is made anew in the General order, and the column declared so");
    }
}

// Every kept row's key in each index, by the rules above. Before the last
// pass the indexes some row has no key for go to unkeyed; in it, rows that
// no order the engine knows can key are dropped.
void RowKeyer::keyAll(const Shapes& shapes, std::vector<std::size_t>& unkeyed, bool last) {
    const std::size_t ni = def_.realIndexes.size();
    out_.entries.assign(ni, {});
    std::vector<std::vector<std::size_t>> missing(ni);
    PageRef holder;
    Bytes scratch, key;
    auto add = [&](std::size_t i, std::size_t k, const Bytes& made) {
        if (def_.realIndexes[i].ignoreNulls() && keyHasNullPart(made, shapes[i]).value_or(false))
            return;
        PackedEntries& p = out_.entries[i];
        p.entries.push_back({static_cast<uint32_t>(p.keys.size()),
                             static_cast<uint32_t>(made.size()), rows_[k].slot});
        p.keys.insert(p.keys.end(), made.begin(), made.end());
    };
    for (std::size_t k = 0; k < rows_.size() && ni > 0; ++k) {
        const KeptRow& r = rows_[k];
        const ByteView bytes = rowBytes(r, holder, scratch);
        const RowView rv = crackRow(def_, bytes, r.data.page, r.data.row);
        for (std::size_t i = 0; i < ni; ++i) {
            if (rowKey(i, r, rv, key)) {
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
            dropRow(k, SalvageIssue::Kind::kRowDropped,
                    "its key in index '" + indexName(def_, i) +
                        "' cannot be made from its values, and the index holds none that fits "
                        "them");
        }
        for (std::size_t m = 0; m < found.size(); ++m) {
            if (!found[m].empty()) add(i, missing[i][m], found[m]);
        }
    }
}

KeyedRows RowKeyer::run() {
    dropped_.assign(rows_.size(), false);
    Shapes shapes;
    for (const auto& ri : def_.realIndexes) shapes.push_back(keyShape(def_, ri));
    out_.rekeyed.assign(def_.realIndexes.size(), false);
    std::vector<std::size_t> unkeyed;
    keyAll(shapes, unkeyed, false);
    if (!unkeyed.empty()) {
        keyInGeneralOrder(unkeyed);
        keyAll(shapes, unkeyed, true);
    }
    for (auto& p : out_.entries) sortEntries(p);
    dropClashes(shapes);
    for (auto& p : out_.entries) {
        std::erase_if(p.entries,
                      [&](const PackedEntries::Entry& e) { return dropped_[harvested_.at(e.row)]; });
    }
    orderRows();
    return std::move(out_);
}

// In each unique index, of the rows that hold one key (no part of it null)
// the one the damaged index still lists with that key at its place is
// kept, else the first found; the others are dropped.
void RowKeyer::dropClashes(const Shapes& shapes) {
    for (std::size_t i = 0; i < out_.entries.size(); ++i) {
        if (!def_.realIndexes[i].unique()) continue;
        const PackedEntries& p = out_.entries[i];
        for (std::size_t e = 0; e < p.size();) {
            // The run of entries that hold this key, less rows dropped already.
            std::vector<std::size_t> run;
            std::size_t end = e;
            for (; end < p.size() && compareKeys(p.key(end), p.key(e)) == 0; ++end) {
                if (!dropped_[harvested_.at(p.entries[end].row)]) run.push_back(end);
            }
            const ByteView key = p.key(e);
            e = end;
            if (run.size() < 2 || keyHasNullPart(key, shapes[i]).value_or(true)) continue;
            std::size_t keep = run.front();
            for (std::size_t x : run) {
                const Bytes* listed = evidence_.entry(i, p.entries[x].row);
                if (listed && compareKeys(*listed, key) == 0) {
                    keep = x;
                    break;
                }
            }
            for (std::size_t x : run) {
                if (x == keep) continue;
                dropRow(harvested_.at(p.entries[x].row), SalvageIssue::Kind::kKeyClash,
                        "its key in unique index '" + indexName(def_, i) +
                            "' repeats that of the row at " + where(p.entries[keep].row) +
                            ", which is kept");
            }
        }
    }
}

// By primary key where there is one (rows it does not list after, as
// found), else as found.
void RowKeyer::orderRows() {
    std::vector<bool> placed(rows_.size(), false);
    if (const LogicalIndex* pk = def_.primaryKey()) {
        for (const auto& e : out_.entries[pk->realIndex].entries) {
            const std::size_t k = harvested_.at(e.row);
            if (placed[k]) continue;
            placed[k] = true;
            out_.rows.push_back(rows_[k]);
        }
    }
    for (std::size_t k = 0; k < rows_.size(); ++k) {
        if (!dropped_[k] && !placed[k]) out_.rows.push_back(rows_[k]);
    }
}

}  // namespace

KeyedRows keyRows(const SalvageContext& ctx, const TableDef& def, const IndexEvidence& evidence,
                  const HarvestedRows& harvested, SalvageLedger& ledger) {
    return RowKeyer(ctx, def, evidence, harvested, ledger).run();
}

}  // namespace jet
