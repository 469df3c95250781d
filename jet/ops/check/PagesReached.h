// The pages a check reached from the catalogue, by number: what tells the
// file's reachable pages from the rest, and (for a table checked by itself)
// the pages the table holds.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "format/UsageMap.h"

namespace jet {

class PagesReached {
  public:
    // Pages 0 to pages-1, none reached yet; with listing, those reached are
    // also listed (pages()).
    void reset(std::size_t pages, bool listing) {
        reached_.assign(pages, false);
        listing_ = listing;
        listed_.clear();
    }

    void mark(uint32_t page) {
        if (page >= reached_.size() || reached_[page]) return;
        reached_[page] = true;
        if (listing_) listed_.push_back(page);
    }
    // The pages that hold a usage map.
    void markMap(const UsageMap& m) {
        for (uint32_t p : m.holderPages) mark(p);
    }

    // The pages reached and listed, in ascending order; the list starts over.
    std::vector<uint32_t> takeListed() {
        std::vector<uint32_t> pages = std::move(listed_);
        listed_.clear();
        std::sort(pages.begin(), pages.end());
        return pages;
    }

    // The pages another check reached are reached.
    void add(const PagesReached& other) {
        const std::size_t n = std::min(reached_.size(), other.reached_.size());
        for (std::size_t p = 0; p < n; ++p) {
            if (other.reached_[p]) reached_[p] = true;
        }
    }

    uint32_t count() const {
        return static_cast<uint32_t>(std::count(reached_.begin(), reached_.end(), true));
    }

  private:
    std::vector<bool> reached_;
    bool listing_ = false;
    std::vector<uint32_t> listed_;
};

}  // namespace jet
