#include "format/UsageMap.h"

#include <algorithm>
#include <set>
#include <string>
#include <utility>

#include "format/DataPage.h"
#include "format/Page.h"
#include "format/PageFile.h"

namespace jet {

namespace {

// A map being read: where its row is, and the pages it has listed so far.
struct MapRead {
    PageFile& file;
    RowPtr where;
    const char* what;
    bool allowBeyondEnd;
    UsageMap m;

    [[noreturn]] void damaged(const std::string& why) const {
        failDamage(std::string(what) + ": " + why, where.page, where.row);
    }
    void add(uint32_t p) {
        if (p >= file.pageCount()) {
            if (allowBeyondEnd) return;
            damaged("usage map lists page " + std::to_string(p) + " beyond the end of the file");
        }
        m.pages.push_back(p);
    }
};

// An inline map: a start page (u32 at 1), then one bit per page from it.
void readInline(MapRead& r, ByteView row, const Origin& o) {
    uint32_t start = u32(row, 1, o);
    for (std::size_t i = 5; i < row.size(); ++i) {
        uint8_t byte = row[i];
        if (byte == 0) continue;
        for (int bit = 0; bit < 8; ++bit) {
            if (byte & (1 << bit)) {
                uint64_t p =
                    static_cast<uint64_t>(start) + (i - 5) * 8 + static_cast<uint64_t>(bit);
                if (p >= kMaxPages) {
                    if (r.allowBeyondEnd) continue;
                    r.damaged("usage map beyond the format's limit");
                }
                r.add(static_cast<uint32_t>(p));
            }
        }
    }
}

// The bits of the i-th bitmap page of a reference map, from byte 4.
void readBitmap(MapRead& r, const Page& bitmap, std::size_t i) {
    for (std::size_t k = 4; k < kPageSize; ++k) {
        uint8_t byte = bitmap[k];
        if (byte == 0) continue;
        for (int bit = 0; bit < 8; ++bit) {
            if (byte & (1 << bit)) {
                uint64_t p = i * kPagesPerBitmapPage + (k - 4) * 8 + static_cast<uint64_t>(bit);
                if (p >= kMaxPages) continue;
                r.add(static_cast<uint32_t>(p));
            }
        }
    }
}

// A reference map: after the type byte, the numbers (u32) of its bitmap
// pages, 0 for none. A number with its top bit set is none as well: read as
// the signed 32-bit number the engine stores, it is no page at all (a file
// Access wrote ends its global map with 80 FF FF FF), and the pages it would
// cover have no bitmap, so none of them is listed.
void readReference(MapRead& r, ByteView row, const Origin& o) {
    r.m.reference = true;
    std::size_t slots = (row.size() - 1) / 4;
    std::set<uint32_t> seen;
    for (std::size_t i = 0; i < slots; ++i) {
        uint32_t bp = u32(row, 1 + 4 * i, o);
        if (bp == 0 || bp >= 0x80000000u) continue;
        if (!seen.insert(bp).second) r.damaged("bitmap page listed twice");
        auto bitmap = r.file.page(bp);
        if ((*bitmap)[0] != kPageUsageBitmap) {
            failDamage(std::string(r.what) + ": expected a usage bitmap page", bp);
        }
        r.m.holderPages.push_back(bp);
        readBitmap(r, *bitmap, i);
    }
}

}  // namespace

UsageMap readUsageMap(PageFile& file, RowPtr where, const char* what, bool allowBeyondEnd) {
    MapRead r{file, where, what, allowBeyondEnd, {}};
    auto holder = file.page(where.page);
    DataPage dp = parseDataPage(*holder, where.page);
    if (where.row >= dp.slots.size() || dp.slots[where.row].deleted) {
        r.damaged("usage map row is missing or deleted");
    }
    ByteView row = rowBytes(*holder, dp, where.row, what);
    r.m.holderPages.push_back(where.page);
    const Origin o{where.page, "usage map"};
    uint8_t type = u8(row, 0, o);
    if (type == 0x00) {
        readInline(r, row, o);
    } else if (type == 0x01) {
        readReference(r, row, o);
    } else {
        r.damaged("unknown usage map type " + std::to_string(type));
    }
    std::sort(r.m.pages.begin(), r.m.pages.end());
    return std::move(r.m);
}

bool buildInlineMap(const std::vector<uint32_t>& sortedPages, Bytes& row, std::size_t rowSize) {
    row.assign(rowSize, 0);
    uint32_t start = sortedPages.empty() ? 0 : (sortedPages.front() & ~7u);
    const uint64_t capacity = (rowSize - 5) * 8;
    if (!sortedPages.empty() && sortedPages.back() - start >= capacity) return false;
    put32(row.data() + 1, start);
    for (uint32_t p : sortedPages) {
        uint32_t bit = p - start;
        row[5 + bit / 8] = static_cast<uint8_t>(row[5 + bit / 8] | (1u << (bit % 8)));
    }
    return true;
}

}  // namespace jet
