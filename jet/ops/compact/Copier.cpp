// The compaction's copier: rows repacked onto new pages, long values
// re-stored, indexes rebuilt from the source's keys, table definitions
// patched to where everything went.
#include "ops/compact/Copier.h"

#include <algorithm>
#include <optional>

#include "format/DataPage.h"
#include "keys/KeyEncoding.h"
#include "ops/compact/IndexRebuild.h"
#include "write/PageBuilder.h"

namespace jet {

// The row as the copy stores it: long values re-stored in the form
// their size calls for. The bytes stay valid until the next call.
ByteView Copier::writeRow(const TablePlan& t, TableWriter& tw, const RowBatch& batch,
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
        placements_.push_back({c->number, c->varIndex, batch.value(job, k), e.len <= kInlineLimit,
                               false, &lvSlots_[k]});
    }
    if (!tw.placeLongValues(placements_, base))
        failDamage(damagedTable(def), ": row too large", job.at.page, job.at.row);
    for (const auto& p : placements_) slots_[p.slot] = *p.stored;
    buildRowInto(built_, rv.ncols, row.subspan(2, rv.fixedEnd - 2), slots_,
                 row.subspan(rv.maskOffset), true);
    return built_;
}

void Copier::readerStopped(const TableDef& def) {
    failDamage(damagedTable(def), ": its rows ended early", def.firstPage);
}

void Copier::copyTables(const CopyPlan& plan, const Database& src, CopyChannel& channel) {
    Job job{plan, SourceAgain(src), channel};
    digests_.assign(plan.tables.size(), TableDigest{});
    progress_.begin(plan.pagesToRead);
    for (std::size_t ti = 0; ti < plan.tables.size(); ++ti)
        withinTable(damagedTable(*plan.tables[ti].def), [&] { copyTable(job, ti); });
    progress_.end();
}

// The reader's next batch, which must be of the table; none means the
// reader stopped (its error says why).
RowBatch Copier::nextBatch(Job& job, const TableDef& def) {
    std::optional<RowBatch> batch = job.channel.batches.pop();
    if (!batch) readerStopped(def);
    progress_.reached(batch->pagesRead);
    return std::move(*batch);
}

void Copier::copyTable(Job& job, std::size_t ti) {
    const TablePlan& t = job.plan.tables[ti];
    const TableDef& def = *t.def;
    TableWriter tw(w_, def, t.newPages, t.maps);
    WrittenRows& written = written_;  // where each row went, in writing order
    written.clear();
    std::unique_ptr<SourceRows> source;  // where each came from
    // A large table is checked as it is written: its data pages a few at
    // a time (all but the one being filled are written).
    RowsTold told;
    for (bool last = false; !last;) {
        RowBatch batch = nextBatch(job, def);
        if (batch.table != ti || batch.index >= 0)
            failDamage("rows of two tables crossed", def.firstPage);
        copyBatch(t, tw, batch, told);
        last = batch.tableEnd;
        if (last) {
            source = std::move(batch.source);
            digests_[ti] = batch.digest;
        }
        job.channel.spare.give(std::move(batch));
    }
    if (!source) readerStopped(def);
    tw.finishRows();
    // Then the rest of its rows, and each index as it is written.
    const bool inSteps = told.pages > 0;
    if (inSteps && told.pages < tw.dataPages().size())
        tellRows(t, tw, told.pages, tw.dataPages().size(), told.layout);
    CatalogEntry entry = t.entry;
    entry.id = static_cast<int32_t>(t.newPages.front());
    written.finish();
    source->noteWritten(written);
    writeIndexes(job, ti, tw, *source, inSteps ? &entry : nullptr);
    job.channel.orders.release(source->orderMemory);
    source.reset();
    tw.writeDefinition(written.count(), std::nullopt, &job.plan.tableIds);
    if (observer_) sealTable(tw, entry);
}

// The rows of a batch, each where the table writer puts it; a large table's
// pages are told of as they fill.
void Copier::copyBatch(const TablePlan& t, TableWriter& tw, const RowBatch& batch, RowsTold& told) {
    const TableDef& def = *t.def;
    for (const RowJob& job : batch.rows) {
        const RowView rv = crackRow(def, batch.row(job), job.at.page, job.at.row);
        ByteView row = writeRow(t, tw, batch, job, rv);
        if (row.size() > kMaxRowSize)
            failDamage(damagedTable(def), ": row too large", job.at.page, job.at.row);
        const RowPtr at = tw.addRow(row);
        written_.wrote(at);
        const std::size_t whole = tw.dataPages().size() - 1;  // written whole
        if (observer_ && at.row == 0 && whole - told.pages >= kRowsToCheck) {
            tellRows(t, tw, told.pages, whole, told.layout);
            told.pages = whole;
        }
    }
}

