#include "ops/compact/RowRuns.h"

#include <algorithm>
#include <cstring>
#include <queue>
#include <span>

#include "util/RadixSort.h"

namespace jet {

namespace {
constexpr uint32_t kNoValue = 0xFFFFFFFFu;  // a long-value column the row holds nothing in
}

void RowRuns::placed(uint32_t place) {
    places_.push_back(uint64_t{place} << 32 | places_.size());
    if (stage_.bytes() >= memory_) spill();
}

// The stage's rows by place: each place, with its row's number beside it,
// sorted in place as a number.
void RowRuns::sortStage() { radixSort(std::span<uint64_t>(places_)); }

// A run holds its rows in order of place, each as its place, slot, where its
// bytes were, their length and the length of each long value (kNoValue
// for none), then the row's bytes and the values' bytes.
void RowRuns::spill() {
    sortStage();
    if (!file_) file_ = SpillFile::create(where_);
    Run r;
    r.begin = file_->size();
    std::vector<uint32_t> head(4 + longValues_);
    for (uint64_t placed : places_) {
        const auto i = static_cast<uint32_t>(placed);
        const RowJob& j = stage_.rows[i];
        head[0] = static_cast<uint32_t>(placed >> 32);
        head[1] = j.slot.toU32();
        head[2] = j.at.toU32();
        head[3] = j.rowLen;
        for (std::size_t k = 0; k < longValues_; ++k) {
            const LongValueExtent& e = stage_.extent(j, k);
            head[4 + k] = e.active ? e.len : kNoValue;
        }
        file_->append(head.data(), head.size() * 4);
        const ByteView row = stage_.row(j);
        file_->append(row.data(), row.size());
        for (std::size_t k = 0; k < longValues_; ++k) {
            if (!stage_.extent(j, k).active) continue;
            const ByteView v = stage_.value(j, k);
            file_->append(v.data(), v.size());
        }
    }
    r.end = file_->size();
    runs_.push_back(std::move(r));
    stage_.rows.clear();
    stage_.values.clear();
    stage_.data.clear();
    places_.clear();
}

bool RowRuns::pull(Run& r) {
    if (r.reader->atEnd()) return false;
    std::memcpy(&r.head, r.reader->take(4), 4);
    return true;
}

void RowRuns::copyFromStage(const RowBatch& from, std::size_t i, std::size_t longValues,
                            RowBatch& to) {
    const RowJob& j = from.rows[i];
    RowJob& job = to.rows.emplace_back();
    job.slot = j.slot;
    job.at = j.at;
    const ByteView row = from.row(j);
    job.rowOff = static_cast<uint32_t>(to.data.size());
    job.rowLen = j.rowLen;
    to.data.insert(to.data.end(), row.begin(), row.end());
    job.firstValue = static_cast<uint32_t>(to.values.size());
    to.values.resize(to.values.size() + longValues);
    for (std::size_t k = 0; k < longValues; ++k) {
        if (!from.extent(j, k).active) continue;
        const ByteView v = from.value(j, k);
        to.values[job.firstValue + k] = {static_cast<uint32_t>(to.data.size()),
                                         static_cast<uint32_t>(v.size()), true};
        to.data.insert(to.data.end(), v.begin(), v.end());
    }
}

void RowRuns::copyFromRun(Run& r, RowBatch& to) {
    std::vector<uint32_t>& head = head_;
    head.resize(3 + longValues_);
    std::memcpy(head.data(), r.reader->take(head.size() * 4), head.size() * 4);
    RowJob& job = to.rows.emplace_back();
    job.slot = RowPtr::fromU32(head[0]);
    job.at = RowPtr::fromU32(head[1]);
    job.rowLen = head[2];
    job.rowOff = static_cast<uint32_t>(to.data.size());
    const uint8_t* row = r.reader->take(job.rowLen);
    to.data.insert(to.data.end(), row, row + job.rowLen);
    job.firstValue = static_cast<uint32_t>(to.values.size());
    to.values.resize(to.values.size() + longValues_);
    for (std::size_t k = 0; k < longValues_; ++k) {
        const uint32_t len = head[3 + k];
        if (len == kNoValue) continue;
        const uint8_t* v = r.reader->take(len);
        to.values[job.firstValue + k] = {static_cast<uint32_t>(to.data.size()), len, true};
        to.data.insert(to.data.end(), v, v + len);
    }
}

void RowRuns::drain(FunctionRef<RowBatch&()> next, FunctionRef<void()> added) {
    sortStage();
    auto after = [](const Run* a, const Run* b) { return a->head > b->head; };
    std::priority_queue<Run*, std::vector<Run*>, decltype(after)> heap(after);
    if (!runs_.empty()) {
        const std::size_t each = std::max<std::size_t>(memory_ / 4 / runs_.size(), 4096);
        for (Run& r : runs_) {
            r.reader = std::make_unique<SpillReader>(*file_, r.begin, r.end, each);
            if (pull(r)) heap.push(&r);
        }
    }
    std::size_t m = 0;  // next of the stage's rows, by place
    while (m < places_.size() || !heap.empty()) {
        if (m < places_.size() && (heap.empty() || (places_[m] >> 32) < heap.top()->head)) {
            copyFromStage(stage_, static_cast<uint32_t>(places_[m++]), longValues_, next());
        } else {
            Run* r = heap.top();
            heap.pop();
            copyFromRun(*r, next());
            if (pull(*r)) heap.push(r);
        }
        added();
    }
}

}  // namespace jet
