#include "salvage/IndexEvidence.h"

#include <algorithm>

#include "keys/KeyEncoding.h"
#include "salvage/SalvageIndex.h"

namespace jet {

IndexEvidence gatherIndexEvidence(PageFile& file, const TableDef& def) {
    IndexEvidence out;
    out.byRow.assign(def.realIndexes.size(), {});
    for (std::size_t i = 0; i < def.realIndexes.size(); ++i) {
        const SalvagedIndex found = salvageIndex(file, def.realIndexes[i], def.firstPage);
        const PackedEntries& packed = found.entries;
        auto& keys = out.byRow[i];
        for (const auto& e : packed.entries) {
            out.pointedPages.push_back(e.row.page);
            const ByteView k = packed.key(e);
            keys.emplace_back(e.row.toU32(), Bytes(k.begin(), k.end()));
        }
        std::sort(keys.begin(), keys.end());
    }
    auto& pages = out.pointedPages;
    std::sort(pages.begin(), pages.end());
    pages.erase(std::unique(pages.begin(), pages.end()), pages.end());
    return out;
}

const Bytes* IndexEvidence::entry(std::size_t i, RowPtr slot) const {
    const auto& keys = byRow[i];
    auto lo = std::lower_bound(keys.begin(), keys.end(), slot.toU32(),
                               [](const auto& e, uint32_t v) { return e.first < v; });
    if (lo == keys.end() || lo->first != slot.toU32()) return nullptr;
    if (lo + 1 != keys.end() && (lo + 1)->first == slot.toU32()) return nullptr;  // listed twice
    return &lo->second;
}

std::pair<IndexEvidence::Entries::const_iterator, IndexEvidence::Entries::const_iterator>
IndexEvidence::onPage(std::size_t i, uint32_t page) const {
    const auto& keys = byRow[i];
    auto lo = std::lower_bound(keys.begin(), keys.end(), RowPtr{page, 0}.toU32(),
                               [](const auto& e, uint32_t v) { return e.first < v; });
    auto hi = lo;
    while (hi != keys.end() && RowPtr::fromU32(hi->first).page == page) ++hi;
    return {lo, hi};
}

std::optional<bool> IndexEvidence::fitsRow(const TableDef& def, std::size_t i, RowPtr slot,
                                           const RowView& rv, RowPtr data) const {
    const Bytes* found = entry(i, slot);
    if (!found) return std::nullopt;
    const RealIndex& ri = def.realIndexes[i];
    const auto shape = keyShape(def, ri);
    const auto parts = splitKey(*found, shape);
    if (!parts) return false;
    bool compared = false;
    for (std::size_t k = 0; k < ri.columns.size(); ++k) {
        const Column* c = def.columnByNumber(ri.columns[k].column);
        if (!c || !keyEncodable(c->type)) continue;
        const Bytes part = encodeKeyPart(c->type, ri.columns[k].ascending,
                                         columnBytes(def, *c, rv, data.page, data.row),
                                         c->isBool() && boolValue(*c, rv));
        const auto [off, len] = (*parts)[k];
        if (part.size() != len || !std::equal(part.begin(), part.end(),
                                              found->begin() + static_cast<std::ptrdiff_t>(off)))
            return false;
        compared = true;
    }
    if (compared) return true;
    // Nothing but text: the whole key, where the engine makes it alike.
    if (auto made = encodeRowKey(def, ri, rv, data.page, data.row); made && *made == *found)
        return true;
    return std::nullopt;
}

std::string indexName(const TableDef& def, std::size_t real) {
    std::string name;
    for (const auto& l : def.logicalIndexes) {
        if (l.realIndex == real && (name.empty() || l.primaryKey())) name = l.name;
    }
    return name.empty() ? "#" + std::to_string(real) : name;
}

}  // namespace jet
