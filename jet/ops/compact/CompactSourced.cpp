// The compaction's reader for a table whose rows come from a row source
// (a table the repair salvaged or adds rows to): rows in batches as for any
// table, then each index's entries as the source made them, in one part.
// Where each row went is found from the slot the entries point to: the
// slots and the order the rows came in, sorted by slot.
#include "ops/compact/CopyReader.h"
#include "ops/compact/Outbox.h"
#include "util/Sizes.h"

namespace jet {

void CopyReader::readSourced(std::size_t ti) {
    const TablePlan& t = plan_.tables[ti];
    Outbox out(channel_, ti, pagesRead_);
    ExternalSorter<uint64_t> slots(plan_.shares.keyPairs, plan_.spill);  // slot << 32 | place
    uint64_t place = 0;
    bool cancelled = false;
    t.source->rows([&](RowPtr slot, RowPtr at, ByteView bytes) {
        RowJob& job = out.batch.rows.emplace_back();
        job.slot = slot;
        job.at = at;
        readRow(t, bytes, out.batch, job);
        slots.add(uint64_t{slot.toU32()} << 32 | place++);
        try {
            out.added();
        } catch (const ReaderCancelled&) {
            cancelled = true;
            return false;
        }
        return true;
    });
    if (cancelled) throw ReaderCancelled{};
    // The order the rows came in, by their number in slot order: held in
    // memory, as the source holds its entries.
    auto source = std::make_unique<SourceRows>();
    source->reordered = true;
    if (channel_.orders.reserve(place * 4)) source->orderMemory = place * 4;
    source->order.assign(sizeInMemory(place));
    slots.finish();
    uint32_t page = 0, last = 0xFFFFFFFFu;
    LiveSlots::Bits bits{};
    uint64_t rank = 0;
    for (uint64_t v; slots.next(v);) {
        const auto slot = static_cast<uint32_t>(v >> 32);
        if (slot == last) failDamage(damagedTable(*t.def), ": two rows share a place", slot >> 8);
        last = slot;
        const RowPtr r = RowPtr::fromU32(slot);
        if (r.page != page) {
            source->live.addPage(page, bits);
            page = r.page;
            bits = {};
        }
        bits[r.row >> 6] |= uint64_t{1} << (r.row & 63u);
        source->order[static_cast<std::size_t>(rank++)] = static_cast<uint32_t>(v);  // below place
    }
    source->live.addPage(page, bits);
    source->live.finish();
    passedPages(t, 1, 1);
    endTable(std::move(source), out);
    for (std::size_t i = 0; i < t.def->realIndexes.size(); ++i) {
        RowBatch part = channel_.spare.take(ti);
        part.index = static_cast<int>(i);
        part.indexEnd = true;
        part.entries = t.source->entries(i);
        part.pagesRead = pagesRead_;
        const std::size_t held = part.bytes();
        if (!channel_.batches.push(std::move(part), held)) throw ReaderCancelled{};
    }
}

}  // namespace jet
