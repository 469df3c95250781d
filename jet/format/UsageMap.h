// Usage maps: a row on a data page (owner 0) listing member pages.
//
//   inline    00 | start page (u32) | bitmap (bit i = page start + i)
//   reference 01 | page numbers (u32 each) of type-0x05 bitmap pages; page i
//             of the list covers pages [i*32736, (i+1)*32736) with the 4092
//             bitmap bytes after its 4-byte header. 0 is no bitmap page;
//             so is a number with its top bit set (negative as the signed
//             number the engine stores: 80 FF FF FF ends the global map of
//             a file Access wrote), whose pages are then listed by no bit.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "format/Bytes.h"

namespace jet {

class PageFile;

inline constexpr uint32_t kPagesPerBitmapPage = (4096 - 4) * 8;  // 32736
inline constexpr std::size_t kUsageMapRowSize = 69;

struct UsageMap {
    std::vector<uint32_t> pages;        // members, ascending
    std::vector<uint32_t> holderPages;  // the row's page and any bitmap pages
    bool reference = false;
};

// Reads the map the row pointer names. Members beyond the file are damage
// unless allowBeyondEnd (the global map sets bits past the end).
UsageMap readUsageMap(PageFile& file, RowPtr where, const char* what, bool allowBeyondEnd = false);

// Map rows for a set of pages: an inline row of at least kUsageMapRowSize
// bytes when the pages fit in its window, else nothing (the caller needs a
// reference map).
bool buildInlineMap(const std::vector<uint32_t>& sortedPages, Bytes& row,
                    std::size_t rowSize = kUsageMapRowSize);

}  // namespace jet
