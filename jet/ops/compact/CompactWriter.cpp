// The compaction's writer: rows repacked onto new pages, long values
// re-stored, indexes rebuilt from the source's keys, table definitions
// patched to where everything went.
#include <algorithm>
#include <optional>

#include "format/DataPage.h"
#include "keys/KeyEncoding.h"
#include "ops/compact/Compactor.h"
#include "ops/compact/IndexRebuild.h"
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

// The data pages written since the last told of, once in the file with
// the long values their rows hold.
void Compactor::tellRows(const TablePlan& t, const std::vector<uint32_t>& dataPages,
                         std::size_t from, std::map<uint16_t, LongValueWriter>& lvWriters,
                         std::shared_ptr<TableDef>& layout) {
    for (auto& [col, w] : lvWriters) w.writeUnfinished();
    const uint64_t ticket = out_.handOverAll();
    if (!layout) {
        layout = std::make_shared<TableDef>(*t.def);
        layout->firstPage = t.newPages.front();
    }
    CatalogEntry entry = t.entry;
    entry.id = static_cast<int32_t>(t.newPages.front());
    rowsWritten_(entry, layout,
                 std::vector<uint32_t>(dataPages.begin() + static_cast<std::ptrdiff_t>(from),
                                       dataPages.end()),
                 ticket);
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
    WrittenRows& written = written_;  // where each row went, in writing order
    written.clear();
    std::unique_ptr<SourceRows> source;  // where each came from
    std::size_t told = 0;                // data pages told of to be checked
    std::shared_ptr<TableDef> layout;

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
                if (dataPage != 0) {
                    out_.write(dataPage, data.build());
                    if (dataPages.size() - told >= kRowsToCheck && rowsWritten_) {
                        tellRows(t, dataPages, told, lvWriters, layout);
                        told = dataPages.size();
                    }
                }
                data.clear();
                dataPage = alloc_.allocate();
                dataPages.push_back(dataPage);
            }
            written.wrote({dataPage, data.add(row)});
        }
        last = batch->tableEnd;
        if (last) source = std::move(batch->source);
        recycle(std::move(*batch));
    }
    if (!source) readerStopped(def);
    if (dataPage != 0) out_.write(dataPage, data.build());
    for (auto& [col, w] : lvWriters) w.finish();
    // A table checked as it is written: the rest of its rows, then each
    // index as it is written.
    const bool inSteps = told > 0;
    if (inSteps && told < dataPages.size()) tellRows(t, dataPages, told, lvWriters, layout);
    CatalogEntry entry = t.entry;
    entry.id = static_cast<int32_t>(t.newPages.front());
    written.finish();
    source->noteWritten(written);
    std::vector<uint32_t> indexPages;  // of every index

    Bytes buf(def.buffer.begin(), def.buffer.begin() + def.length);
    put32(buf.data() + kTdefRowCount, written.count());
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
        std::vector<uint32_t> pages;
        uint32_t distinct = 0;
        uint32_t root =
            rebuildIndex(def, i, ti, full, *source, t.newPages.front(), pages, distinct);
        indexPages.insert(indexPages.end(), pages.begin(), pages.end());
        if (inSteps && indexWritten_) indexWritten_(entry, i, root, out_.handOverAll());
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
    releaseOrder(source->orderMemory);
    source.reset();
    w_.writeTableDef(t.newPages, buf);
    if (tableWritten_) {
        // Everything the table holds but its maps, never to be written again.
        out_.seal(t.newPages);
        out_.seal(dataPages);
        for (const auto& [col, w] : lvWriters) out_.seal(w.pages());
        out_.seal(indexPages);
        const uint64_t ticket = out_.handOverAll();
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
        tableWritten_(entry, std::move(maps), ticket);
    }
}

// Writes the index from the source's entries, which the reader passes on a
// part at a time, pointed at where the rows went.
uint32_t Compactor::rebuildIndex(const TableDef& def, std::size_t i, std::size_t ti,
                                 Channel<RowBatch>& full, const SourceRows& source,
                                 uint32_t newOwner, std::vector<uint32_t>& pages,
                                 uint32_t& distinct) {
    IndexRebuild::Setup s;
    s.def = &def;
    s.ri = &def.realIndexes[i];
    s.source = &source;
    s.written = &written_;
    s.tableIds = &tdefMap_;
    s.alloc = &alloc_;
    s.out = &out_;
    s.owner = newOwner;
    s.tiesMemory = shares_.ties;
    s.levelsMemory = shares_.levels;
    s.sortMemory = shares_.sorts;
    s.spill = spill_;
    s.openSource = [this]() -> Database& { return writerSource(); };
    IndexRebuild rebuild(std::move(s));
    for (bool last = false; !last;) {
        std::optional<RowBatch> part = full.pop();
        if (!part) readerStopped(def);
        if (part->table != ti || part->index != static_cast<int>(i))
            failDamage("rows of two tables crossed", def.firstPage);
        if (rebuild.takesEntries()) rebuild.add(part->entries);
        last = part->indexEnd;
        recycle(std::move(*part));
    }
    const uint32_t root = rebuild.finish(pages, distinct);
    abandonedEnd_ = std::max(abandonedEnd_, rebuild.abandonedEnd());
    return root;
}

// The source opened again for the writer's thread, for the rare index that
// must be read again.
Database& Compactor::writerSource() {
    if (!writerSource_) writerSource_ = src_.reopen();
    return *writerSource_;
}

}  // namespace jet
