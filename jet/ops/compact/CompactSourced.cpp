// The compaction's reader for a table whose rows come from a row source
// (a table the repair salvaged or adds rows to): rows in batches as for any
// table, then each index's entries as the source made them.
#include "ops/compact/Compactor.h"

namespace jet {

bool Compactor::readSourced(std::size_t ti, Channel<RowBatch>& full) {
    TablePlan& t = tables_[ti];
    RowBatch batch = spareBatch(ti);
    const bool all = t.source->rows([&](RowPtr slot, RowPtr at, ByteView bytes) {
        RowJob& job = batch.rows.emplace_back();
        job.slot = slot;
        job.at = at;
        readRow(t, bytes, batch, job);
        const std::size_t held = batch.bytes();
        if (batch.rows.size() < kBatchRows && held < kBatchBytes) return true;
        if (!full.push(std::move(batch), held)) return false;
        batch = spareBatch(ti);
        return true;
    });
    if (!all) return false;
    batch.tableEnd = true;
    const std::size_t bytes = batch.bytes();
    if (!full.push(std::move(batch), bytes)) return false;
    for (std::size_t i = 0; i < t.def->realIndexes.size(); ++i) {
        RowBatch tree = spareBatch(ti);
        tree.index = static_cast<int>(i);
        tree.entries = t.source->entries(i);
        const std::size_t held = tree.bytes();
        if (!full.push(std::move(tree), held)) return false;
    }
    return true;
}

}  // namespace jet
