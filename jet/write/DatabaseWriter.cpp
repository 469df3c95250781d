#include "write/DatabaseWriter.h"

#include <algorithm>

#include "format/TableDef.h"
#include "write/PageBuilder.h"

namespace jet {

// Gives every map created so far its row on a shared holder page.
void DatabaseWriter::placeMaps() {
    for (std::size_t i = 0; i < maps_.size(); i += kMapRowsPerPage)
        holderPages_.push_back(alloc_.allocate());
    for (std::size_t i = 0; i < maps_.size(); ++i) {
        maps_[i].at = {holderPages_[i / kMapRowsPerPage],
                       static_cast<uint8_t>(i % kMapRowsPerPage)};
    }
}

void DatabaseWriter::writeTableDef(const std::vector<uint32_t>& pages, const Bytes& buf) {
    std::size_t pos = 0;
    for (std::size_t k = 0; k < pages.size(); ++k) {
        Page p{};
        std::size_t payload;
        if (k == 0) {
            payload = std::min<std::size_t>(buf.size(), kPageSize);
            std::copy(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(payload), p.begin());
        } else {
            payload = std::min<std::size_t>(buf.size() - pos, kTdefPayloadPerContinuation);
            std::copy(buf.begin() + static_cast<std::ptrdiff_t>(pos),
                      buf.begin() + static_cast<std::ptrdiff_t>(pos + payload), p.begin() + 8);
        }
        pos += payload;
        std::size_t used = (k == 0 ? 0 : 8) + payload;
        p[0] = kPageTableDef;
        p[1] = 0x01;
        put16(p.data() + 2,
              static_cast<uint16_t>(used + 8 >= kPageSize ? 0 : kPageSize - used - 8));
        put32(p.data() + 4, k + 1 < pages.size() ? pages[k + 1] : 0);
        out_.write(pages[k], p);
    }
}

void DatabaseWriter::finish(const Page& page0, uint32_t page1Owner, const Bytes& row1) {
    std::vector<Bytes> rows(maps_.size());
    for (std::size_t i = 0; i < maps_.size(); ++i) {
        auto& pages = maps_[i].pages;
        std::sort(pages.begin(), pages.end());
        if (!buildInlineMap(pages, rows[i])) rows[i] = referenceMap(pages, false, 0);
    }
    for (std::size_t h = 0; h < holderPages_.size(); ++h) {
        DataPageBuilder b(0);
        for (std::size_t i = h * kMapRowsPerPage;
             i < std::min(maps_.size(), (h + 1) * kMapRowsPerPage); ++i) {
            b.add(rows[i]);
        }
        out_.write(holderPages_[h], b.build());
    }
    writeGlobalMap(page1Owner, row1);
    out_.write(0, page0);
}

Bytes DatabaseWriter::referenceMap(const std::vector<uint32_t>& members, bool free,
                                   uint32_t freeFrom) {
    Bytes row(kUsageMapRowSize, 0);
    row[0] = 0x01;
    std::map<uint32_t, Page> bitmaps;
    auto bitmap = [&](uint32_t slot) -> Page& {
        auto it = bitmaps.find(slot);
        if (it != bitmaps.end()) return it->second;
        Page p{};
        p[0] = kPageUsageBitmap;
        p[1] = 0x01;
        if (free) std::fill(p.begin() + 4, p.end(), 0xFF);
        return bitmaps.emplace(slot, p).first->second;
    };
    for (uint32_t m : members) {
        Page& p = bitmap(m / kPagesPerBitmapPage);
        uint32_t bit = m % kPagesPerBitmapPage;
        p[4 + bit / 8] = static_cast<uint8_t>(p[4 + bit / 8] | (1u << (bit % 8)));
    }
    if (free) {
        for (uint32_t s = 0; s * kPagesPerBitmapPage < freeFrom; ++s) {
            Page& p = bitmap(s);
            for (uint32_t bit = 0;
                 bit < kPagesPerBitmapPage && s * kPagesPerBitmapPage + bit < freeFrom; ++bit) {
                p[4 + bit / 8] = static_cast<uint8_t>(p[4 + bit / 8] & ~(1u << (bit % 8)));
            }
        }
    }
    for (auto& [slot, page] : bitmaps) {
        uint32_t n = free ? globalBitmapPages_.at(slot) : alloc_.allocate();
        out_.write(n, page);
        put32(row.data() + 1 + 4 * slot, n);
    }
    return row;
}

void DatabaseWriter::writeGlobalMap(uint32_t owner, const Bytes& second) {
    Bytes global;
    const std::size_t maxInlineBytes = kPageSize - kDataHeaderSize - 4 - second.size() - 5;
    uint32_t n = alloc_.count();
    std::size_t bytes = std::max<std::size_t>(64, ((n + 7) / 8 + 31) / 32 * 32);
    if (bytes <= maxInlineBytes) {
        global.assign(5 + bytes, 0xFF);
        global[0] = 0x00;
        put32(global.data() + 1, 0);
        for (uint32_t p = 0; p < n; ++p)
            global[5 + p / 8] = static_cast<uint8_t>(global[5 + p / 8] & ~(1u << (p % 8)));
    } else {
        // The bitmap pages are part of the file too: reserve them first.
        uint32_t slots = 0;
        while (static_cast<uint64_t>(slots) * kPagesPerBitmapPage < alloc_.count() + 0ull) {
            globalBitmapPages_[slots] = alloc_.allocate();
            ++slots;
        }
        global = referenceMap({}, true, alloc_.count());
    }
    DataPageBuilder b(owner);
    b.add(global);
    b.add(second);
    out_.write(1, b.build());
}

}  // namespace jet
