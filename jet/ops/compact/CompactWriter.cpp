// The compaction's writer: rows repacked onto new pages, long values
// re-stored, indexes rebuilt from the source's keys, table definitions
// patched to where everything went.
#include <algorithm>
#include <optional>

#include "format/DataPage.h"
#include "keys/KeyEncoding.h"
#include "ops/compact/Compactor.h"
#include "write/PageBuilder.h"

namespace jet {

// The row as the copy stores it: long values re-stored in the form
// their size calls for. The bytes stay valid until the next call.
ByteView Compactor::writeRow(TablePlan& t, const RowBatch& batch, const RowJob& job,
                             const RowView& rv, std::map<uint16_t, LongValueWriter>& lvWriters) {
    const TableDef& def = *t.def;
    const std::size_t nLv = t.lvColumns.size();
    const ByteView row = batch.row(job);
    if (nLv == 0 || def.numVar == 0) return row;

    slots_.clear();
    for (auto [s, e] : rv.varSlots) slots_.push_back(row.subspan(s, e - s));
    // Which long values go into the row and which out to LVAL pages.
    pending_.clear();
    for (std::size_t k = 0; k < nLv; ++k) {
        const LongValueExtent& e = batch.extent(job, k);
        if (e.active) pending_.push_back({k, e.len <= kInlineLimit});
    }
    auto valueSize = [&](std::size_t k) { return batch.extent(job, k).len; };
    // Too large with the small values inline: move them out, largest first.
    auto size = [&] {
        std::size_t n = row.size();
        for (const auto& p : pending_) {
            n -= slots_[t.lvColumns[p.lv]->varIndex].size();
            n += kLongValueHeaderSize + (p.inlined ? valueSize(p.lv) : 0);
        }
        return n;
    };
    while (size() > kMaxRowSize) {
        Pending* largest = nullptr;
        for (auto& p : pending_) {
            if (p.inlined && (!largest || valueSize(p.lv) > valueSize(largest->lv))) largest = &p;
        }
        if (!largest)
            failDamage("table '" + def.name + "': row too large", job.at.page, job.at.row);
        largest->inlined = false;
    }
    lvSlots_.resize(std::max(lvSlots_.size(), nLv));
    for (auto& p : pending_) {
        const Column* c = t.lvColumns[p.lv];
        const ByteView v = batch.value(job, p.lv);
        Bytes& slot = lvSlots_[p.lv];
        if (p.inlined) {
            slot.assign(kLongValueHeaderSize, 0);
            put32(slot.data(),
                  static_cast<uint32_t>(v.size()) | (static_cast<uint32_t>(kLvInline) << 24));
            slot.insert(slot.end(), v.begin(), v.end());
        } else {
            auto it = lvWriters.try_emplace(c->number, alloc_, out_).first;
            const auto header = it->second.store(v);
            slot.assign(header.begin(), header.end());
        }
        slots_[c->varIndex] = slot;
    }
    buildRowInto(built_, rv.ncols, row.subspan(2, rv.fixedEnd - 2), slots_,
                 row.subspan(rv.maskOffset), true);
    return built_;
}

void Compactor::readerStopped(const TableDef& def) {
    failDamage("table '" + def.name + "': its rows ended early", def.firstPage);
}

void Compactor::copyTable(TablePlan& t, std::size_t ti, Channel<RowBatch>& full) {
    const TableDef& def = *t.def;
    DataPageBuilder data(t.newPages.front());
    uint32_t dataPage = 0;
    std::vector<uint32_t> dataPages;
    std::map<uint16_t, LongValueWriter> lvWriters;
    std::vector<std::pair<uint32_t, uint32_t>>& moved = moved_;  // old slot -> new slot
    moved.clear();

    for (bool last = false; !last;) {
        std::optional<RowBatch> batch = full.pop();
        if (!batch) readerStopped(def);
        if (batch->table != ti || batch->index >= 0)
            failDamage("rows of two tables crossed", def.firstPage);
        for (const RowJob& job : batch->rows) {
            const RowView rv = crackRow(def, batch->row(job), job.at.page, job.at.row);
            ByteView row = writeRow(t, *batch, job, rv, lvWriters);
            if (row.size() > kMaxRowSize)
                failDamage("table '" + def.name + "': row too large", job.at.page, job.at.row);
            if (dataPage == 0 || !data.fits(row.size())) {
                if (dataPage != 0) out_.write(dataPage, data.build());
                data.clear();
                dataPage = alloc_.allocate();
                dataPages.push_back(dataPage);
            }
            uint8_t newSlot = data.add(row);
            moved.emplace_back(job.slot.toU32(), RowPtr{dataPage, newSlot}.toU32());
        }
        last = batch->tableEnd;
        recycle(std::move(*batch));
    }
    if (dataPage != 0) out_.write(dataPage, data.build());
    for (auto& [col, w] : lvWriters) w.finish();
    movedTo_.assign(moved);
    const SlotMap& movedTo = movedTo_;
    std::vector<uint32_t> indexPages;  // of every index

    Bytes buf(def.buffer.begin(), def.buffer.begin() + def.length);
    put32(buf.data() + kTdefRowCount, static_cast<uint32_t>(moved.size()));
    map(t.ownedMap).pages = dataPages;
    put32(buf.data() + kTdefOwnedMap, map(t.ownedMap).at.toU32());
    if (t.freeMap >= 0) {
        map(t.freeMap).pages = dataPages;
        put32(buf.data() + kTdefFreeMap, map(t.freeMap).at.toU32());
    }
    for (std::size_t i = 0; i < def.longValueMaps.size(); ++i) {
        const auto& lv = def.longValueMaps[i];
        std::vector<uint32_t> pages;
        if (auto it = lvWriters.find(lv.column); it != lvWriters.end()) pages = it->second.pages();
        auto [owned, free] = t.lvMaps[i];
        uint32_t ownedAt = 0, freeAt = 0;
        if (owned >= 0) {
            map(owned).pages = pages;
            ownedAt = map(owned).at.toU32();
        }
        if (free >= 0) {
            map(free).pages = pages;
            freeAt = map(free).at.toU32();
        }
        put32(buf.data() + lv.blockOffset + 2, ownedAt);
        put32(buf.data() + lv.blockOffset + 6, freeAt);
    }
    for (std::size_t i = 0; i < def.realIndexes.size(); ++i) {
        const RealIndex& ri = def.realIndexes[i];
        std::optional<RowBatch> tree = full.pop();
        if (!tree) readerStopped(def);
        if (tree->table != ti || tree->index != static_cast<int>(i))
            failDamage("rows of two tables crossed", def.firstPage);
        std::vector<uint32_t> pages;
        uint32_t distinct = 0;
        uint32_t root = rebuildIndex(def, ri, tree->entries, movedTo, moved.size(),
                                     t.newPages.front(), pages, distinct);
        indexPages.insert(indexPages.end(), pages.begin(), pages.end());
        recycle(std::move(*tree));
        put32(buf.data() + ri.blockOffset + 38, root);
        put32(buf.data() + ri.statsOffset + 4, distinct);
        if (t.indexMaps[i] >= 0) {
            auto& m = map(t.indexMaps[i]);
            m.pages = pages;
            put32(buf.data() + ri.blockOffset + 34, m.at.toU32());
        }
    }
    for (const auto& li : def.logicalIndexes) {
        if (li.fkOtherTable == 0) continue;
        auto it = tdefMap_.find(li.fkOtherTable);
        if (it != tdefMap_.end()) put32(buf.data() + li.blockOffset + 17, it->second);
    }
    w_.writeTableDef(t.newPages, buf);
    if (tableWritten_) {
        // Everything the table holds but its maps, never to be written again.
        out_.seal(t.newPages);
        out_.seal(dataPages);
        for (const auto& [col, w] : lvWriters) out_.seal(w.pages());
        out_.seal(indexPages);
        out_.flush();
        CatalogEntry entry = t.entry;
        entry.id = static_cast<int32_t>(t.newPages.front());
        std::map<uint32_t, std::vector<uint32_t>> maps;
        auto give = [&](int i) {
            if (i >= 0) maps[map(i).at.toU32()] = map(i).pages;
        };
        give(t.ownedMap);
        give(t.freeMap);
        for (int i : t.indexMaps) give(i);
        for (auto [owned, free] : t.lvMaps) {
            give(owned);
            give(free);
        }
        tableWritten_(entry, std::move(maps));
    }
}

// Writes the index from the source's entries, pointed at where the rows went.
uint32_t Compactor::rebuildIndex(const TableDef& def, const RealIndex& ri, PackedEntries& packed,
                                 const SlotMap& moved, std::size_t rows, uint32_t newOwner,
                                 std::vector<uint32_t>& pages, uint32_t& distinct) {
    const std::string where = "table '" + def.name + "', index";
    // Key parts of columns that hold table Ids change with the Ids.
    const auto shape = keyShape(def, ri);
    std::vector<std::size_t> idParts;
    for (std::size_t k = 0; k < ri.columns.size(); ++k) {
        const Column* c = def.columnByNumber(ri.columns[k].column);
        if (c->type == static_cast<uint8_t>(ColumnType::kLong) &&
            holdsTableIds(def.name, c->name)) {
            idParts.push_back(k);
        }
    }
    std::vector<PackedEntries::Entry>& entries = packed.entries;
    for (auto& e : entries) {
        std::optional<uint32_t> to = moved.find(e.row.toU32());
        if (!to) {
            failDamage(where + " entry points to a row that is not live", e.row.page, e.row.row);
        }
        e.row = RowPtr::fromU32(*to);
        if (idParts.empty()) continue;
        const ByteView key = packed.key(e);
        auto parts = splitKeyOrFail(key, shape, ri.rootPage, where);
        for (std::size_t k : idParts) {
            auto [off, len] = parts[k];
            if (len != 5) continue;  // null
            const bool asc = shape[k].second;
            uint32_t v = be32(key, off + 1);
            if (!asc) v = ~v;
            v ^= 0x80000000u;
            auto m = tdefMap_.find(v);
            if (m == tdefMap_.end()) continue;
            uint32_t enc = m->second ^ 0x80000000u;
            if (!asc) enc = ~enc;
            putBe32(packed.keyData(e) + off + 1, enc);
        }
    }
    if (!ri.ignoreNulls() && entries.size() != rows) {
        failDamage(where + " does not hold one entry for each row", ri.rootPage);
    }
    auto keyOf = [&](const PackedEntries::Entry& e) { return packed.key(e); };
    auto before = [&](const PackedEntries::Entry& a, const PackedEntries::Entry& b) {
        int c = compareKeys(keyOf(a), keyOf(b));
        return c != 0 ? c < 0 : a.row < b.row;
    };
    // The source's entries are in key order already; rows moved, so only
    // entries with equal keys may need reordering among themselves.
    // Entries out of key order (a damaged source) are sorted whole.
    bool keyOrder = true;
    for (std::size_t i = 1; i < entries.size() && keyOrder; ++i)
        keyOrder = compareKeys(keyOf(entries[i - 1]), keyOf(entries[i])) <= 0;
    if (!keyOrder) {
        std::sort(entries.begin(), entries.end(), before);
    } else {
        for (std::size_t i = 0; i < entries.size();) {
            std::size_t j = i + 1;
            while (j < entries.size() && compareKeys(keyOf(entries[j]), keyOf(entries[i])) == 0)
                ++j;
            if (j - i > 1)
                std::sort(entries.begin() + static_cast<std::ptrdiff_t>(i),
                          entries.begin() + static_cast<std::ptrdiff_t>(j), before);
            i = j;
        }
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i == 0 || compareKeys(keyOf(entries[i]), keyOf(entries[i - 1])) != 0) ++distinct;
    }
    return w_.writeTree(packed, newOwner, pages);
}

std::vector<std::pair<std::size_t, std::size_t>> Compactor::splitKeyOrFail(
    ByteView key, const std::vector<std::pair<uint8_t, bool>>& shape, uint32_t page,
    const std::string& where) {
    auto parts = splitKey(key, shape);
    if (!parts) failDamage(where + " holds a key that cannot be read", page);
    return *parts;
}

}  // namespace jet
