#include "salvage/SalvageIndex.h"

#include <algorithm>
#include <optional>

#include "format/UsageMap.h"

namespace jet {

namespace {

// Bound on the levels of a tree: fan-out is at least one entry a page.
constexpr int kMaxDepth = 64;

class IndexSalvager {
  public:
    IndexSalvager(PageFile& file, uint32_t owner)
        : file_(file), owner_(owner), seen_(file.pageCount(), false) {}

    void fromRoot(uint32_t root);
    void alongSiblings();
    void fromMap(const RealIndex& index);
    SalvagedIndex take() { return std::move(out_); }

  private:
    // The page read as an index page of the table, or nothing (and the page
    // counted as lost) when it does not read.
    std::optional<IndexPage> read(uint32_t page, bool leafOnly);
    void takeLeaf(IndexPage&& leaf);
    bool fresh(uint32_t page) const { return page >= 3 && page < seen_.size() && !seen_[page]; }

    PageFile& file_;
    uint32_t owner_;
    std::vector<bool> seen_;
    std::vector<IndexPage> leaves_;  // taken, for the walk along their links
    SalvagedIndex out_;
};

bool inOrder(const IndexPage& p) {
    for (std::size_t i = 1; i < p.entries.size(); ++i) {
        const int c = compareKeys(p.entries[i - 1].key, p.entries[i].key);
        if (c > 0 || (c == 0 && !(p.entries[i - 1].row < p.entries[i].row))) return false;
    }
    return true;
}

std::optional<IndexPage> IndexSalvager::read(uint32_t page, bool leafOnly) {
    seen_[page] = true;
    try {
        PageRef p = file_.page(page);
        const uint8_t type = (*p)[0];
        if (type == kPageIndexLeaf || (!leafOnly && type == kPageIndexNode)) {
            IndexPage ip = parseIndexPage(*p, page);
            if (ip.owner == owner_ && inOrder(ip)) return ip;
        }
    } catch (const JetException&) {
    }
    out_.lost.push_back(page);
    return std::nullopt;
}

void IndexSalvager::takeLeaf(IndexPage&& leaf) {
    PackedEntries& e = out_.entries;
    for (const IndexEntry& x : leaf.entries) {
        e.entries.push_back(
            {static_cast<uint32_t>(e.keys.size()), static_cast<uint32_t>(x.key.size()), x.row});
        e.keys.insert(e.keys.end(), x.key.begin(), x.key.end());
    }
    out_.leaves.push_back(leaf.number);
    leaf.entries.clear();
    leaves_.push_back(std::move(leaf));
}

// Down from the root, level by level, past node pages that do not read.
void IndexSalvager::fromRoot(uint32_t root) {
    std::vector<uint32_t> level{root};
    for (int depth = 0; !level.empty() && depth < kMaxDepth; ++depth) {
        std::vector<uint32_t> below;
        for (uint32_t page : level) {
            if (!fresh(page)) continue;
            std::optional<IndexPage> ip = read(page, false);
            if (!ip) continue;
            if (ip->leaf()) {
                takeLeaf(std::move(*ip));
                continue;
            }
            for (const IndexEntry& x : ip->entries) below.push_back(x.child);
            if (ip->tail != 0) below.push_back(ip->tail);
        }
        level = std::move(below);
    }
}

// From each leaf taken, along its links in both directions, each step
// confirmed by the page it leads to linking back.
void IndexSalvager::alongSiblings() {
    for (std::size_t i = 0; i < leaves_.size(); ++i) {
        for (const bool forward : {false, true}) {
            uint32_t from = leaves_[i].number;
            uint32_t to = forward ? leaves_[i].next : leaves_[i].prev;
            while (fresh(to)) {
                std::optional<IndexPage> ip = read(to, true);
                if (!ip || (forward ? ip->prev : ip->next) != from) break;
                from = to;
                to = forward ? ip->next : ip->prev;
                takeLeaf(std::move(*ip));  // appended: its own links are walked later too
            }
        }
    }
}

// Leaves the index's own usage map lists that neither way reached.
void IndexSalvager::fromMap(const RealIndex& index) {
    if (index.usageMap.isNull()) return;
    std::vector<uint32_t> pages;
    try {
        pages = readUsageMap(file_, index.usageMap, "index pages").pages;
    } catch (const JetException&) {
        return;
    }
    for (uint32_t page : pages) {
        if (!fresh(page)) continue;
        PageRef p = file_.page(page);
        if ((*p)[0] != kPageIndexLeaf) continue;
        if (std::optional<IndexPage> ip = read(page, true)) takeLeaf(std::move(*ip));
    }
}

}  // namespace

SalvagedIndex salvageIndex(PageFile& file, const RealIndex& index, uint32_t owner) {
    IndexSalvager s(file, owner);
    s.fromRoot(index.rootPage);
    s.alongSiblings();
    s.fromMap(index);
    s.alongSiblings();
    return s.take();
}

}  // namespace jet
