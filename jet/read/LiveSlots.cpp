#include "read/LiveSlots.h"

#include <algorithm>

namespace jet {

void LiveSlots::clear() {
    pages_.clear();
    adding_.clear();
    info_.clear();
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
    adding_.push_back(live);
}

void LiveSlots::finish() {
    std::vector<std::size_t> order(pages_.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    if (!std::is_sorted(pages_.begin(), pages_.end())) {
        std::sort(order.begin(), order.end(),
                  [&](std::size_t a, std::size_t b) { return pages_[a] < pages_[b]; });
    }
    std::vector<uint32_t> pages(pages_.size());
    for (std::size_t i = 0; i < order.size(); ++i) pages[i] = pages_[order[i]];
    info_.clear();
    dense_ = false;
    // Forty bytes for each page of the range: worth it unless the pages are
    // scattered far apart.
    if (!pages.empty()) {
        lo_ = pages.front();
        const std::size_t range = pages.back() - lo_ + 1u;
        dense_ = range <= 4 * pages.size() + 1024;
        info_.assign(dense_ ? range : pages.size());
    }
    count_ = 0;
    for (std::size_t i = 0; i < order.size(); ++i) {
        Page& p = info_[dense_ ? pages[i] - lo_ : i];
        p.bits = adding_[order[i]];
        p.before = static_cast<uint32_t>(count_);
        for (uint64_t w : p.bits) count_ += popcount(w);
    }
    pages_ = std::move(pages);
    adding_ = std::vector<Bits>();
}

}  // namespace jet
