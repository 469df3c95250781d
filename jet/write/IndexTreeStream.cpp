#include "write/IndexTreeStream.h"

#include <algorithm>
#include <cstring>

namespace jet {

void EntryLevel::add(ByteView key, RowPtr row, uint32_t child) {
    ++count_;
    if (!file_ && keys_.size() + held_.size() * sizeof(Held) + key.size() > memory_ &&
        !held_.empty()) {
        // Too many for memory: what is held goes to a file, and the rest
        // after it.
        file_ = SpillFile::create(*where_);
        for (const Held& h : held_) {
            const uint8_t head[2] = {static_cast<uint8_t>(h.len), static_cast<uint8_t>(h.len >> 8)};
            file_->append(head, 2);
            file_->append(keys_.data() + h.off, h.len);
            const uint32_t tail[2] = {h.row.toU32(), h.child};
            file_->append(tail, sizeof tail);
        }
        keys_ = Bytes();
        held_ = std::vector<Held>();
    }
    if (file_) {
        const uint8_t head[2] = {static_cast<uint8_t>(key.size()),
                                 static_cast<uint8_t>(key.size() >> 8)};
        file_->append(head, 2);
        file_->append(key.data(), key.size());
        const uint32_t tail[2] = {row.toU32(), child};
        file_->append(tail, sizeof tail);
        return;
    }
    held_.push_back(
        {static_cast<uint32_t>(keys_.size()), static_cast<uint32_t>(key.size()), row, child});
    keys_.insert(keys_.end(), key.begin(), key.end());
}

bool EntryLevel::next(EntryRef& e) {
    if (read_ == count_) return false;
    ++read_;
    if (!file_) {
        const Held& h = held_[read_ - 1];
        e = {ByteView(keys_).subspan(h.off, h.len), h.row, h.child};
        return true;
    }
    if (!reader_) reader_ = std::make_unique<SpillReader>(*file_, 0, file_->size(), 256u << 10);
    const uint8_t* head = reader_->take(2);
    const std::size_t len =
        static_cast<std::size_t>(head[0]) | (static_cast<std::size_t>(head[1]) << 8);
    // The key and what follows it are taken together, so that the key stays
    // where it was read.
    const uint8_t* p = reader_->take(len + 8);
    uint32_t tail[2];
    std::memcpy(tail, p + len, sizeof tail);
    e = {ByteView(p, len), RowPtr::fromU32(tail[0]), tail[1]};
    return true;
}

void IndexTreeStream::Group::start(uint32_t page, ByteView key, RowPtr row, uint32_t child,
                                   std::size_t trailer) {
    keys.clear();
    items.clear();
    number = page;
    push(key, row, child);
    total = shortest = key.size() + trailer;
    count = 1;
}

void IndexTreeStream::Group::push(ByteView key, RowPtr row, uint32_t child) {
    items.push_back(
        {static_cast<uint32_t>(keys.size()), static_cast<uint32_t>(key.size()), row, child});
    keys.insert(keys.end(), key.begin(), key.end());
}

bool IndexTreeStream::Group::grow(ByteView add, std::size_t size) {
    const ByteView first = key(0);
    const std::size_t newTotal = total + size;
    const std::size_t newShortest = std::min(shortest, size);
    std::size_t lcp = 0;
    while (lcp < first.size() && lcp < add.size() && first[lcp] == add[lcp]) ++lcp;
    const std::size_t prefix = std::min(lcp, newShortest - 1);
    if (newTotal - count * prefix > kIndexDataMax) return false;
    total = newTotal;
    shortest = newShortest;
    ++count;
    return true;
}

std::span<const EntryRef> IndexTreeStream::Group::refsTo(std::size_t n) {
    refs.clear();
    for (std::size_t i = 0; i < n; ++i) refs.push_back({key(i), items[i].row, items[i].child});
    return refs;
}

void IndexTreeStream::add(ByteView key, RowPtr row) {
    uint32_t page = 0;
    if (!leaf_.empty()) {
        if (leaf_.grow(key, key.size() + 4)) {
            leaf_.push(key, row, 0);
            return;
        }
        page = writeLeaf(true);
    } else {
        page = target_->allocate();
    }
    leaf_.start(page, key, row, 0, 4);
}

// The next page of a level is asked for before this one is written, which
// links to it: the pages of a level come in turn from the file's allocator.
uint32_t IndexTreeStream::writeLeaf(bool more) {
    const uint32_t n = leaf_.number;
    const uint32_t next = more ? target_->allocate() : 0;
    target_->write(
        n, buildIndexPage(kPageIndexLeaf, owner_, prevLeaf_, next, 0, leaf_.refsTo(leaf_.size())));
    pages_.push_back(n);
    const auto& last = leaf_.items.back();
    up_->add(leaf_.key(leaf_.size() - 1), last.row, n);
    prevLeaf_ = n;
    return next;
}

// On a node page the last child is the tail, which takes no bytes.
uint32_t IndexTreeStream::writeNode(Group& g, uint32_t& prev, bool more, EntryLevel& above) {
    const std::size_t m = g.size();
    const uint32_t tail = m == 1 ? 0 : g.items.back().child;
    const uint32_t n = g.number;
    const uint32_t next = more ? target_->allocate() : 0;
    target_->write(
        n, buildIndexPage(kPageIndexNode, owner_, prev, next, tail, g.refsTo(m == 1 ? 1 : m - 1)));
    pages_.push_back(n);
    above.add(g.key(m - 1), g.items.back().row, n);
    prev = n;
    return next;
}

// One level of nodes over the level below: the second entry of a page
// always goes on it, as its tail.
std::unique_ptr<EntryLevel> IndexTreeStream::writeLevel(EntryLevel& below) {
    auto above = std::make_unique<EntryLevel>(memory_, where_);
    Group g;
    uint32_t prev = 0;
    EntryRef e;
    while (below.next(e)) {
        uint32_t page = 0;
        if (!g.empty()) {
            if (g.size() == 1) {
                g.push(e.key, e.row, e.child);
                continue;
            }
            const ByteView tail = g.key(g.size() - 1);
            if (g.grow(tail, tail.size() + 8)) {
                g.push(e.key, e.row, e.child);
                continue;
            }
            page = writeNode(g, prev, true, *above);
        } else {
            page = target_->allocate();
        }
        g.start(page, e.key, e.row, e.child, 8);
    }
    writeNode(g, prev, false, *above);
    return above;
}

uint32_t IndexTreeStream::finish(std::vector<uint32_t>& pages) {
    if (leaf_.empty()) {
        const uint32_t p = target_->allocate();
        pages.push_back(p);
        target_->write(
            p, buildIndexPage(kPageIndexLeaf, owner_, 0, 0, 0, std::span<const EntryRef>{}));
        return p;
    }
    writeLeaf(false);
    std::unique_ptr<EntryLevel> level = std::move(up_);
    while (level->size() > 1) level = writeLevel(*level);
    EntryRef root;
    level->next(root);
    pages.insert(pages.end(), pages_.begin(), pages_.end());
    return root.child;
}

}  // namespace jet