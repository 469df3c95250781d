#include "ops/compact/CopyChannel.h"

#include <utility>

namespace jet {

RowBatch SpareBatches::take(std::size_t table) {
    RowBatch b;
    {
        MutexLock lock(mutex_);
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
    b.source.reset();
    b.digest = {};
    b.index = -1;
    b.indexEnd = false;
    b.entries.clear();
    b.pagesRead = 0;
    return b;
}

void SpareBatches::give(RowBatch&& b) {
    b.source.reset();
    MutexLock lock(mutex_);
    if (spare_.size() < kMost) spare_.push_back(std::move(b));
}

bool OrderBudget::reserve(uint64_t bytes) {
    int64_t left = left_.load();
    while (left >= static_cast<int64_t>(bytes)) {
        if (left_.compare_exchange_weak(left, left - static_cast<int64_t>(bytes))) return true;
    }
    return false;
}

}  // namespace jet
