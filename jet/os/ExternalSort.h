// Sorting more records than memory holds. Records gather in memory up to a
// given number of bytes; each full load is sorted and written to a spill
// file as a run, and the runs are merged as the records are read back.
// Records that fit are never written anywhere. The order is a decision of
// the comparison alone: how many runs there were changes nothing in it
// (records that compare equal may come out in any order).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <queue>
#include <span>
#include <type_traits>
#include <vector>

#include "os/SpillFile.h"
#include "util/RadixSort.h"

namespace jet {

// Fixed-size records (numbers, pairs packed into numbers).
template <typename T, typename Less = std::less<T>>
class ExternalSorter {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    ExternalSorter(std::size_t memory, SpillFolders where, Less less = {})
        : capacity_(std::max<std::size_t>(memory / sizeof(T), 1024)),
          bytes_(memory),
          where_(std::move(where)),
          less_(less) {}

    void add(const T& v) {
        if (memory_.size() == capacity_) spill();
        if (memory_.size() == memory_.capacity() && memory_.capacity() * 2 > capacity_)
            memory_.reserve(capacity_);
        memory_.push_back(v);
        ++count_;
    }
    std::size_t size() const { return count_; }
    bool spilled() const { return !runs_.empty(); }
    // Whether the next record would be the first to go to a spill file.
    bool full() const { return runs_.empty() && memory_.size() == capacity_; }

    // Ends adding; the records then come out in order from next().
    void finish() {
        sortMemory();
        next_ = 0;
        if (runs_.empty()) return;
        const std::size_t each = std::max<std::size_t>(bytes_ / 4 / runs_.size(), 4096);
        for (Run& r : runs_) {
            r.reader = std::make_unique<SpillReader>(*file_, r.begin, r.end, each);
            if (pull(r)) heap_.push(&r);
        }
    }
    bool next(T& out) {
        if (runs_.empty()) {
            if (next_ == memory_.size()) return false;
            out = memory_[next_++];
            return true;
        }
        const bool fromMemory =
            next_ < memory_.size() && (heap_.empty() || !less_(heap_.top()->head, memory_[next_]));
        if (fromMemory) {
            out = memory_[next_++];
            return true;
        }
        if (heap_.empty()) return false;
        Run* r = heap_.top();
        heap_.pop();
        out = r->head;
        if (pull(*r)) heap_.push(r);
        return true;
    }
    // Empty again, for another sort; memory is kept.
    void clear() {
        memory_.clear();
        heap_ = {};
        runs_.clear();
        file_.reset();
        count_ = next_ = 0;
    }

  private:
    struct Run {
        uint64_t begin = 0, end = 0;
        std::unique_ptr<SpillReader> reader;
        T head{};
    };
    struct RunAfter {
        Less less;
        bool operator()(const Run* a, const Run* b) const { return less(b->head, a->head); }
    };

    // Numbers in their natural order sort by their bytes.
    void sortMemory() {
        if constexpr (std::is_unsigned_v<T> && std::is_same_v<Less, std::less<T>>) {
            radixSort(std::span<T>(memory_));
        } else {
            std::sort(memory_.begin(), memory_.end(), less_);
        }
    }
    void spill() {
        sortMemory();
        if (!file_) file_ = SpillFile::create(where_);
        Run r;
        r.begin = file_->size();
        file_->append(memory_.data(), memory_.size() * sizeof(T));
        r.end = file_->size();
        runs_.push_back(std::move(r));
        memory_.clear();
    }
    bool pull(Run& r) {
        if (r.reader->atEnd()) return false;
        std::memcpy(&r.head, r.reader->take(sizeof(T)), sizeof(T));
        return true;
    }

    std::size_t capacity_;  // records held in memory
    std::size_t bytes_;
    SpillFolders where_;
    Less less_;
    std::vector<T> memory_;
    std::unique_ptr<SpillFile> file_;
    std::vector<Run> runs_;
    std::priority_queue<Run*, std::vector<Run*>, RunAfter> heap_{RunAfter{less_}};
    std::size_t count_ = 0, next_ = 0;
};

// Records of any length (keys with their rows), ordered by less(a, b) on
// their bytes.
template <typename Less>
class RecordSorter {
    using ByteView = std::span<const uint8_t>;

