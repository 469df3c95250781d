#include "ops/compact/IndexRebuild.h"

#include <algorithm>
#include <cstring>

#include "keys/KeyEncoding.h"
#include "ops/compact/CopyPlan.h"
#include "os/ExternalSort.h"

namespace jet {

namespace {

// Records of a whole index to sort: the key, then the new row (4 bytes,
// big-endian), ordered by key and then row.
struct KeyThenRow {
    bool operator()(ByteView a, ByteView b) const {
        const int c = compareKeys(a.first(a.size() - 4), b.first(b.size() - 4));
        if (c != 0) return c < 0;
        return std::memcmp(a.data() + a.size() - 4, b.data() + b.size() - 4, 4) < 0;
    }
};

}  // namespace

IndexRebuild::IndexRebuild(Setup s)
    : setup_(std::move(s)),
      where_("table '" + setup_.def->name + "', index"),
      shape_(keyShape(*setup_.def, *setup_.ri)),
      base_(setup_.alloc->count()),
      tree_(std::make_unique<IndexTreeStream>(*setup_.alloc, *setup_.out, setup_.owner,
                                              setup_.levelsMemory, setup_.spill)) {
    // Key parts of columns that hold table Ids change with the Ids.
    for (std::size_t k = 0; k < setup_.ri->columns.size(); ++k) {
        const Column* c = setup_.def->columnByNumber(setup_.ri->columns[k].column);
        if (c->type == static_cast<uint8_t>(ColumnType::kLong) &&
            holdsTableIds(setup_.def->name, c->name)) {
            idParts_.push_back(k);
        }
    }
}

RowPtr IndexRebuild::mapped(RowPtr old) const {
    const SourceRows& source = *setup_.source;
    const LiveSlots::Page* p = source.live.find(old.page);
    if (!p || !LiveSlots::has(*p, old.row))
        failDamage(where_ + " entry points to a row that is not live", old.page, old.row);
    const uint32_t rank = LiveSlots::rank(*p, old.row);
    if (!source.reordered) return setup_.written->at(rank, p->note);
    return RowPtr::fromU32(source.order[rank]);  // the new slot, once written
}

// The entries' rows are looked up in no order, a cache miss each (and,
// in a virtual machine, a costly miss of the address translation): what
// each lookup needs is asked for some entries ahead, in two steps.
void IndexRebuild::add(const PackedEntries& entries) {
    constexpr std::size_t kAhead = 64;
    const auto& e = entries.entries;
    const std::size_t n = e.size();
    const SourceRows& source = *setup_.source;
    for (std::size_t i = 0; i < n; ++i) {
        // (At the call: a function that only prefetches looks free of
        // effects to the compiler, and its calls are dropped.)
        if (i + kAhead < n) {
            if (const LiveSlots::Page* p = source.live.where(e[i + kAhead].row.page)) {
                __builtin_prefetch(p);
                __builtin_prefetch(reinterpret_cast<const char*>(p + 1) - 1);  // across two lines
            }
        }
        if (i + kAhead / 2 < n) {
            const RowPtr r = e[i + kAhead / 2].row;
            const LiveSlots::Page* p = source.live.find(r.page);
            if (!p) {
            } else if (!source.reordered) {
                __builtin_prefetch(setup_.written->where(p->note));
            } else if (LiveSlots::has(*p, r.row)) {
                __builtin_prefetch(&source.order[LiveSlots::rank(*p, r.row)]);
            }
        }
        add(entries.key(e[i]), e[i].row);
    }
}

void IndexRebuild::add(ByteView key, RowPtr old) {
    if (disordered_) return;  // all of them are read again
    put(key, mapped(old));
}

// The key with its table Ids rewritten (a copy), or the key itself.
ByteView IndexRebuild::withIds(ByteView key) {
    if (idParts_.empty()) return key;
    scratch_.assign(key.begin(), key.end());
    auto parts = splitKey(scratch_, shape_);
    if (!parts) failDamage(where_ + " holds a key that cannot be read", setup_.ri->rootPage);
    for (std::size_t k : idParts_) {
        auto [off, len] = (*parts)[k];
        if (len != 5) continue;  // null
        const bool asc = shape_[k].second;
        uint32_t v = be32(scratch_, off + 1);
        if (!asc) v = ~v;
        v ^= 0x80000000u;
        auto m = setup_.tableIds->find(v);
        if (m == setup_.tableIds->end()) continue;
        uint32_t enc = m->second ^ 0x80000000u;
        if (!asc) enc = ~enc;
        putBe32(scratch_.data() + off + 1, enc);
    }
    return scratch_;
}

// An entry in the source's order, pointed at its new row. Entries with the
// same key are held until the key changes, and go into the tree in the
// order of their rows.
void IndexRebuild::put(ByteView key, RowPtr to) {
    ++count_;
    const ByteView k = withIds(key);
    if (inRun_) {
        const int c = compareKeys(runKey_, k);
        if (c == 0) {
            runRows_.push_back(to.toU32());
            return;
        }
        if (c > 0) {
            disordered_ = true;
            return;
        }
        endRun();
    }
    runKey_.assign(k.begin(), k.end());
    runRows_.clear();
    runRows_.push_back(to.toU32());
    inRun_ = true;
}

void IndexRebuild::endRun() {
    inRun_ = false;
    ++distinct_;
    if (runRows_.size() > 1 && !std::is_sorted(runRows_.begin(), runRows_.end())) {
        if (runRows_.size() * sizeof(uint32_t) <= setup_.tiesMemory) {
            std::sort(runRows_.begin(), runRows_.end());
        } else {
            // More rows of one key than memory holds: sorted through a file.
            ExternalSorter<uint32_t> rows(setup_.tiesMemory, setup_.spill);
            for (uint32_t r : runRows_) rows.add(r);
            runRows_.clear();
            rows.finish();
            uint32_t r;
            while (rows.next(r)) tree_->add(runKey_, RowPtr::fromU32(r));
            return;
        }
    }
    for (uint32_t r : runRows_) tree_->add(runKey_, RowPtr::fromU32(r));
}

uint32_t IndexRebuild::finish(std::vector<uint32_t>& pages, uint32_t& distinct) {
    if (!takesEntries())
        fromSourceExternally([&](ByteView key, RowPtr to) {
            if (!disordered_) put(key, to);
        });
    if (disordered_) {
        // Out of key order: the tree is begun again from all the entries,
        // sorted; pages it no longer needs are written over later or cut off.
        abandonedEnd_ = setup_.alloc->count();
        setup_.alloc->rewind(base_);
        tree_ = std::make_unique<IndexTreeStream>(*setup_.alloc, *setup_.out, setup_.owner,
                                                  setup_.levelsMemory, setup_.spill);
        count_ = 0;
        distinct_ = 0;
        sortAll();
    } else if (inRun_) {
        endRun();
    }
    if (!setup_.ri->ignoreNulls() && count_ != setup_.written->count()) {
        failDamage(where_ + " does not hold one entry for each row", setup_.ri->rootPage);
    }
    distinct = distinct_;
    return tree_->finish(pages);
}

void IndexRebuild::sortAll() {
    RecordSorter<KeyThenRow> sorted(setup_.sortMemory, setup_.spill);
    Bytes record;
    auto keep = [&](ByteView key, RowPtr to) {
        ++count_;
        const ByteView k = withIds(key);
        record.assign(k.begin(), k.end());
        record.resize(k.size() + 4);
        putBe32(record.data() + k.size(), to.toU32());
        sorted.add(record);
    };
    if (takesEntries()) {
        fromSource(keep);
    } else {
        fromSourceExternally(keep);
    }
    sorted.finish();
    ByteView r;
    Bytes last;
    bool any = false;
    while (sorted.next(r)) {
        const ByteView key = r.first(r.size() - 4);
        if (!any || compareKeys(key, last) != 0) ++distinct_;
        any = true;
        last.assign(key.begin(), key.end());
        tree_->add(key, RowPtr::fromU32(be32(r, r.size() - 4)));
    }
}

// The entries in the source's order, read again.
void IndexRebuild::fromSource(Visit visit) {
    setup_.entriesAgain([&](ByteView key, RowPtr old) { visit(key, mapped(old)); });
}

// The same when the rows' places are in a spill file: the entries' rows are
// sorted (with each entry's number), their places read from the file in
// order, and the new rows sorted back into the entries' order.
void IndexRebuild::fromSourceExternally(Visit visit) {
    Database& db = setup_.openSource();
    IndexTree pages;
    const std::size_t memory = setup_.sortMemory / 2;
    ExternalSorter<uint64_t> byRow(memory, setup_.spill);
    uint64_t n = 0;
    walkIndexTree(db.file(), setup_.ri->rootPage, setup_.def->firstPage, where_, pages,
                  [&](ByteView, RowPtr old) { byRow.add(uint64_t{old.toU32()} << 32 | n++); });
    byRow.finish();
    SpillFile& order = *setup_.source->orderFile;
    SpillReader places(order, 0, order.size(), 256u << 10);
    uint64_t read = 0;  // places read from the file
    uint32_t place = 0;
    ExternalSorter<uint64_t> byEntry(memory, setup_.spill);
    for (uint64_t v; byRow.next(v);) {
        const RowPtr old = RowPtr::fromU32(static_cast<uint32_t>(v >> 32));
        const std::optional<uint32_t> rank = setup_.source->live.rank(old);
        if (!rank) continue;  // found again below, in the entries' order
        for (; read <= *rank; ++read) std::memcpy(&place, places.take(4), 4);
        byEntry.add((v & 0xFFFFFFFFu) << 32 | setup_.written->at(place).toU32());
    }
    byEntry.finish();
    uint64_t e = 0;
    bool lost = false;
    RowPtr lostRow;
    walkIndexTree(db.file(), setup_.ri->rootPage, setup_.def->firstPage, where_, pages,
                  [&](ByteView key, RowPtr old) {
                      if (lost) return;
                      uint64_t v = 0;
                      if (!byEntry.next(v) || (v >> 32) != e) {
                          lost = true;  // this entry's row is not live
                          lostRow = old;
                          return;
                      }
                      ++e;
                      visit(key, RowPtr::fromU32(static_cast<uint32_t>(v)));
                  });
    if (lost)
        failDamage(where_ + " entry points to a row that is not live", lostRow.page, lostRow.row);
}

}  // namespace jet
