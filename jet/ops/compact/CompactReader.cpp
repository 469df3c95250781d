// The compaction's reader: rows, long values and index trees of the source,
// in the order they are written, handed to the writer in batches.
#include <algorithm>

#include "format/DataPage.h"
#include "format/LongValue.h"
#include "format/UsageMap.h"
#include "ops/compact/Compactor.h"

namespace jet {

// Reads a row for the copy into the batch: table Ids and SIDs
// rewritten, the long values it holds read whole.
void Compactor::readRow(TablePlan& t, ByteView bytes, RowBatch& batch, RowJob& job) {
    const TableDef& def = *t.def;
    const RowPtr at = job.at;
    const RowView rv = crackRow(def, bytes, at.page, at.row);
    Bytes& data = batch.data;
    const std::size_t rowOff = data.size();
    data.insert(data.end(), bytes.begin(), bytes.end());
    job.rowOff = static_cast<uint32_t>(rowOff);
    job.rowLen = static_cast<uint32_t>(bytes.size());
    auto inCopy = [&](ByteView part) {
        return data.data() + rowOff + static_cast<std::size_t>(part.data() - bytes.data());
    };
    for (const Column* c : t.idColumns) {
        auto b = columnBytes(def, *c, rv, at.page, at.row);
        if (b && b->size() == 4) {
            auto it = tdefMap_.find(u32(*b, 0));
            if (it != tdefMap_.end()) put32(inCopy(*b), it->second);
        }
    }
    if (oldSidKey_ != newSidKey_) {
        for (const Column* c : t.sidColumns) {
            auto b = columnBytes(def, *c, rv, at.page, at.row);
            if (b && !b->empty()) {
                applySidMask(oldSidKey_, inCopy(*b), b->size());
                applySidMask(newSidKey_, inCopy(*b), b->size());
            }
        }
    }

    // The long values the row holds, read whole (Ids and SIDs are never
    // long values, so their slots are the source's).
    const std::size_t nLv = t.lvColumns.size();
    job.firstValue = static_cast<uint32_t>(batch.values.size());
    batch.values.resize(batch.values.size() + nLv);
    if (def.numVar > 0) {
        for (std::size_t k = 0; k < nLv; ++k) {
            const Column* c = t.lvColumns[k];
            if (c->varIndex >= rv.varSlots.size() || !rv.notNull(c->number)) continue;
            auto [start, end] = rv.varSlots[c->varIndex];
            if (start == end) continue;
            const std::size_t off = data.size();
            appendLongValue(file_, bytes.subspan(start, end - start), at.page, at.row, data);
            if (data.size() > UINT32_MAX)  // each value is bounded by the file, not their sum
                failDamage("table '" + def.name + "': the row's long values are too large", at.page,
                           at.row);
            batch.values[job.firstValue + k] = {static_cast<uint32_t>(off),
                                                static_cast<uint32_t>(data.size() - off), true};
        }
    }

    // The digest of what the row holds, from the batch just filled (its
    // values still in this thread's cache); a long column of another
    // shape is read here.
    RowView patched = rv;
    patched.bytes = batch.row(job);
    t.digest.add(rowDigest(def, patched, at.page, at.row, [&](const Column& c, ByteView slot) {
        std::size_t k = 0;
        while (k < nLv && t.lvColumns[k] != &c) ++k;
        if (k < nLv && batch.extent(job, k).active) return batch.value(job, k);
        readLongValueInto(file_, slot, at.page, at.row, otherValue_);
        return ByteView(otherValue_);
    }));
}

// Reads every table's rows in the order they are written (primary-key
// order when there is a primary key, page order otherwise) on its own
// thread, and hands them over in batches, each table's index trees
// after its rows.
void Compactor::readTables(Channel<RowBatch>& full) {
    for (std::size_t ti = 0; ti < tables_.size(); ++ti) {
        if (!readTable(ti, full)) return;
    }
}

bool Compactor::readTable(std::size_t ti, Channel<RowBatch>& full) {
    TablePlan& t = tables_[ti];
    if (t.source) return readSourced(ti, full);
    const TableDef& def = *t.def;
    RowBatch batch = spareBatch(ti);
    auto take = [&](RowPtr slot) {
        RowJob& job = batch.rows.emplace_back();
        job.slot = slot;
        PageRef holder;
        ByteView bytes = src_.fetchRow(def, slot, holder, &job.at);
        refuseTorn(def, *holder, bytes, job.at);
        readRow(t, bytes, batch, job);
        const std::size_t held = batch.bytes();
        if (batch.rows.size() < kBatchRows && held < kBatchBytes) return true;
        if (!full.push(std::move(batch), held)) return false;
        batch = spareBatch(ti);
        return true;
    };
    // The pages the table's map lists; those that are not its data pages
    // are passed over where another table owns and lists them.
    std::vector<uint32_t> mapPages;
    if (!def.ownedMap.isNull()) {
        mapPages =
            readUsageMap(file_, def.ownedMap, ("table '" + def.name + "' owned pages").c_str())
                .pages;
    }
    auto ownPage = [&](uint32_t p, PageRef& page) {
        page = file_.page(p);
        return isDataPageOf(*page, def.firstPage);
    };
    auto liveRows = [](const DataPage& dp) {
        std::size_t n = 0;
        for (const Slot& s : dp.slots) n += s.deleted ? 0 : 1;
        return n;
    };

    const LogicalIndex* pk = def.primaryKey();
    PackedEntries primaryKey;  // as read for the order of the rows
    if (!pk) {
        uint64_t taken = 0;
        for (uint32_t p : mapPages) {
            PageRef page;
            if (!ownPage(p, page)) {
                refuseLostPage(def, p, *page);
                continue;
            }
            const DataPage dp = parseDataPage(*page, p);
            for (std::size_t i = 0; i < dp.slots.size(); ++i) {
                if (dp.slots[i].deleted) continue;
                if (!take({p, static_cast<uint8_t>(i)})) return false;
                ++taken;
            }
        }
        if (taken < def.rowCount) refuseIfPagesMissing(def, mapPages, taken);
    } else {
        // The primary key must list each live row once. Its entries give
        // the order; each row's page is counted as it is first met, and
        // pages it never meets must hold no live row.
        const RealIndex& ri = def.realIndexes[pk->realIndex];
        // The entries are kept, and passed on after the rows for the
        // writer to rebuild the key from.
        readTree(def, ri, "table '" + def.name + "', primary key");
        primaryKey = std::move(readerEntries_);
        const std::vector<PackedEntries::Entry>& order = primaryKey.entries;
        auto notExactly = [&] {
            failDamage(
                "table '" + def.name + "': the primary key does not list exactly the table's rows",
                ri.rootPage);
        };
        {
            std::vector<uint32_t> rows;
            rows.reserve(order.size());
            for (const auto& e : order) rows.push_back(e.row.toU32());
            std::sort(rows.begin(), rows.end());
            if (std::adjacent_find(rows.begin(), rows.end()) != rows.end()) notExactly();
        }
        std::sort(mapPages.begin(), mapPages.end());
        std::vector<bool> met(file_.pageCount(), false);
        std::size_t live = 0;
        for (const auto& e : order) {
            const RowPtr row = e.row;
            const uint32_t p = row.page;
            if (p < met.size() && !met[p]) {
                PageRef page;
                if (!std::binary_search(mapPages.begin(), mapPages.end(), p) || !ownPage(p, page))
                    notExactly();
                live += liveRows(parseDataPage(*page, p));
                met[p] = true;
            }
            if (!take(row)) return false;
        }
        for (uint32_t p : mapPages) {
            PageRef page;
            if (p >= met.size() || met[p]) continue;
            if (!ownPage(p, page)) {
                refuseLostPage(def, p, *page);
                continue;
            }
            if (liveRows(parseDataPage(*page, p)) != 0) notExactly();
        }
        if (live != order.size()) notExactly();
    }
    batch.tableEnd = true;
    const std::size_t bytes = batch.bytes();
    if (!full.push(std::move(batch), bytes)) return false;
    // Then each index as the source holds it, read here while the writer
    // is still busy with the rows: the writer only maps the entries to
    // where the rows went and writes the tree.
    for (std::size_t i = 0; i < def.realIndexes.size(); ++i) {
        RowBatch tree = spareBatch(ti);
        tree.index = static_cast<int>(i);
        if (pk && i == static_cast<std::size_t>(pk->realIndex)) {
            tree.entries = std::move(primaryKey);
        } else {
            readTree(def, def.realIndexes[i], "table '" + def.name + "', index");
            tree.entries = std::move(readerEntries_);
        }
        const std::size_t held = tree.bytes();
        if (!full.push(std::move(tree), held)) return false;
    }
    return true;
}

// Reads an index tree of the source into readerEntries_, into buffers
// kept from an earlier tree when there are some.
void Compactor::readTree(const TableDef& def, const RealIndex& ri, const std::string& where) {
    readerEntries_ = takeEntries();
    readIndexTreePacked(file_, ri.rootPage, def.firstPage, where, readerTree_, readerEntries_);
}

// Entry vectors go round between the reader and the writer: a large
// tree's entries take tens of megabytes, which the system would
// otherwise map afresh, and fault in page by page, for every tree.
PackedEntries Compactor::takeEntries() {
    std::lock_guard<std::mutex> lock(spareMutex_);
    if (spareEntries_.empty()) return {};
    PackedEntries v = std::move(spareEntries_.back());
    spareEntries_.pop_back();
    return v;
}

void Compactor::giveBackEntries(PackedEntries&& v) {
    v.clear();
    std::lock_guard<std::mutex> lock(spareMutex_);
    if (spareEntries_.size() < kSpareEntries) spareEntries_.push_back(std::move(v));
}

RowBatch Compactor::spareBatch(std::size_t table) {
    RowBatch b;
    {
        std::lock_guard<std::mutex> lock(spareMutex_);
        if (!spare_.empty()) {
            b = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    b.table = table;
    b.rows.clear();
    b.values.clear();
    b.data.clear();
    b.tableEnd = false;
    b.index = -1;
    b.entries.clear();
    return b;
}

void Compactor::recycle(RowBatch&& b) {
    if (b.entries.entries.capacity() != 0) giveBackEntries(std::move(b.entries));
    b.entries = {};
    std::lock_guard<std::mutex> lock(spareMutex_);
    if (spare_.size() < kSpareBatches) spare_.push_back(std::move(b));
}

}  // namespace jet
