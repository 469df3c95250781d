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
ByteView Compactor::writeRow(TablePlan& t, TableWriter& tw, const RowBatch& batch,
                             const RowJob& job, const RowView& rv) {
    const TableDef& def = *t.def;
    const std::size_t nLv = t.lvColumns.size();
    const ByteView row = batch.row(job);
    if (nLv == 0 || def.numVar == 0) return row;

    slots_.clear();
    for (auto [s, e] : rv.varSlots) slots_.push_back(row.subspan(s, e - s));
    // The long values the row holds, small ones meant for the row.
    lvSlots_.resize(std::max(lvSlots_.size(), nLv));
    placements_.clear();
    std::size_t base = row.size();
    for (std::size_t k = 0; k < nLv; ++k) {
        const LongValueExtent& e = batch.extent(job, k);
        if (!e.active) continue;
        const Column* c = t.lvColumns[k];
        base -= slots_[c->varIndex].size();
        placements_.push_back(
            {c->number, c->varIndex, batch.value(job, k), e.len <= kInlineLimit, false, &lvSlots_[k]});
    }
    if (!tw.placeLongValues(placements_, base))
        failDamage("table '" + def.name + "': row too large", job.at.page, job.at.row);
    for (const auto& p : placements_) slots_[p.slot] = *p.stored;
    buildRowInto(built_, rv.ncols, row.subspan(2, rv.fixedEnd - 2), slots_,
                 row.subspan(rv.maskOffset), true);
    return built_;
}

void Compactor::readerStopped(const TableDef& def) {
    failDamage("table '" + def.name + "': its rows ended early", def.firstPage);
}

void Compactor::copyTable(TablePlan& t, std::size_t ti, Channel<RowBatch>& full) {
    const TableDef& def = *t.def;
    TableWriter tw(w_, def, t.newPages, t.maps);
    std::vector<std::pair<uint32_t, uint32_t>>& moved = moved_;  // old slot -> new slot
    moved.clear();

    for (bool last = false; !last;) {
        std::optional<RowBatch> batch = full.pop();
        if (!batch) readerStopped(def);
        if (batch->table != ti || batch->index >= 0)
            failDamage("rows of two tables crossed", def.firstPage);
        for (const RowJob& job : batch->rows) {
            const RowView rv = crackRow(def, batch->row(job), job.at.page, job.at.row);
            ByteView row = writeRow(t, tw, *batch, job, rv);
            if (row.size() > kMaxRowSize)
                failDamage("table '" + def.name + "': row too large", job.at.page, job.at.row);
            moved.emplace_back(job.slot.toU32(), tw.addRow(row).toU32());
        }
        last = batch->tableEnd;
        recycle(std::move(*batch));
    }
    tw.finishRows();
    movedTo_.assign(moved);
    for (std::size_t i = 0; i < def.realIndexes.size(); ++i) {
        std::optional<RowBatch> tree = full.pop();
        if (!tree) readerStopped(def);
        if (tree->table != ti || tree->index != static_cast<int>(i))
            failDamage("rows of two tables crossed", def.firstPage);
        rebuildIndex(tw, i, def, tree->entries, movedTo_, moved.size());
        recycle(std::move(*tree));
    }
    tw.writeDefinition(static_cast<uint32_t>(moved.size()), std::nullopt, &tdefMap_);
    if (tableWritten_) {
        // Everything the table holds but its maps, never to be written again.
        out_.seal(tw.definitionPages());
        out_.seal(tw.dataPages());
        out_.seal(tw.longValuePages());
        out_.seal(tw.indexPages());
        out_.flush();
        CatalogEntry entry = t.entry;
        entry.id = static_cast<int32_t>(t.newPages.front());
        tableWritten_(entry, tw.mapContents());
    }
}

// Writes the index from the source's entries, pointed at where the rows went.
void Compactor::rebuildIndex(TableWriter& tw, std::size_t number, const TableDef& def,
                             PackedEntries& packed, const SlotMap& moved, std::size_t rows) {
    const RealIndex& ri = def.realIndexes[number];
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
    tw.writeIndex(number, packed,
                  countDistinct(entries.size(), [&](std::size_t i) { return keyOf(entries[i]); }));
}

std::vector<std::pair<std::size_t, std::size_t>> Compactor::splitKeyOrFail(
    ByteView key, const std::vector<std::pair<uint8_t, bool>>& shape, uint32_t page,
    const std::string& where) {
    auto parts = splitKey(key, shape);
    if (!parts) failDamage(where + " holds a key that cannot be read", page);
    return *parts;
}

}  // namespace jet
