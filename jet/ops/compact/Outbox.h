// The reader's side of the channel between the compaction's reader and
// copier: the batch being filled, sent on once full.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "ops/compact/CopyChannel.h"

namespace jet {

// The copier stopped taking batches: the reader ends quietly.
struct ReaderCancelled {};

// The batch being filled, and the channel it goes to once full.
class Outbox {
  public:
    static constexpr std::size_t kBatchRows = 256;
    static constexpr std::size_t kBatchBytes = 1u << 20;

    // pagesRead: the reader's count, sent with each batch.
    Outbox(CopyChannel& channel, std::size_t table, const uint64_t& pagesRead)
        : batch(channel.spare.take(table)),
          channel_(channel),
          table_(table),
          pagesRead_(pagesRead) {}
    // After a row was read into the batch: sends it on when full.
    void added() {
        if (batch.rows.size() >= kBatchRows || batch.bytes() >= kBatchBytes) send();
    }
    // Sends the batch on; another is taken to fill unless it was the last.
    void send(bool more = true) {
        const std::size_t held = batch.bytes();
        batch.pagesRead = pagesRead_;
        if (!channel_.batches.push(std::move(batch), held)) throw ReaderCancelled{};
        if (more) batch = channel_.spare.take(table_);
    }

    RowBatch batch;  // being filled

  private:
    CopyChannel& channel_;
    std::size_t table_;
    const uint64_t& pagesRead_;
};

}  // namespace jet
