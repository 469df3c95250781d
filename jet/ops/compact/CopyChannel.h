// What the compaction's reader and copier share, and all they share: the
// channel the batches go through, the spare batches they come back to, and
// what is left of the memory for orders of rows. Each is safe on its own:
// the channel and the spare batches under a mutex of their own, the budget
// an atomic count.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ops/compact/RowBatch.h"
#include "util/Channel.h"
#include "util/ThreadSafety.h"

namespace jet {

// Batches the copier is done with, for the reader to fill again: their
// buffers keep the memory they grew to.
class SpareBatches {
  public:
    // An empty batch for the table, a spare one when there is one.
    RowBatch take(std::size_t table) EXCLUDES(mutex_);
    void give(RowBatch&& b) EXCLUDES(mutex_);

  private:
    static constexpr std::size_t kMost = 16;
    Mutex mutex_;
    std::vector<RowBatch> spare_ GUARDED_BY(mutex_);
};

// What is left of the share for orders of rows: the reader takes from it
// for a table, the copier gives it back once the table's indexes are
// written; an order that does not fit goes to a spill file.
class OrderBudget {
  public:
    explicit OrderBudget(std::size_t bytes) : left_(static_cast<int64_t>(bytes)) {}
    bool reserve(uint64_t bytes);
    void release(uint64_t bytes) { left_ += static_cast<int64_t>(bytes); }

  private:
    std::atomic<int64_t> left_;
};

struct CopyChannel {
    explicit CopyChannel(std::size_t orderShare) : orders(orderShare) {}
    // Rows read ahead of the copier: enough to keep the reader going while
    // the copier rebuilds a table's indexes.
    static constexpr std::size_t kBytesInFlight = 12u << 20;
    Channel<RowBatch> batches{kBytesInFlight};
    SpareBatches spare;
    OrderBudget orders;
};

}  // namespace jet