// Each index of the table rebuilt and added to its definition; with 'tell',
// a table checked as it is written, each is told of once written.
void Copier::writeIndexes(Job& job, std::size_t ti, TableWriter& tw, const SourceRows& source,
                          const CatalogEntry* tell) {
    for (std::size_t i = 0; i < job.plan.tables[ti].def->realIndexes.size(); ++i) {
        std::vector<uint32_t> pages;
        uint32_t distinct = 0;
        const uint32_t root = rebuildIndex(job, ti, i, source, distinct, pages);
        tw.addIndex(i, root, distinct, std::move(pages));
        if (tell && observer_) observer_->indexWritten(*tell, i, root, out_.handOverAll());
    }
}

// Everything the table holds but its maps, never to be written again,
// handed over with what its maps will list.
void Copier::sealTable(TableWriter& tw, const CatalogEntry& entry) {
    out_.seal(tw.definitionPages());
    out_.seal(tw.dataPages());
    out_.seal(tw.longValuePages());
    out_.seal(tw.indexPages());
    const uint64_t ticket = out_.handOverAll();
    observer_->tableWritten(entry, tw.mapContents(), ticket);
}

// Data pages [from, to) of the table, once in the file with the long
// values their rows hold.
void Copier::tellRows(const TablePlan& t, TableWriter& tw, std::size_t from, std::size_t to,
                      std::shared_ptr<TableDef>& layout) {
    tw.writeUnfinishedLongValues();
    const uint64_t ticket = out_.handOverAll();
    if (!layout) {
        layout = std::make_shared<TableDef>(*t.def);
        layout->firstPage = t.newPages.front();
    }
    CatalogEntry entry = t.entry;
    entry.id = static_cast<int32_t>(t.newPages.front());
    const auto& pages = tw.dataPages();
    observer_->rowsWritten(entry, layout,
                           std::vector<uint32_t>(pages.begin() + static_cast<std::ptrdiff_t>(from),
                                                 pages.begin() + static_cast<std::ptrdiff_t>(to)),
                           ticket);
}

// Writes the index from the source's entries, which the reader passes on a
// part at a time, pointed at where the rows went.
uint32_t Copier::rebuildIndex(Job& job, std::size_t ti, std::size_t i, const SourceRows& source,
                              uint32_t& distinct, std::vector<uint32_t>& pages) {
    const TablePlan& t = job.plan.tables[ti];
    const TableDef& def = *t.def;
    IndexRebuild::Setup s;
    s.def = &def;
    s.ri = &def.realIndexes[i];
    s.source = &source;
    s.written = &written_;
    s.tableIds = &job.plan.tableIds;
    s.alloc = &alloc_;
    s.out = &out_;
    s.owner = t.newPages.front();
    s.tiesMemory = job.plan.shares.ties;
    s.levelsMemory = job.plan.shares.levels;
    s.sortMemory = job.plan.shares.sorts;
    s.spill = job.plan.spill;
    s.openSource = [&job]() -> Database& { return job.source.get(); };
    // A table a row source gives has its entries in one part, kept here in
    // case they must be gone through again; others are read again from the
    // source's tree.
    PackedEntries kept;
    if (t.source) {
        s.entriesAgain = [&kept](FunctionRef<void(ByteView, RowPtr)> visit) {
            for (const auto& e : kept.entries) visit(kept.key(e), e.row);
        };
    } else {
        s.entriesAgain = [&job, &def, i](FunctionRef<void(ByteView, RowPtr)> visit) {
            IndexTree tree;
            walkIndexTree(job.source.get().file(), def.realIndexes[i].rootPage, def.firstPage,
                          "table '" + def.name + "', index", tree, visit);
        };
    }
    IndexRebuild rebuild(std::move(s));
    for (bool last = false; !last;) {
        RowBatch part = nextBatch(job, def);
        if (part.table != ti || part.index != static_cast<int>(i))
            failDamage("rows of two tables crossed", def.firstPage);
        if (rebuild.takesEntries()) rebuild.add(part.entries);
        last = part.indexEnd;
        if (t.source) kept = std::move(part.entries);
        job.channel.spare.give(std::move(part));
    }
    const uint32_t root = rebuild.finish(pages, distinct);
    abandonedEnd_ = std::max(abandonedEnd_, rebuild.abandonedEnd());
    return root;
}

void Copier::finish(const CopyPlan& plan, PageFile& src) {
    // Page 1's second row and owner come from the source, where it reads.
    Bytes second(kUsageMapRowSize, 0);
    uint32_t owner = 1;
    try {
        auto p1 = src.page(1);
        DataPage dp = parseDataPage(*p1, 1);
        if (dp.slots.size() > 1 && !dp.slots[1].deleted && dp.slots[1].length() <= 512) {
            ByteView r = rowBytes(*p1, dp, 1, "page 1");
            second.assign(r.begin(), r.end());
        }
        owner = dp.owner;
    } catch (const JetException&) {
        // A damaged page 1 is rebuilt as the engine makes it.
    }
    w_.finish(plan.page0, owner, second);
    // An index begun again may have left pages past the end of the copy.
    if (abandonedEnd_ > alloc_.count()) out_.truncate(alloc_.count());
}

}  // namespace jet
