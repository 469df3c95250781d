#include "write/TableWriter.h"

#include <algorithm>

namespace jet {

bool TableWriter::placeLongValues(std::span<LongValuePlacement> values, std::size_t baseSize) {
    auto size = [&] {
        std::size_t n = baseSize;
        for (const auto& v : values) n += kLongValueHeaderSize + (v.inlined ? v.value.size() : 0);
        return n;
    };
    // Too large with the small values inline: move them out, largest first.
    while (size() > kMaxRowSize) {
        LongValuePlacement* largest = nullptr;
        for (auto& v : values) {
            if (v.inlined && (!largest || v.value.size() > largest->value.size())) largest = &v;
        }
        if (!largest) return false;
        largest->inlined = false;
    }
    for (auto& v : values) {
        Bytes& slot = *v.stored;
        if (v.inlined) {
            slot.assign(kLongValueHeaderSize, 0);
            put32(slot.data(), static_cast<uint32_t>(v.value.size()) |
                                   (static_cast<uint32_t>(kLvInline) << 24));
            slot.insert(slot.end(), v.value.begin(), v.value.end());
        } else {
            const auto header = longValues(v.column).store(v.value, v.chained);
            slot.assign(header.begin(), header.end());
        }
    }
    return true;
}

void TableWriter::finishRows() {
    if (dataPage_ != 0) w_.out().write(dataPage_, data_.build());
    for (auto& [column, writer] : lvWriters_) writer.finish();
}

std::vector<uint32_t> TableWriter::longValuePages() const {
    std::vector<uint32_t> pages;
    for (const auto& [column, writer] : lvWriters_)
        pages.insert(pages.end(), writer.pages().begin(), writer.pages().end());
    return pages;
}

uint32_t TableWriter::fillMap(int i, const std::vector<uint32_t>& pages) {
    if (i < 0) return 0;
    MapRow& m = w_.map(i);
    m.pages = pages;
    return m.at.toU32();
}

void TableWriter::writeDefinition(uint32_t rows, std::optional<uint32_t> autoNumber,
                                  const std::map<uint32_t, uint32_t>* tableIds) {
    Bytes buf(def_.buffer.begin(), def_.buffer.begin() + static_cast<std::ptrdiff_t>(def_.length));
    uint8_t* b = buf.data();
    put32(b + kTdefRowCount, rows);
    if (autoNumber) put32(b + kTdefAutoNumber, *autoNumber);
    put32(b + kTdefOwnedMap, fillMap(maps_.owned, dataPages_));
    if (maps_.free >= 0) put32(b + kTdefFreeMap, fillMap(maps_.free, dataPages_));
    for (std::size_t i = 0; i < def_.longValueMaps.size(); ++i) {
        const LongValueMaps& lv = def_.longValueMaps[i];
        std::vector<uint32_t> pages;
        if (auto it = lvWriters_.find(lv.column); it != lvWriters_.end()) pages = it->second.pages();
        auto [owned, free] = maps_.longValues[i];
        put32(b + lv.blockOffset + kLvMapOwned, fillMap(owned, pages));
        put32(b + lv.blockOffset + kLvMapFree, fillMap(free, pages));
    }
    for (const WrittenIndex& x : indexes_) {
        const RealIndex& ri = def_.realIndexes[x.number];
        put32(b + ri.blockOffset + kRealIndexRoot, x.root);
        put32(b + ri.statsOffset + kStatsDistinct, x.distinct);
        const int m = maps_.indexes[x.number];
        if (m >= 0) put32(b + ri.blockOffset + kRealIndexUsageMap, fillMap(m, x.pages));
    }
    if (tableIds) {
        for (const auto& li : def_.logicalIndexes) {
            if (li.fkOtherTable == 0) continue;
            auto it = tableIds->find(li.fkOtherTable);
            if (it != tableIds->end()) put32(b + li.blockOffset + kLogicalIndexFkTable, it->second);
        }
    }
    w_.writeTableDef(pages_, buf);
}

std::map<uint32_t, std::vector<uint32_t>> TableWriter::mapContents() const {
    std::map<uint32_t, std::vector<uint32_t>> maps;
    auto give = [&](int i) {
        if (i >= 0) maps[w_.map(i).at.toU32()] = w_.map(i).pages;
    };
    give(maps_.owned);
    give(maps_.free);
    for (int i : maps_.indexes) give(i);
    for (auto [owned, free] : maps_.longValues) {
        give(owned);
        give(free);
    }
    return maps;
}

}  // namespace jet