  public:
    RecordSorter(std::size_t memory, SpillFolders where, Less less = {})
        : memory_(std::max<std::size_t>(memory, 64u << 10)),
          where_(std::move(where)),
          less_(less) {}

    void add(ByteView record) {
        if (!data_.empty() && held() + record.size() + 12 > memory_) spill();
        offsets_.push_back(data_.size());
        const uint32_t n = static_cast<uint32_t>(record.size());
        const auto* len = reinterpret_cast<const uint8_t*>(&n);
        data_.insert(data_.end(), len, len + 4);
        data_.insert(data_.end(), record.begin(), record.end());
        ++count_;
    }
    std::size_t size() const { return count_; }
    bool spilled() const { return !runs_.empty(); }

    void finish() {
        sortMemory();
        next_ = 0;
        const std::size_t each =
            runs_.empty() ? 0 : std::max<std::size_t>(memory_ / 4 / runs_.size(), 4096);
        for (Run& r : runs_) {
            r.reader = std::make_unique<SpillReader>(*file_, r.begin, r.end, each);
            if (pull(r)) heap_.push(&r);
        }
    }
    // The next record in order; its bytes last until the next call.
    bool next(ByteView& out) {
        if (taken_) {
            if (pull(*taken_)) heap_.push(taken_);
            taken_ = nullptr;
        }
        const bool fromMemory =
            next_ < offsets_.size() && (heap_.empty() || !less_(heap_.top()->head, at(next_)));
        if (fromMemory) {
            out = at(next_++);
            return true;
        }
        if (heap_.empty()) return false;
        taken_ = heap_.top();
        heap_.pop();
        out = taken_->head;
        return true;
    }

  private:
    struct Run {
        uint64_t begin = 0, end = 0;
        std::unique_ptr<SpillReader> reader;
        ByteView head;
    };
    struct RunAfter {
        Less less;
        bool operator()(const Run* a, const Run* b) const { return less(b->head, a->head); }
    };

    std::size_t held() const { return data_.size() + offsets_.size() * sizeof(uint64_t); }
    ByteView at(std::size_t i) const { return view(offsets_[i]); }
    void sortMemory() {
        std::sort(offsets_.begin(), offsets_.end(),
                  [&](uint64_t a, uint64_t b) { return less_(view(a), view(b)); });
    }
    ByteView view(uint64_t off) const {
        uint32_t n;
        std::memcpy(&n, data_.data() + off, 4);
        return ByteView(data_.data() + off + 4, n);
    }
    void spill() {
        sortMemory();
        if (!file_) file_ = SpillFile::create(where_);
        Run r;
        r.begin = file_->size();
        for (uint64_t off : offsets_) {
            uint32_t n;
            std::memcpy(&n, data_.data() + off, 4);
            file_->append(data_.data() + off, 4 + static_cast<std::size_t>(n));
        }
        r.end = file_->size();
        runs_.push_back(std::move(r));
        data_.clear();
        offsets_.clear();
    }
    bool pull(Run& r) {
        if (r.reader->atEnd()) return false;
        uint32_t n;
        std::memcpy(&n, r.reader->take(4), 4);
        r.head = ByteView(r.reader->take(n), n);
        return true;
    }

    std::size_t memory_;
    SpillFolders where_;
    Less less_;
    std::vector<uint8_t> data_;  // records as [length, 4 bytes][bytes]
    std::vector<uint64_t> offsets_;
    std::unique_ptr<SpillFile> file_;
    std::vector<Run> runs_;
    std::priority_queue<Run*, std::vector<Run*>, RunAfter> heap_{RunAfter{less_}};
    Run* taken_ = nullptr;  // the run whose head was given out last
    std::size_t count_ = 0, next_ = 0;
};

}  // namespace jet
