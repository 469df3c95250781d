#include "format/UsageMap.h"

#include <algorithm>
#include <set>
#include <string>

#include "format/DataPage.h"
#include "format/Page.h"
#include "format/PageFile.h"

namespace jet {

UsageMap readUsageMap(PageFile& file, RowPtr where, const char* what, bool allowBeyondEnd) {
    UsageMap m;
    auto holder = file.page(where.page);
    DataPage dp = parseDataPage(*holder, where.page);
    if (where.row >= dp.slots.size() || dp.slots[where.row].deleted) {
        failDamage(std::string(what) + ": usage map row is missing or deleted", where.page,
                   where.row);
    }
    ByteView row = rowBytes(*holder, dp, where.row, what);
    m.holderPages.push_back(where.page);
    const Origin o{where.page, "usage map"};
    uint8_t type = u8(row, 0, o);
    auto add = [&](uint32_t p) {
        if (p >= file.pageCount()) {
            if (allowBeyondEnd) return;
            failDamage(std::string(what) + ": usage map lists page " + std::to_string(p) +
                           " beyond the end of the file",
                       where.page, where.row);
        }
        m.pages.push_back(p);
    };
    if (type == 0x00) {
        uint32_t start = u32(row, 1, o);
        for (std::size_t i = 5; i < row.size(); ++i) {
            uint8_t byte = row[i];
            if (byte == 0) continue;
            for (int bit = 0; bit < 8; ++bit) {
                if (byte & (1 << bit)) {
                    uint64_t p =
                        static_cast<uint64_t>(start) + (i - 5) * 8 + static_cast<uint64_t>(bit);
                    if (p >= kMaxPages) {
                        if (allowBeyondEnd) continue;
                        failDamage(std::string(what) + ": usage map beyond the format's limit",
                                   where.page, where.row);
                    }
                    add(static_cast<uint32_t>(p));
                }
            }
        }
    } else if (type == 0x01) {
        m.reference = true;
        std::size_t slots = (row.size() - 1) / 4;
        std::set<uint32_t> seen;
        for (std::size_t i = 0; i < slots; ++i) {
            uint32_t bp = u32(row, 1 + 4 * i, o);
            if (bp == 0) continue;
            if (!seen.insert(bp).second)
                failDamage(std::string(what) + ": bitmap page listed twice", where.page, where.row);
            auto bitmap = file.page(bp);
            if ((*bitmap)[0] != kPageUsageBitmap) {
                failDamage(std::string(what) + ": expected a usage bitmap page", bp);
            }
            m.holderPages.push_back(bp);
            for (std::size_t k = 4; k < kPageSize; ++k) {
                uint8_t byte = (*bitmap)[k];
                if (byte == 0) continue;
                for (int bit = 0; bit < 8; ++bit) {
                    if (byte & (1 << bit)) {
                        uint64_t p =
                            i * kPagesPerBitmapPage + (k - 4) * 8 + static_cast<uint64_t>(bit);
                        if (p >= kMaxPages) continue;
                        add(static_cast<uint32_t>(p));
                    }
                }
            }
        }
    } else {
        failDamage(std::string(what) + ": unknown usage map type " + std::to_string(type),
                   where.page, where.row);
    }
    std::sort(m.pages.begin(), m.pages.end());
    return m;
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
