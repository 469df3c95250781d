#include "format/IndexPage.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string>

#include "format/PageFile.h"

namespace jet {

namespace {

// The page header: type, owner, siblings, tail page and shared prefix length.
void readIndexHeader(const Page& page, uint32_t number, IndexPage& ip) {
    const Origin o{number, "index page"};
    ip.number = number;
    ip.type = page[0];
    if (ip.type != kPageIndexNode && ip.type != kPageIndexLeaf) {
        failDamage("expected an index page, found type " + std::to_string(ip.type), number);
    }
    ip.owner = u32(page, 4, o);
    ip.prev = u32(page, 12, o);
    ip.next = u32(page, 16, o);
    ip.tail = u32(page, 20, o);
    ip.prefix = u16(page, 24, o);
}

constexpr std::size_t kBitmapBytes = kIndexDataMax / 8 + 1;

// Eight bytes of the entry-end bitmap from byte 'byte', as one word.
uint64_t bitmapWord(const Page& page, std::size_t byte) {
    uint64_t word = 0;
    const std::size_t n = std::min<std::size_t>(8, kBitmapBytes - byte);
    for (std::size_t k = 0; k < n; ++k)
        word |= static_cast<uint64_t>(page[kIndexBitmapStart + byte + k]) << (8 * k);
    return word;
}

// What ends an entry: its row pointer, and on node pages its child.
struct EntryEnd {
    RowPtr row;
    uint32_t child = 0;
};

// The entry's bytes are the shared prefix (from the first entry), then what
// is stored; its last 'trailer' bytes, almost always within what is stored,
// hold the row pointer and child.
EntryEnd entryEnd(ByteView first, ByteView stored, std::size_t shared, std::size_t keyLen,
                  std::size_t trailer, bool leaf) {
    std::array<uint8_t, 8> tail;
    if (stored.size() >= trailer) {
        std::memcpy(tail.data(), stored.data() + stored.size() - trailer, trailer);
    } else {
        for (std::size_t i = 0; i < trailer; ++i) {
            const std::size_t at = keyLen + i;
            tail[i] = at < shared ? first[at] : stored[at - shared];
        }
    }
    EntryEnd end;
    end.row.page =
        (static_cast<uint32_t>(tail[0]) << 16) | (static_cast<uint32_t>(tail[1]) << 8) | tail[2];
    end.row.row = tail[3];
    end.child = leaf ? 0
                     : (static_cast<uint32_t>(tail[4]) << 24) |
                           (static_cast<uint32_t>(tail[5]) << 16) |
                           (static_cast<uint32_t>(tail[6]) << 8) | tail[7];
    return end;
}

// Visits each entry of an index page in order: entry(a, b, row, child),
// where the key is a followed by b (a is the prefix shared with the first
// entry) and child is 0 on leaf pages.
template <typename Entry>
void forEachEntry(const Page& page, uint32_t number, IndexPage& ip, Entry&& entry) {
    readIndexHeader(page, number, ip);
    const std::size_t trailer = ip.leaf() ? 4 : 8;
    std::size_t start = 0;
    ByteView first;  // the page's first entry, stored whole
    bool any = false;
    // An entry ends at offset b (exclusive) of the entry area when bit b of
    // the bitmap is set, for b from 1 to the end of the area. The bitmap is
    // read eight bytes at a time, and only its set bits are visited.
    for (std::size_t byte = 0; byte < kBitmapBytes; byte += 8) {
        for (uint64_t word = bitmapWord(page, byte); word != 0; word &= word - 1) {
            const std::size_t stop = byte * 8 + static_cast<std::size_t>(std::countr_zero(word));
            if (stop == 0 || stop > kIndexDataMax) continue;
            if (stop <= start) failDamage("index entry of zero length", number);
            ByteView stored = ByteView(page).subspan(kIndexEntryStart + start, stop - start);
            if (!any) {
                first = stored;
                if (ip.prefix > first.size())
                    failDamage("index prefix longer than the first entry", number);
            }
            const std::size_t shared = any ? ip.prefix : 0;
            any = true;
            const std::size_t fullSize = shared + stored.size();
            if (fullSize < trailer) failDamage("index entry too short", number);
            const std::size_t keyLen = fullSize - trailer;
            const EntryEnd end = entryEnd(first, stored, shared, keyLen, trailer, ip.leaf());
            const std::size_t fromFirst = std::min(shared, keyLen);
            entry(first.first(fromFirst), stored.first(keyLen - fromFirst), end.row, end.child);
            start = stop;
        }
    }
}

// Walks the tree from its root level by level, bounded in depth and never
// visiting a page twice; each leaf entry goes to leaf(a, b, row) in tree
// order, with the key a followed by b, and after each leaf page comes
// leafPageDone(pages on the leaf level).
template <typename Leaf, typename LeafPageDone>
void walkTree(PageFile& file, uint32_t root, uint32_t owner, const std::string& what,
              IndexTree& tree, Leaf&& leaf, LeafPageDone&& leafPageDone) {
    tree.pages.clear();
    tree.levels.clear();
    tree.links.clear();
    std::vector<bool> seen(file.pageCount(), false);
    std::vector<uint32_t> level{root};
    IndexPage ip;
    // Fan-out is at least one entry a page, so a tree deeper than this loops.
    for (int depth = 0; !level.empty(); ++depth) {
        if (depth > 64) failDamage(what + ": index tree too deep", root);
        tree.levels.push_back(level);
        std::vector<uint32_t> below;
        bool leaves = false, nodes = false;
        for (uint32_t pn : level) {
            auto p = file.page(pn);  // refuses a page past the end of the file
            if (pn >= seen.size() || seen[pn]) failDamage(what + ": index page reached twice", pn);
            seen[pn] = true;
            tree.pages.push_back(pn);
            // Leaf entries go to the caller; a page of another type is
            // refused before any entry is taken from it.
            const bool isLeaf = (*p)[0] == kPageIndexLeaf;
            const std::size_t children = below.size();
            if (isLeaf) {
                forEachEntry(*p, pn, ip, [&](ByteView a, ByteView b, RowPtr row, uint32_t) {
                    leaf(a, b, row);
                });
            } else {
                forEachEntry(*p, pn, ip, [&](ByteView, ByteView, RowPtr, uint32_t child) {
                    below.push_back(child);
                });
            }
            tree.links.emplace_back(ip.prev, ip.next);
            if (ip.owner != owner) failDamage(what + ": index page owned by another table", pn);
            if (isLeaf) {
                leafPageDone(level.size());
                leaves = true;
            } else {
                nodes = true;
                if (below.size() == children && ip.tail == 0)
                    failDamage(what + ": empty index node", pn);
                if (ip.tail != 0) below.push_back(ip.tail);
            }
        }
        if (leaves && nodes)
            failDamage(what + ": leaf and node pages on one index level", level.front());
        level = std::move(below);
    }
}

}  // namespace

IndexPage parseIndexPage(const Page& page, uint32_t number) {
    IndexPage ip;
    forEachEntry(page, number, ip, [&](ByteView a, ByteView b, RowPtr row, uint32_t child) {
        IndexEntry& e = ip.entries.emplace_back();
        e.key.assign(a, b);
        e.row = row;
        e.child = child;
    });
    return ip;
}

void walkIndexTree(PageFile& file, uint32_t root, uint32_t owner, const std::string& what,
                   IndexTree& tree, FunctionRef<void(ByteView key, RowPtr row)> visit) {
    tree.entries.clear();
    // Keys are at most 64 KB: each is put together here, with no allocation.
    std::vector<uint8_t> key(std::size_t{0xFFFF} + 1);
    walkTree(
        file, root, owner, what, tree,
        [&](ByteView a, ByteView b, RowPtr row) {
            if (a.size() + b.size() > key.size()) failDamage(what + ": index key too long", root);
            if (!a.empty()) std::memcpy(key.data(), a.data(), a.size());
            if (!b.empty()) std::memcpy(key.data() + a.size(), b.data(), b.size());
            visit(ByteView(key.data(), a.size() + b.size()), row);
        },
        [](std::size_t) {});
}

void walkIndexTreeParts(PageFile& file, uint32_t root, uint32_t owner, const std::string& what,
                        IndexTree& tree,
                        FunctionRef<void(ByteView a, ByteView b, RowPtr row)> visit) {
    tree.entries.clear();
    walkTree(
        file, root, owner, what, tree,
        [&](ByteView a, ByteView b, RowPtr row) { visit(a, b, row); }, [](std::size_t) {});
}

void walkIndexRows(PageFile& file, uint32_t root, uint32_t owner, const std::string& what,
                   IndexTree& tree, FunctionRef<void(RowPtr row)> visit) {
    tree.entries.clear();
    walkTree(
        file, root, owner, what, tree, [&](ByteView, ByteView, RowPtr row) { visit(row); },
        [](std::size_t) {});
}

void readIndexTreePacked(PageFile& file, uint32_t root, uint32_t owner, const std::string& what,
                         IndexTree& tree, PackedEntries& out) {
    tree.entries.clear();
    out.clear();
    bool reserved = false;
    walkTree(
        file, root, owner, what, tree,
        [&](ByteView a, ByteView b, RowPtr row) {
            const std::size_t off = out.keys.size();
            out.keys.insert(out.keys.end(), a.begin(), a.end());
            out.keys.insert(out.keys.end(), b.begin(), b.end());
            out.entries.push_back(
                {static_cast<uint32_t>(off), static_cast<uint32_t>(a.size() + b.size()), row});
        },
        [&](std::size_t leafPages) {
            // Leaves fill about alike: room for the level, from the first.
            if (reserved) return;
            reserved = true;
            const std::size_t perPage = out.entries.size() + 1;
            const std::size_t bytesPerPage = out.keys.size() + 1;
            out.entries.reserve(std::min<std::size_t>(leafPages * perPage, std::size_t{1} << 20));
            out.keys.reserve(
                std::min<std::size_t>(leafPages * bytesPerPage, std::size_t{64} << 20));
        });
}

std::size_t indexEntrySize(const IndexEntry& e, bool node) { return e.key.size() + (node ? 8 : 4); }

Page buildIndexPage(uint8_t type, uint32_t owner, uint32_t prev, uint32_t next, uint32_t tail,
                    const std::vector<const IndexEntry*>& entries) {
    std::vector<EntryRef> refs;
    refs.reserve(entries.size());
    for (const IndexEntry* e : entries) refs.push_back({ByteView(e->key), e->row, e->child});
    return buildIndexPage(type, owner, prev, next, tail, refs);
}

namespace {

// An entry's bytes on a page: its key, then the row pointer, and on node
// pages the child; read in place, without putting them together.
struct Stored {
    Stored(const EntryRef& e, bool node) : key(e.key), tailSize(node ? 8 : 4) {
        tail[0] = static_cast<uint8_t>(e.row.page >> 16);
        tail[1] = static_cast<uint8_t>(e.row.page >> 8);
        tail[2] = static_cast<uint8_t>(e.row.page);
        tail[3] = e.row.row;
        if (node) putBe32(tail + 4, e.child);
    }
    std::size_t size() const { return key.size() + tailSize; }
    uint8_t at(std::size_t k) const { return k < key.size() ? key[k] : tail[k - key.size()]; }
    // Copies the bytes from `from` on to out.
    void copyFrom(std::size_t from, uint8_t* out) const {
        if (from < key.size()) {
            std::memcpy(out, key.data() + from, key.size() - from);
            out += key.size() - from;
            from = key.size();
        }
        std::memcpy(out, tail + (from - key.size()), tailSize - (from - key.size()));
    }
    ByteView key;
    uint8_t tail[8] = {};
    std::size_t tailSize;
};

}  // namespace

Page buildIndexPage(uint8_t type, uint32_t owner, uint32_t prev, uint32_t next, uint32_t tail,
                    std::span<const EntryRef> entries) {
    Page p{};
    const bool node = type == kPageIndexNode;
    // The prefix every entry shares with the first (for sorted entries, the
    // one the first and last share), kept short enough that each entry
    // still stores at least one byte.
    std::size_t prefix = 0;
    if (entries.size() > 1) {
        const Stored a(entries.front(), node);
        prefix = a.size() - 1;
        for (std::size_t i = 1; i < entries.size() && prefix > 0; ++i) {
            const Stored b(entries[i], node);
            const std::size_t n = std::min(prefix, b.size());
            std::size_t lcp = 0;
            const std::size_t keys = std::min({n, a.key.size(), b.key.size()});
            while (lcp < keys && a.key[lcp] == b.key[lcp]) ++lcp;
            if (lcp == keys) {
                while (lcp < n && a.at(lcp) == b.at(lcp)) ++lcp;
            }
            prefix = std::min(lcp, b.size() - 1);
        }
    }
    p[0] = type;
    p[1] = 0x01;
    put32(p.data() + 4, owner);
    put32(p.data() + 12, prev);
    put32(p.data() + 16, next);
    put32(p.data() + 20, tail);
    put16(p.data() + 24, static_cast<uint16_t>(prefix));
    std::size_t pos = 0;
    bool firstEntry = true;
    for (const EntryRef& e : entries) {
        const Stored b(e, node);
        const std::size_t skip = firstEntry ? 0 : prefix;
        // The writers size each page's entries to fit; entries that would
        // not are refused rather than written past the page.
        if (pos + b.size() - skip > kIndexDataMax)
            fail(ErrorCode::kTooLarge, "The index entries do not fit on one page.");
        b.copyFrom(skip, p.data() + kIndexEntryStart + pos);
        pos += b.size() - skip;
        p[kIndexBitmapStart + pos / 8] =
            static_cast<uint8_t>(p[kIndexBitmapStart + pos / 8] | (1u << (pos % 8)));
        firstEntry = false;
    }
    put16(p.data() + 2, static_cast<uint16_t>(kIndexDataMax - pos));
    return p;
}

}  // namespace jet
