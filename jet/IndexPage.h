// Index pages (0x03 node, 0x04 leaf).
//
//   0     1    type
//   1     1    01
//   2     2    free space = 4096 - (0x1E0 + entry bytes)
//   4     4    table definition page of the owning table
//   8     4    0
//   12    4    previous page on the level
//   16    4    next page on the level
//   20    4    tail child (node pages: the last child, which has no entry)
//   24    2    shared prefix length p
//   26    1    0 (1 on some Access node pages)
//   27    453  entry-end bitmap: bit b set when an entry ends at 0x1E0 + b
//   0x1E0 ...  entries; every entry but the first is stored without its
//              first p bytes, which it shares with the first entry
// Leaf entry: key | data page (3 bytes BE) | row (1 byte).
// Node entry: key | data page | row | child page (4 bytes BE); the key and
// row pointer copy the last leaf entry below that child.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "jet/Bytes.h"
#include "jet/Page.h"

namespace jet {

class PageFile;

inline constexpr std::size_t kIndexEntryStart = 0x1E0;
inline constexpr std::size_t kIndexBitmapStart = 27;
inline constexpr std::size_t kIndexDataMax = kPageSize - kIndexEntryStart;  // 3616

// Unsigned lexicographic comparison of key bytes: -1, 0 or 1.
inline int compareKeys(const Bytes& a, const Bytes& b) {
    std::size_t n = a.size() < b.size() ? a.size() : b.size();
    int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
    if (c != 0) return c < 0 ? -1 : 1;
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

struct IndexEntry {
    Bytes key;
    RowPtr row;
    uint32_t child = 0;  // node entries only
};

struct IndexPage {
    uint32_t number = 0;
    uint8_t type = 0;
    uint32_t owner = 0;
    uint32_t prev = 0;
    uint32_t next = 0;
    uint32_t tail = 0;
    uint16_t prefix = 0;
    std::vector<IndexEntry> entries;
    bool leaf() const { return type == kPageIndexLeaf; }
};

IndexPage parseIndexPage(const Page& page, uint32_t number);

struct IndexTree {
    std::vector<IndexEntry> entries;                          // all leaf entries, in tree order
    std::vector<uint32_t> pages;                              // every page of the tree
    std::vector<std::vector<uint32_t>> levels;                // pages of each level, root first
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> links;  // page -> (prev, next) as stored
};

// Walks the tree from its root, bounded in depth and never visiting a page twice.
IndexTree readIndexTree(PageFile& file, uint32_t root, uint32_t owner, const std::string& what);

// Serialises one index page from full entries (prefix compression applied).
Page buildIndexPage(uint8_t type, uint32_t owner, uint32_t prev, uint32_t next, uint32_t tail,
                    const std::vector<const IndexEntry*>& entries);
// Bytes an entry takes on a page (without prefix compression).
std::size_t indexEntrySize(const IndexEntry& e, bool node);

}  // namespace jet
