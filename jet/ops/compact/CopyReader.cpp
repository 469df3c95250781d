// The compaction's reader: rows, long values and index trees of the source,
// in the order they are written, handed to the copier in batches.
#include "ops/compact/CopyReader.h"

#include <algorithm>
#include <utility>

#include "format/DataPage.h"
#include "format/LongValue.h"
#include "format/UsageMap.h"
#include "ops/compact/Outbox.h"
#include "ops/compact/RowRuns.h"

namespace jet {

// Reads a row for the copy into the batch: table Ids and SIDs
// rewritten, the long values it holds read whole.
void CopyReader::readRow(const TablePlan& t, ByteView bytes, RowBatch& batch, RowJob& job) {
    const RowView rv = crackRow(*t.def, bytes, job.at.page, job.at.row);
    Bytes& data = batch.data;
    const std::size_t rowOff = data.size();
    data.insert(data.end(), bytes.begin(), bytes.end());
    job.rowOff = static_cast<uint32_t>(rowOff);
    job.rowLen = static_cast<uint32_t>(bytes.size());
    rewriteIds(t, rv, job.at, data.data() + rowOff);
    readLongValues(t, rv, batch, job);
    digestRow(t, rv, batch, job);
}

// Table Ids pointed at the tables' new definitions and SIDs masked with
// the copy's key, in the row's copy at 'copy' (rv reads the source's bytes).
void CopyReader::rewriteIds(const TablePlan& t, const RowView& rv, RowPtr at, uint8_t* copy) const {
    const TableDef& def = *t.def;
    auto inCopy = [&](ByteView part) {
        return copy + static_cast<std::size_t>(part.data() - rv.bytes.data());
    };
    for (const Column* c : t.idColumns) {
        auto b = columnBytes(def, *c, rv, at.page, at.row);
        if (b && b->size() == 4) {
            auto it = plan_.tableIds.find(u32(*b, 0));
            if (it != plan_.tableIds.end()) put32(inCopy(*b), it->second);
        }
    }
    if (plan_.oldSidKey == plan_.newSidKey) return;
    for (const Column* c : t.sidColumns) {
        auto b = columnBytes(def, *c, rv, at.page, at.row);
        if (b && !b->empty()) {
            applySidMask(plan_.oldSidKey, inCopy(*b), b->size());
            applySidMask(plan_.newSidKey, inCopy(*b), b->size());
        }
    }
}

// The long values the row holds, read whole after it into the batch (Ids
// and SIDs are never long values, so their slots are the source's).
void CopyReader::readLongValues(const TablePlan& t, const RowView& rv, RowBatch& batch,
                                RowJob& job) {
    const TableDef& def = *t.def;
    const RowPtr at = job.at;
    Bytes& data = batch.data;
    const std::size_t nLv = t.lvColumns.size();
    job.firstValue = static_cast<uint32_t>(batch.values.size());
    batch.values.resize(batch.values.size() + nLv);
    if (def.numVar == 0) return;
    for (std::size_t k = 0; k < nLv; ++k) {
        const Column* c = t.lvColumns[k];
        if (c->varIndex >= rv.varSlots.size() || !rv.notNull(c->number)) continue;
        auto [start, end] = rv.varSlots[c->varIndex];
        if (start == end) continue;
        const std::size_t off = data.size();
        appendLongValue(file_, rv.bytes.subspan(start, end - start), at.page, at.row, data);
        if (data.size() > UINT32_MAX)  // each value is bounded by the file, not their sum
            failDamage(damagedTable(def), ": the row's long values are too large", at.page, at.row);
        batch.values[job.firstValue + k] = {static_cast<uint32_t>(off),
                                            static_cast<uint32_t>(data.size() - off), true};
    }
}

// The digest of what the row holds, from the batch just filled (its
// values still in this thread's cache); a long column of another
// shape is read here.
void CopyReader::digestRow(const TablePlan& t, const RowView& rv, const RowBatch& batch,
                           const RowJob& job) {
    const RowPtr at = job.at;
    const std::size_t nLv = t.lvColumns.size();
    RowView patched = rv;
    patched.bytes = batch.row(job);
    digest_.add(rowDigest(*t.def, patched, at.page, at.row, [&](const Column& c, ByteView slot) {
        std::size_t k = 0;
        while (k < nLv && t.lvColumns[k] != &c) ++k;
        if (k < nLv && batch.extent(job, k).active) return batch.value(job, k);
        readLongValueInto(file_, slot, at.page, at.row, otherValue_);
        return ByteView(otherValue_);
    }));
}

// Reads every table's rows in the order they are written (primary-key
// order when there is a primary key, page order otherwise), and hands them
// over in batches, each table's index entries after its rows.
void CopyReader::readTables() {
    try {
        for (std::size_t ti = 0; ti < plan_.tables.size(); ++ti)
            withinTable(damagedTable(*plan_.tables[ti].def), [&] { readTable(ti); });
    } catch (const ReaderCancelled&) {
    } catch (...) {
        // The copier then sees the rows end early: this error says why.
        channel_.batches.close();
        throw;
    }
    channel_.batches.close();
}

void CopyReader::readTable(std::size_t ti) {
    const TablePlan& t = plan_.tables[ti];
    digest_.layout = layoutDigest(*t.def);
    if (t.source) return readSourced(ti);
    const TableDef& def = *t.def;
    // The pages the table's map lists; those that are not its data pages
    // are passed over where another table owns and lists them.
    std::vector<uint32_t> mapPages;
    if (!def.ownedMap.isNull()) {
        mapPages =
            readUsageMap(file_, def.ownedMap, ("table '" + def.name + "' owned pages").c_str())
                .pages;
    }
    Outbox out(channel_, ti, pagesRead_);
    auto source = std::make_unique<SourceRows>();
    overflowTargets_.clear();
    if (def.primaryKey()) {
        readInKeyOrder(t, mapPages, *source, out);
    } else {
        readInPageOrder(t, mapPages, *source, out);
    }
    refuseSharedTargets(def);
    source->live.finish();
    passedPages(t, 1, 1);
    endTable(std::move(source), out);
    // Then each index as the source holds it, entries a part at a time,
    // read here while the copier is still busy with what came before: the
    // copier points them to where the rows went and writes the tree.
    for (std::size_t i = 0; i < def.realIndexes.size(); ++i) sendIndex(ti, i);
}

// The table's last batch, with where its rows were read and its digest.
void CopyReader::endTable(std::unique_ptr<SourceRows> source, Outbox& out) {
    out.batch.tableEnd = true;
    out.batch.source = std::move(source);
    out.batch.digest = std::exchange(digest_, TableDigest{});
    out.send(false);
}

void CopyReader::passedPages(const TablePlan& t, std::size_t done, std::size_t count) {
    if (count == 0 || done > count) return;
    pagesRead_ = std::max(pagesRead_, t.pagesBefore + t.rowPages * done / count);
}

void CopyReader::passedIndex(const TablePlan& t, std::size_t i) {
    uint64_t n = t.pagesBefore + t.rowPages;
    for (std::size_t k = 0; k <= i && k < t.indexPages.size(); ++k) n += t.indexPages[k];
    pagesRead_ = std::max(pagesRead_, n);
}

// Reads a row into the batch.
void CopyReader::take(const TablePlan& t, RowPtr slot, RowBatch& batch) {
    RowJob& job = batch.rows.emplace_back();
    job.slot = slot;
    PageRef holder;
    ByteView bytes = src_.fetchRow(*t.def, slot, holder, &job.at);
    if (job.at != slot) overflowTargets_.push_back(job.at.toU32());
    refuseTorn(*t.def, *holder, bytes, job.at);
    readRow(t, bytes, batch, job);
}

void CopyReader::readInPageOrder(const TablePlan& t, const std::vector<uint32_t>& mapPages,
                                 SourceRows& source, Outbox& out) {
    const TableDef& def = *t.def;
    uint64_t taken = 0;
    std::size_t passed = 0;
    for (uint32_t p : mapPages) {
        passedPages(t, passed++, mapPages.size());
        PageRef page = file_.page(p);
        if (!isDataPageOf(*page, def.firstPage)) {
            refuseLostPage(def, p, *page);
            continue;
        }
        const DataPage dp = parseDataPage(*page, p);
        source.live.addPage(p, dp);
        for (std::size_t i = 0; i < dp.slots.size(); ++i) {
            if (dp.slots[i].deleted) continue;
            take(t, {p, static_cast<uint8_t>(i)}, out.batch);
            out.added();
            ++taken;
        }
    }
    if (taken < def.rowCount) refuseIfPagesMissing(def, mapPages, taken);
}

void CopyReader::sendIndex(std::size_t ti, std::size_t i) {
    const TableDef& def = *plan_.tables[ti].def;
    Outbox out(channel_, ti, pagesRead_);
    out.batch.index = static_cast<int>(i);
    walkIndexTreeParts(file_, def.realIndexes[i].rootPage, def.firstPage,
                       "table '" + def.name + "', index", tree_,
                       [&](ByteView a, ByteView b, RowPtr row) {
                           PackedEntries& e = out.batch.entries;
                           const std::size_t off = e.keys.size();
                           e.entries.push_back({static_cast<uint32_t>(off),
                                                static_cast<uint32_t>(a.size() + b.size()), row});
                           if (e.keys.capacity() < off + a.size() + b.size())
                               e.keys.reserve(std::max<std::size_t>(2 * e.keys.capacity(), 4096));
                           e.keys.insert(e.keys.end(), a.begin(), a.end());
                           e.keys.insert(e.keys.end(), b.begin(), b.end());
                           if (out.batch.bytes() < Outbox::kBatchBytes) return;
                           out.send();
                           out.batch.index = static_cast<int>(i);
                       });
    passedIndex(plan_.tables[ti], i);
    out.batch.indexEnd = true;
    out.send(false);
}

}  // namespace jet
