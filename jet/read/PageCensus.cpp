#include "read/PageCensus.h"

#include <algorithm>

#include "format/DataPage.h"
#include "format/PageGrid.h"
#include "format/TableDef.h"
#include "format/UsageMap.h"

namespace jet {

namespace {

uint8_t liveSlots(const Page& p) {
    const uint16_t n = u16(p, 12);
    if (n > 256 || kDataHeaderSize + 2u * n > kPageSize) return 0;
    unsigned live = 0;
    for (uint16_t i = 0; i < n; ++i) {
        if ((u16(p, kDataHeaderSize + 2u * i) & kSlotDeleted) == 0) ++live;
    }
    return static_cast<uint8_t>(live > 255 ? 255 : live);
}

}  // namespace

PageCensus PageCensus::take(PageFile& file) {
    PageCensus c;
    c.pages_.resize(file.pageCount());
    for (uint32_t n = 1; n < file.pageCount(); ++n) {
        auto p = file.page(n);
        Entry& e = c.pages_[n];
        e.type = (*p)[0];
        if (e.type == kPageData || e.type == kPageIndexNode || e.type == kPageIndexLeaf)
            e.owner = u32(*p, 4);
        if (e.type == kPageData) e.liveRows = liveSlots(*p);
        e.startsDefinition = e.type == kPageTableDef && u32(*p, kTdefConstant) == kTdefMagic;
        if (e.type == 0) continue;
        ++c.used_;
        if (looksLikePage(p->data(), kPageSize, file.pageCount()) ||
            (e.type == kPageUsageBitmap && (*p)[1] == 0x01))
            ++c.inPlace_;
    }
    try {
        UsageMap global = readUsageMap(file, {1, 0}, "global usage map", true);
        c.free_.assign(file.pageCount(), false);
        for (uint32_t p : global.pages) c.free_[p] = true;
    } catch (const JetException&) {
        c.free_.clear();  // nothing is known to be free
    }
    return c;
}

std::vector<uint32_t> PageCensus::dataPagesOf(uint32_t owner) const {
    std::vector<uint32_t> out;
    for (uint32_t n = 0; n < pages_.size(); ++n) {
        if (pages_[n].type == kPageData && pages_[n].owner == owner) out.push_back(n);
    }
    return out;
}

std::vector<uint32_t> PageCensus::definitionPages() const {
    std::vector<uint32_t> out;
    for (uint32_t n = 0; n < pages_.size(); ++n) {
        if (pages_[n].startsDefinition) out.push_back(n);
    }
    return out;
}

std::map<uint32_t, std::vector<uint32_t>> readOwnedMaps(
    PageFile& file, const std::vector<const TableDef*>& tables) {
    std::map<uint32_t, std::vector<uint32_t>> out;
    for (const TableDef* def : tables) {
        if (def->ownedMap.isNull()) continue;
        try {
            out[def->firstPage] = readUsageMap(file, def->ownedMap, "owned pages").pages;
        } catch (const JetException&) {
        }
    }
    return out;
}

bool pagesMayBeMissing(const PageCensus& census, const TableDef& def,
                       const std::vector<uint32_t>& listed, uint64_t listedRows) {
    if (listedRows >= def.rowCount) return false;
    for (uint32_t p : census.dataPagesOf(def.firstPage)) {
        if (census[p].liveRows != 0 && !std::binary_search(listed.begin(), listed.end(), p)) return true;
    }
    return false;
}

}  // namespace jet
