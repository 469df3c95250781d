// The salvage of a table: each index's keys made from the rows kept, rows
// that clash on a unique index dropped (the first found stays), and the
// rows put in the order they are written.
#include <algorithm>

#include "format/Row.h"
#include "keys/KeyEncoding.h"
#include "read/TableSalvage.h"

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

// The source index's key for the row at slot, where its tree could be read,
// lists the row once, and the key splits into the index's columns with each
// part the encoder can make equal to the row's (a damaged entry may hold
// any bytes).
bool TableSalvage::sourceKey(std::size_t index, RowPtr slot, const RowView& rv, RowPtr data,
                             const std::vector<std::pair<uint8_t, bool>>& shape,
                             Bytes& key) const {
    const auto& keys = sourceKeys_[index];
    auto lo = std::lower_bound(keys.begin(), keys.end(), slot.toU32(),
                               [](const auto& e, uint32_t v) { return e.first < v; });
    if (lo == keys.end() || lo->first != slot.toU32()) return false;
    if (lo + 1 != keys.end() && (lo + 1)->first == slot.toU32()) return false;
    const Bytes& found = lo->second;
    const auto parts = splitKey(found, shape);
    if (!parts) return false;
    const RealIndex& ri = def_.realIndexes[index];
    for (std::size_t k = 0; k < ri.columns.size(); ++k) {
        const Column* c = def_.columnByNumber(ri.columns[k].column);
        if (!c || !keyEncodable(c->type)) continue;
        const Bytes part = encodeKeyPart(c->type, ri.columns[k].ascending,
                                         columnBytes(def_, *c, rv, data.page, data.row),
                                         c->isBool() && boolValue(*c, rv));
        const auto [off, len] = (*parts)[k];
        if (part.size() != len ||
            !std::equal(part.begin(), part.end(), found.begin() + static_cast<std::ptrdiff_t>(off)))
            return false;
    }
    key = found;
    return true;
}

// A row's key for real index i: as the engine makes it; else the source
// index's, where it still fits the row; else with text keyed as General
// orders it. False when none can be had.
bool TableSalvage::rowKey(std::size_t i, const KeptRow& r, const RowView& rv,
                          const std::vector<std::pair<uint8_t, bool>>& shape, Bytes& key) const {
    const RealIndex& ri = def_.realIndexes[i];
    if (auto made = encodeRowKey(def_, ri, rv, r.data.page, r.data.row)) {
        key = std::move(*made);
        return true;
    }
    if (sourceKey(i, r.slot, rv, r.data, shape, key)) return true;
    if (auto general = encodeRowKey(def_, ri, rv, r.data.page, r.data.row, true)) {
        key = std::move(*general);
        return true;
    }
    return false;
}

void TableSalvage::makeKeys() {
    const std::size_t ni = def_.realIndexes.size();
    entries_.assign(ni, {});
    std::vector<bool> dropped(kept_.size(), false);
    std::vector<std::vector<std::pair<uint8_t, bool>>> shapes;
    for (const auto& ri : def_.realIndexes) shapes.push_back(keyShape(def_, ri));
    PageRef holder;
    Bytes scratch, key;
    for (std::size_t k = 0; k < kept_.size() && ni > 0; ++k) {
        const KeptRow& r = kept_[k];
        const ByteView bytes = rowBytes(r, holder, scratch);
        const RowView rv = crackRow(def_, bytes, r.data.page, r.data.row);
        for (std::size_t i = 0; i < ni && !dropped[k]; ++i) {
            const RealIndex& ri = def_.realIndexes[i];
            if (!rowKey(i, r, rv, shapes[i], key)) {
                dropped[k] = true;
                drop(SalvageIssue::Kind::kRowDropped, r.slot,
                     "its key in index '" + indexName(i) +
                         "' cannot be made from its values, and the index holds none that fits them",
                     bytes);
                continue;
            }
            if (ri.ignoreNulls() && keyHasNullPart(key, shapes[i]).value_or(false)) continue;
            PackedEntries& p = entries_[i];
            p.entries.push_back({static_cast<uint32_t>(p.keys.size()),
                                 static_cast<uint32_t>(key.size()), r.slot});
            p.keys.insert(p.keys.end(), key.begin(), key.end());
        }
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

// In each unique index, a key held by two rows keeps the first found and
// drops the other, unless part of the key is null.
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
        std::size_t first = 0;  // the entry kept for the current key
        bool haveFirst = false;
        for (std::size_t e = 0; e < p.size(); ++e) {
            const std::size_t k = indexOf(p.entries[e].row);
            if (dropped[k]) continue;
            const ByteView key = p.key(e);
            if (!haveFirst || compareKeys(key, p.key(first)) != 0 ||
                keyHasNullPart(key, shapes[i]).value_or(true)) {
                first = e;
                haveFirst = true;
                continue;
            }
            dropped[k] = true;
            drop(SalvageIssue::Kind::kKeyClash, kept_[k].slot,
                 "its key in unique index '" + indexName(i) + "' repeats that of the row at " +
                     where(p.entries[first].row) + ", which is kept",
                 rowBytes(kept_[k], holder, scratch));
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
