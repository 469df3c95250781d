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

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "format/Bytes.h"
#include "format/IndexKey.h"
#include "format/Page.h"
#include "util/Failure.h"
#include "util/FunctionRef.h"

namespace jet {

class PageFile;

inline constexpr std::size_t kIndexEntryStart = 0x1E0;
inline constexpr std::size_t kIndexBitmapStart = 27;
inline constexpr std::size_t kIndexDataMax = kPageSize - kIndexEntryStart;  // 3616

struct IndexEntry {
    IndexKey key;
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
    std::vector<IndexEntry> entries;            // all leaf entries, in tree order
    std::vector<uint32_t> pages;                // every page, level by level from the root
    std::vector<std::vector<uint32_t>> levels;  // pages of each level, root first
    // (prev, next) as stored, for each page in the order of pages.
    std::vector<std::pair<uint32_t, uint32_t>> links;
};

// Walks the tree from its root, bounded in depth and never visiting a page
// twice, each leaf entry handed to visit in tree order (tree.entries is left
// empty, its pages and links filled): the key's bytes last for the call only.
void walkIndexTree(PageFile& file, uint32_t root, uint32_t owner, const std::string& what,
                   IndexTree& tree, FunctionRef<void(ByteView key, RowPtr row)> visit);

// The same walk, each key handed over in two parts, a followed by b, as
// they lie on the page (no copy is made).
void walkIndexTreeParts(PageFile& file, uint32_t root, uint32_t owner, const std::string& what,
                        IndexTree& tree,
                        FunctionRef<void(ByteView a, ByteView b, RowPtr row)> visit);
// The same walk, only the row of each leaf entry handed to visit.
void walkIndexRows(PageFile& file, uint32_t root, uint32_t owner, const std::string& what,
                   IndexTree& tree, FunctionRef<void(RowPtr row)> visit);

// Leaf entries packed to be passed on: their keys one after another in one
// buffer, and for each entry where its key lies and its row. Hundreds of
// thousands of entries are then two blocks of memory, not one for each key
// longer than an IndexEntry holds.
struct PackedEntries {
    struct Entry {
        uint32_t off = 0;  // of the key in keys
        uint32_t len = 0;
        RowPtr row;
    };
    Bytes keys;
    std::vector<Entry> entries;
    std::size_t size() const { return entries.size(); }
    ByteView key(const Entry& e) const { return ByteView(keys).subspan(e.off, e.len); }
    ByteView key(std::size_t i) const { return key(entries[i]); }
    void clear() {
        keys.clear();
        entries.clear();
    }
};

// The same walk, the leaf entries packed (out is emptied first): a whole
// tree in memory, for what must hold one (the salvage of a damaged table).
void readIndexTreePacked(PageFile& file, uint32_t root, uint32_t owner, const std::string& what,
                         IndexTree& tree, PackedEntries& out);

// An entry to be written: its key, row and (on node pages) child.
struct EntryRef {
    ByteView key;
    RowPtr row;
    uint32_t child = 0;
};

// Serialises one index page from full entries (prefix compression applied).
Page buildIndexPage(uint8_t type, uint32_t owner, uint32_t prev, uint32_t next, uint32_t tail,
                    std::span<const EntryRef> entries);
Page buildIndexPage(uint8_t type, uint32_t owner, uint32_t prev, uint32_t next, uint32_t tail,
                    const std::vector<const IndexEntry*>& entries);
// Bytes an entry takes on a page (without prefix compression).
std::size_t indexEntrySize(const IndexEntry& e, bool node);

}  // namespace jet
