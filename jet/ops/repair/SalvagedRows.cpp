#include "ops/repair/SalvagedRows.h"

#include <algorithm>

#include "format/Row.h"
#include "keys/KeyEncoding.h"

namespace jet {

namespace {

void sortEntries(PackedEntries& p) {
    std::sort(p.entries.begin(), p.entries.end(),
              [&](const PackedEntries::Entry& a, const PackedEntries::Entry& b) {
                  const int c = compareKeys(p.key(a), p.key(b));
                  return c != 0 ? c < 0 : a.row < b.row;
              });
}

void append(PackedEntries& p, ByteView key, RowPtr row) {
    p.entries.push_back(
        {static_cast<uint32_t>(p.keys.size()), static_cast<uint32_t>(key.size()), row});
    p.keys.insert(p.keys.end(), key.begin(), key.end());
}

}  // namespace

bool SalvagedRows::omitted(RowPtr slot) const {
    return std::find(omitted_.begin(), omitted_.end(), slot.toU32()) != omitted_.end();
}

// The keys of the rows added: as the engine makes them, or where the
// column's sort order is not one the encoder knows, as General orders them.
// (An empty key: the row has no entry in that index.)
void SalvagedRows::makeAddedKeys() {
    if (addedKeys_.size() == def_.realIndexes.size()) return;
    addedKeys_.assign(def_.realIndexes.size(), std::vector<Bytes>(added_.size()));
    for (std::size_t k = 0; k < added_.size(); ++k) {
        const RowView rv = crackRow(def_, added_[k], 0, 0);
        for (std::size_t i = 0; i < def_.realIndexes.size(); ++i) {
            const RealIndex& ri = def_.realIndexes[i];
            auto key = encodeRowKey(def_, ri, rv, 0, 0);
            if (!key) key = encodeRowKey(def_, ri, rv, 0, 0, true);
            if (!key) {
                fail(ErrorCode::kUnsupported, "table '" + def_.name +
                                                  "': a row the repair adds cannot be indexed");
            }
            if (ri.ignoreNulls() && keyHasNullPart(*key, keyShape(def_, ri)).value_or(false))
                continue;
            addedKeys_[i][k] = std::move(*key);
        }
    }
}

std::vector<int64_t> SalvagedRows::order() {
    makeAddedKeys();
    std::vector<int64_t> salvaged, added;
    if (salvage_) {
        const auto& rows = salvage_->rows();
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (!omitted(rows[i].slot)) salvaged.push_back(static_cast<int64_t>(i));
        }
    }
    for (std::size_t k = 0; k < added_.size(); ++k) added.push_back(~static_cast<int64_t>(k));
    const LogicalIndex* pk = def_.primaryKey();
    if (!pk || added.empty()) {
        salvaged.insert(salvaged.end(), added.begin(), added.end());
        return salvaged;
    }
    // Rows kept by the salvage are in primary-key order: its entries, in
    // turn, hold their keys.
    const std::vector<Bytes>& addedPk = addedKeys_[pk->realIndex];
    std::sort(added.begin(), added.end(), [&](int64_t a, int64_t b) {
        return compareKeys(addedPk[static_cast<std::size_t>(~a)],
                           addedPk[static_cast<std::size_t>(~b)]) < 0;
    });
    std::vector<Bytes> salvagedPk;
    if (salvage_) {
        const PackedEntries& e = salvage_->entries(pk->realIndex);
        for (int64_t i : salvaged) {
            const auto u = static_cast<std::size_t>(i);
            salvagedPk.emplace_back(u < e.size() ? Bytes(e.key(u).begin(), e.key(u).end()) : Bytes{});
        }
    }
    std::vector<int64_t> out;
    std::size_t a = 0, b = 0;
    while (a < salvaged.size() || b < added.size()) {
        const bool takeAdded =
            a == salvaged.size() ||
            (b < added.size() && !salvagedPk[a].empty() &&
             compareKeys(addedPk[static_cast<std::size_t>(~added[b])], salvagedPk[a]) < 0);
        out.push_back(takeAdded ? added[b++] : salvaged[a++]);
    }
    return out;
}

bool SalvagedRows::rows(FunctionRef<bool(RowPtr slot, RowPtr at, ByteView bytes)> take) {
    PageRef holder;
    Bytes scratch;
    for (int64_t i : order()) {
        if (i >= 0) {
            const KeptRow& r = salvage_->rows()[static_cast<std::size_t>(i)];
            if (!take(r.slot, r.data, salvage_->rowBytes(r, holder, scratch))) return false;
        } else {
            const auto k = static_cast<std::size_t>(~i);
            if (!take(addedSlot(k), addedSlot(k), added_[k])) return false;
        }
    }
    return true;
}

PackedEntries SalvagedRows::entries(std::size_t index) {
    if (!changed()) return salvage_ ? std::move(salvage_->entries(index)) : PackedEntries{};
    makeAddedKeys();
    PackedEntries out;
    if (salvage_) {
        const PackedEntries& from = salvage_->entries(index);
        for (const auto& e : from.entries) {
            if (!omitted(e.row)) append(out, from.key(e), e.row);
        }
    }
    for (std::size_t k = 0; k < added_.size(); ++k) {
        const Bytes& key = addedKeys_[index][k];
        if (!key.empty()) append(out, key, addedSlot(k));
    }
    sortEntries(out);
    return out;
}

uint64_t SalvagedRows::pageEstimate() const {
    uint64_t bytes = 0;
    for (const Bytes& r : added_) bytes += r.size();
    uint64_t pages = bytes / 2048 + 1;
    if (salvage_) pages += 2 * salvage_->pages().size() * (1 + def_.realIndexes.size());
    return pages;
}

}  // namespace jet
