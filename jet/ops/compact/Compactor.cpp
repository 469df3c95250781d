#include "ops/compact/Compactor.h"

#include "ops/compact/CopyChannel.h"
#include "ops/compact/CopyReader.h"
#include "util/Background.h"

namespace jet {

void Compactor::prepare() {
    std::vector<PlannedTable> tables = chosen_ ? std::move(chosen_->tables) : catalogueTables(src_);
    const std::vector<uint32_t> gone = chosen_ ? std::move(chosen_->gone) : std::vector<uint32_t>{};
    plan_ =
        planCopy(src_, copier_.writer(), std::move(tables), gone, newPassword_, shares_, spill_);
    weighTables(plan_, src_.file());
}

// The reader on a thread of its own, with the source; the copier here; the
// channel between them. Once the reader is done, the source is this
// thread's again.
CompactResult Compactor::run() {
    const CopyPlan& plan = plan_;
    // The header first, so that the copy can be opened (and a finished
    // table checked) while later tables are written; finish() writes it
    // again, the same.
    out_.write(0, plan.page0);
    CopyChannel channel(plan.shares.rowOrders);
    Background reader;
    reader.start([&plan, &src = src_, &channel] { CopyReader(plan, src, channel).readTables(); });
    try {
        copier_.copyTables(plan, src_, channel);
    } catch (...) {
        // A failed reader closes the channel, so the copier then only sees
        // the rows end early: the reader's error says what happened.
        channel.batches.cancel();
        reader.wait();
        throw;
    }
    reader.wait();
    copier_.finish(plan, src_.file());
    CompactResult r;
    r.sourcePages = src_.file().pageCount();
    r.destinationPages = copier_.writer().alloc().count();
    return r;
}

std::map<uint32_t, std::pair<std::string, TableDigest>> Compactor::expected() const {
    std::map<uint32_t, std::pair<std::string, TableDigest>> out;
    const std::vector<TableDigest>& digests = copier_.digests();
    for (std::size_t i = 0; i < plan_.tables.size() && i < digests.size(); ++i) {
        const TablePlan& t = plan_.tables[i];
        out[t.newPages.front()] = {t.def->name, digests[i]};
    }
    return out;
}

}  // namespace jet
