// Writing an index tree: leaf entries in key order packed into pages left to
// right, each as full as its data area allows, then node levels over them
// until one page, the root, remains.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "format/IndexPage.h"
#include "write/OutputFile.h"
#include "write/PageAllocator.h"

namespace jet {

// Alloc gives out page numbers (allocate()), Out takes the pages
// (write(number, page)): the file being written, or for tests a file held in
// memory whose pages are chosen.
template <typename Alloc, typename Out>
class BasicIndexTreeWriter {
  public:
    BasicIndexTreeWriter(Alloc& alloc, Out& out) : alloc_(alloc), out_(out) {}

    // Groups entries into pages left to right, each as full as the data area
    // allows. On node pages the last child of a page is its tail and takes no
    // bytes, so the stored entries are those before it. The prefix is
    // estimated from the keys alone, never more than the page will use.
    // keyAt(i) gives the key of entry i of n.
    template <typename KeyAt>
    static std::vector<std::pair<std::size_t, std::size_t>> packPages(std::size_t n, bool node,
                                                                      KeyAt keyAt) {
        const std::size_t trailer = node ? 8 : 4;
        std::vector<std::pair<std::size_t, std::size_t>> groups;  // [begin, end)
        std::size_t b = 0;
        while (b < n) {
            const ByteView first = keyAt(b);
            std::size_t total = first.size() + trailer;
            std::size_t shortest = total;
            std::size_t count = 1;  // stored entries
            std::size_t e = b + 1;
            while (e < n) {
                if (node && e == b + 1) {  // the second child becomes the tail
                    ++e;
                    continue;
                }
                const ByteView add = keyAt(node ? e - 1 : e);
                std::size_t size = add.size() + trailer;
                std::size_t newTotal = total + size;
                std::size_t newShortest = std::min(shortest, size);
                std::size_t lcp = 0;
                while (lcp < first.size() && lcp < add.size() && first[lcp] == add[lcp]) ++lcp;
                std::size_t prefix = std::min(lcp, newShortest - 1);
                if (newTotal - count * prefix > kIndexDataMax) break;
                total = newTotal;
                shortest = newShortest;
                ++count;
                ++e;
            }
            groups.emplace_back(b, e);
            b = e;
        }
        return groups;
    }

    uint32_t write(const std::vector<IndexEntry>& leafEntries, uint32_t owner,
                   std::vector<uint32_t>& pages) {
        return write(
            leafEntries.size(), [&](std::size_t i) { return ByteView(leafEntries[i].key); },
            [&](std::size_t i) { return leafEntries[i].row; }, owner, pages);
    }
    uint32_t write(const PackedEntries& leafEntries, uint32_t owner, std::vector<uint32_t>& pages) {
        return write(
            leafEntries.size(), [&](std::size_t i) { return leafEntries.key(i); },
            [&](std::size_t i) { return leafEntries.entries[i].row; }, owner, pages);
    }

    // Writes a tree over n leaf entries in key order, entry i with key
    // keyAt(i) and row rowAt(i); returns its root.
    template <typename KeyAt, typename RowAt>
    uint32_t write(std::size_t n, KeyAt keyAt, RowAt rowAt, uint32_t owner,
                   std::vector<uint32_t>& pages) {
        std::vector<EntryRef> refs;  // of the page being written
        if (n == 0) {
            uint32_t p = alloc_.allocate();
            pages.push_back(p);
            out_.write(p, buildIndexPage(kPageIndexLeaf, owner, 0, 0, 0, refs));
            return p;
        }
        std::vector<IndexEntry> level = writeLeaves(n, keyAt, rowAt, owner, pages, refs);
        // Node levels until one page remains.
        while (level.size() > 1) level = writeNodes(level, owner, pages, refs);
        return level.front().child;
    }

  private:
    // The leaf pages; returns one entry a page for the level above: its
    // last entry, with the page as child.
    template <typename KeyAt, typename RowAt>
    std::vector<IndexEntry> writeLeaves(std::size_t n, KeyAt keyAt, RowAt rowAt, uint32_t owner,
                                        std::vector<uint32_t>& pages, std::vector<EntryRef>& refs) {
        std::vector<IndexEntry> level;
        auto groups = packPages(n, false, keyAt);
        std::vector<uint32_t> numbers;
        for (std::size_t g = 0; g < groups.size(); ++g) numbers.push_back(alloc_.allocate());
        for (std::size_t g = 0; g < groups.size(); ++g) {
            refs.clear();
            for (std::size_t k = groups[g].first; k < groups[g].second; ++k)
                refs.push_back({keyAt(k), rowAt(k), 0});
            out_.write(numbers[g],
                       buildIndexPage(kPageIndexLeaf, owner, g > 0 ? numbers[g - 1] : 0,
                                      g + 1 < groups.size() ? numbers[g + 1] : 0, 0, refs));
            IndexEntry& up = level.emplace_back();
            up.key = IndexKey(refs.back().key);
            up.row = refs.back().row;
            up.child = numbers[g];
            pages.push_back(numbers[g]);
        }
        return level;
    }

    // One level of node pages over the level below; returns the entries
    // for the level above it.
    std::vector<IndexEntry> writeNodes(const std::vector<IndexEntry>& level, uint32_t owner,
                                       std::vector<uint32_t>& pages, std::vector<EntryRef>& refs) {
        auto groups =
            packPages(level.size(), true, [&](std::size_t i) { return ByteView(level[i].key); });
        std::vector<uint32_t> numbers;
        for (std::size_t g = 0; g < groups.size(); ++g) numbers.push_back(alloc_.allocate());
        std::vector<IndexEntry> above;
        for (std::size_t g = 0; g < groups.size(); ++g) {
            auto [b, e] = groups[g];
            refs.clear();
            uint32_t tail = 0;
            auto ref = [&](const IndexEntry& x) {
                refs.push_back({ByteView(x.key), x.row, x.child});
            };
            if (e - b == 1) {
                ref(level[b]);
            } else {
                for (std::size_t k = b; k + 1 < e; ++k) ref(level[k]);
                tail = level[e - 1].child;
            }
            out_.write(numbers[g],
                       buildIndexPage(kPageIndexNode, owner, g > 0 ? numbers[g - 1] : 0,
                                      g + 1 < groups.size() ? numbers[g + 1] : 0, tail, refs));
            IndexEntry up = level[e - 1];
            up.child = numbers[g];
            above.push_back(std::move(up));
            pages.push_back(numbers[g]);
        }
        return above;
    }

    Alloc& alloc_;
    Out& out_;
};

using IndexTreeWriter = BasicIndexTreeWriter<PageAllocator, OutputFile>;

}  // namespace jet
