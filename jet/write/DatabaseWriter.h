// Writing a database file around its tables' contents: the usage maps of
// the file, table definitions, the global map on page 1 and page 0. Shared
// by the compactor and the builder.
#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <vector>

#include "format/Bytes.h"
#include "format/DataPage.h"
#include "format/Page.h"
#include "format/UsageMap.h"
#include "write/IndexTreeStream.h"
#include "write/OutputFile.h"
#include "write/PageAllocator.h"

namespace jet {

inline constexpr std::size_t kMapRowsPerPage =
    (kPageSize - kDataHeaderSize) / (kUsageMapRowSize + 2);

// A usage map of the output: where its row lives and which pages it lists.
struct MapRow {
    RowPtr at;
    std::vector<uint32_t> pages;
};

class DatabaseWriter {
  public:
    DatabaseWriter(OutputFile& out, uint32_t firstFreePage) : out_(out), alloc_(firstFreePage) {}

    OutputFile& out() { return out_; }
    PageAllocator& alloc() { return alloc_; }

    // A usage map of the file; its pages are filled in before finish().
    int newMap() {
        maps_.push_back({});
        return static_cast<int>(maps_.size() - 1);
    }
    MapRow& map(int i) { return maps_[static_cast<std::size_t>(i)]; }
    // Gives every map created so far its row on a shared holder page.
    void placeMaps();

    // An index tree over entries in key order, all in memory already (the
    // levels above the leaves are held too); returns its root.
    uint32_t writeTree(const std::vector<IndexEntry>& leafEntries, uint32_t owner,
                       std::vector<uint32_t>& pages) {
        IndexTreeStream tree(alloc_, out_, owner, kTreeInMemory, {});
        for (const IndexEntry& e : leafEntries) tree.add(ByteView(e.key), e.row);
        return tree.finish(pages);
    }
    uint32_t writeTree(const PackedEntries& leafEntries, uint32_t owner,
                       std::vector<uint32_t>& pages) {
        IndexTreeStream tree(alloc_, out_, owner, kTreeInMemory, {});
        for (const auto& e : leafEntries.entries) tree.add(leafEntries.key(e), e.row);
        return tree.finish(pages);
    }

    // A table definition over its pages (the first, then continuations).
    void writeTableDef(const std::vector<uint32_t>& pages, const Bytes& buf);

    // Map rows, bitmap pages for maps too wide to be inline, page 1 (the
    // global map, then row1, owned by page1Owner), page 0.
    void finish(const Page& page0, uint32_t page1Owner, const Bytes& row1);

  private:
    // The builder's trees are held whole: no share of memory bounds them.
    static constexpr std::size_t kTreeInMemory = std::numeric_limits<std::size_t>::max();
    // A reference map row: 01 then the numbers of the bitmap pages. For the
    // global map (free = true) a set bit means free and everything from
    // freeFrom on is free.
    Bytes referenceMap(const std::vector<uint32_t>& members, bool free, uint32_t freeFrom);
    void writeGlobalMap(uint32_t owner, const Bytes& second);

    OutputFile& out_;
    PageAllocator alloc_;
    std::vector<MapRow> maps_;
    std::vector<uint32_t> holderPages_;
    std::map<uint32_t, uint32_t> globalBitmapPages_;
};

}  // namespace jet
