// The reader's side of the channel between the compaction's reader and
// writer: the batch being filled, sent on once full.
#pragma once

#include "ops/compact/Compactor.h"

namespace jet {

// The writer stopped taking batches: the reader ends quietly.
struct ReaderCancelled {};

// The batch being filled, and the channel it goes to once full.
struct Compactor::Outbox {
    Outbox(Compactor& owner, Channel<RowBatch>& channel, std::size_t ti)
        : c(owner), full(channel), table(ti), batch(owner.spareBatch(ti)) {}
    // After a row was read into the batch: sends it on when full.
    void added() {
        if (batch.rows.size() >= kBatchRows || batch.bytes() >= kBatchBytes) send();
    }
    // Sends the batch on; another is taken to fill unless it was the last.
    void send(bool more = true) {
        const std::size_t held = batch.bytes();
        if (!full.push(std::move(batch), held)) throw ReaderCancelled{};
        if (more) batch = c.spareBatch(table);
    }
    Compactor& c;
    Channel<RowBatch>& full;
    std::size_t table;
    RowBatch batch;
};

}  // namespace jet
