#include "read/LiveSlots.h"

#include <algorithm>

namespace jet {

void LiveSlots::clear() {
    pages_.clear();
    bits_.clear();
    before_.clear();
    index_.clear();
    count_ = 0;
    dense_ = false;
}

void LiveSlots::addPage(uint32_t page, const DataPage& dp) {
    Bits b{};
    for (std::size_t i = 0; i < dp.slots.size(); ++i) {
        if (!dp.slots[i].deleted) b[i >> 6] |= uint64_t{1} << (i & 63u);
    }
    addPage(page, b);
}

void LiveSlots::addPage(uint32_t page, const Bits& live) {
    if (live == Bits{}) return;
    pages_.push_back(page);
    bits_.push_back(live);
}

void LiveSlots::finish() {
    if (!std::is_sorted(pages_.begin(), pages_.end())) {
        std::vector<std::size_t> order(pages_.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(),
                  [&](std::size_t a, std::size_t b) { return pages_[a] < pages_[b]; });
        std::vector<uint32_t> pages(pages_.size());
        std::vector<Bits> bits(bits_.size());
        for (std::size_t i = 0; i < order.size(); ++i) {
            pages[i] = pages_[order[i]];
            bits[i] = bits_[order[i]];
        }
        pages_ = std::move(pages);
        bits_ = std::move(bits);
    }
    before_.resize(pages_.size());
    count_ = 0;
    for (std::size_t i = 0; i < pages_.size(); ++i) {
        before_[i] = static_cast<uint32_t>(count_);
        for (uint64_t w : bits_[i]) count_ += static_cast<uint64_t>(__builtin_popcountll(w));
    }
    index_.clear();
    dense_ = false;
    if (pages_.empty()) return;
    lo_ = pages_.front();
    const std::size_t range = pages_.back() - lo_ + 1u;
    // Four bytes for each page of the range: worth it unless the pages are
    // scattered far apart.
    if (range > 4 * pages_.size() + 1024) return;
    index_.assign(range, 0);
    for (std::size_t i = 0; i < pages_.size(); ++i)
        index_[pages_[i] - lo_] = static_cast<uint32_t>(i + 1);
    dense_ = true;
}

}  // namespace jet
