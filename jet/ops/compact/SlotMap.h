// Where each row of a table went in the copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace jet {

// Where each row of a table went: old slot -> new slot, looked up once for
// every index entry. Open addressing: one probe or two, where a binary
// search over a large table misses the cache at every step.
class SlotMap {
  public:
    // Filled again for each table, in the memory the last one took.
    void assign(const std::vector<std::pair<uint32_t, uint32_t>>& moved) {
        std::size_t size = 16;
        while (size < 2 * moved.size()) size *= 2;
        mask_ = size - 1;
        slots_.assign(size, {kEmpty, 0});
        for (const auto& [from, to] : moved) {
            std::size_t i = hash(from);
            while (slots_[i].first != kEmpty && slots_[i].first != from) i = (i + 1) & mask_;
            slots_[i] = {from, to};
        }
    }
    std::optional<uint32_t> find(uint32_t from) const {
        for (std::size_t i = hash(from);; i = (i + 1) & mask_) {
            if (slots_[i].first == from) return slots_[i].second;
            if (slots_[i].first == kEmpty) return std::nullopt;
        }
    }

  private:
    static constexpr uint32_t kEmpty = 0xFFFFFFFFu;  // no row: page numbers stay below 2^19
    std::size_t hash(uint32_t v) const {
        return static_cast<std::size_t>((static_cast<uint64_t>(v) * 0x9E3779B97F4A7C15ull) >> 32) &
               mask_;
    }
    std::size_t mask_ = 0;
    std::vector<std::pair<uint32_t, uint32_t>> slots_;
};

}  // namespace jet
