// The salvage of a table: which pages are its own, and the rows on them.
#include "salvage/TableSalvage.h"

#include <algorithm>
#include <bit>
#include <set>

#include "format/DataPage.h"
#include "format/LongValue.h"
#include "format/Row.h"
#include "format/UsageMap.h"
#include "keys/KeyEncoding.h"
#include "salvage/SalvageIndex.h"
#include "salvage/SalvagePage.h"

namespace jet {

namespace {

std::string pageText(uint32_t p) { return "page " + std::to_string(p); }

bool contains(const std::vector<uint32_t>& sorted, uint32_t v) {
    return std::binary_search(sorted.begin(), sorted.end(), v);
}

uint64_t addCapped(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

}  // namespace

void TableSalvage::run() {
    gatherIndexEvidence();
    choosePages();
    readRows();
    makeKeys();
}

// The pages the table's indexes point to, and each index's entries by row
// (for keys that cannot be made from the row), from every leaf page that
// reads.
void TableSalvage::gatherIndexEvidence() {
    sourceKeys_.assign(def_.realIndexes.size(), {});
    for (std::size_t i = 0; i < def_.realIndexes.size(); ++i) {
        const SalvagedIndex found = salvageIndex(ctx_.file, def_.realIndexes[i], def_.firstPage);
        const PackedEntries& packed = found.entries;
        auto& keys = sourceKeys_[i];
        for (const auto& e : packed.entries) {
            pointedPages_.push_back(e.row.page);
            const ByteView k = packed.key(e);
            keys.emplace_back(e.row.toU32(), Bytes(k.begin(), k.end()));
        }
        std::sort(keys.begin(), keys.end());
    }
    std::sort(pointedPages_.begin(), pointedPages_.end());
    pointedPages_.erase(std::unique(pointedPages_.begin(), pointedPages_.end()),
                        pointedPages_.end());
}

void TableSalvage::choosePages() {
    std::vector<uint32_t> listed;
    bool mapLost = def_.ownedMap.isNull();
    if (!mapLost) {
        auto it = ctx_.listed.find(def_.firstPage);
        if (it != ctx_.listed.end()) {
            listed = it->second;
        } else {
            mapLost = true;
        }
    }
    // Without the map, the pages it listed are unknown: any row the count
    // names and no page holds may have been on one of them.
    if (mapLost) lostCapacity_ = UINT64_MAX;
    takeListed(listed);
    takeUnlisted(listed, mapLost);
    std::sort(pages_.begin(), pages_.end());
    pages_.erase(std::unique(pages_.begin(), pages_.end()), pages_.end());
}

// The listed pages that are the table's: its own, and those whose header
// alone is damaged. A page another table's rows are on goes to that table
// (it lists it too, or takes it back as its own); a page that holds no
// table's rows is foreign: its rows are left out, and what the table kept
// there is lost.
void TableSalvage::takeListed(const std::vector<uint32_t>& listed) {
    const uint32_t me = def_.firstPage;
    for (uint32_t p : listed) {
        if (p >= ctx_.census.pageCount()) {
            loseCapacity();
            issues_.push_back({SalvageIssue::Kind::kPageLost,
                               {p, 0},
                               "its usage map lists " + pageText(p) +
                                   ", beyond the end of the file: the rows there are lost",
                               {},
                               0});
            continue;
        }
        const PageClaim claim = claimListed(ctx_, me, p);
        switch (claim.kind) {
            case PageClaim::Kind::kOwn:
            case PageClaim::Kind::kReturned:
                if (claim.table != me) continue;  // another table's rows: they go there
                if (heldElsewhere(p)) break;
                pages_.push_back(p);
                continue;
            case PageClaim::Kind::kRepaired:
                if (listedByAnother(p)) break;
                pages_.push_back(p);
                continue;
            case PageClaim::Kind::kForeign:
                // A header overwritten, where the table's own indexes
                // vouch for the rows as they lie.
                if (!listedByAnother(p) && indexVouchesFor(p)) {
                    pages_.push_back(p);
                    continue;
                }
                break;
        }
        leaveForeign(p);
    }
}

bool TableSalvage::listedByAnother(uint32_t page) const {
    for (const auto& [table, pages] : ctx_.listed) {
        if (table != def_.firstPage && contains(pages, page)) return true;
    }
    return false;
}

void TableSalvage::loseCapacity(uint64_t rows) {
    pagesLost_ = true;
    lostCapacity_ = addCapped(lostCapacity_, rows);
}

// A listed page that holds nothing of the table: a page wiped or of
// another kind, or a data page of no table of the file, whose rows are
// left out as foreign.
void TableSalvage::leaveForeign(uint32_t page) {
    loseCapacity();
    const PageCensus::Entry& e = ctx_.census[page];
    PageRef holder = ctx_.file.page(page);
    std::size_t rows = 0;
    if (e.type == kPageData && offsetsSound(*holder)) {
        const ByteView all(*holder);
        const std::vector<SalvagedSlot> slots = salvageSlots(*holder, def_);
        for (std::size_t i = 0; i < slots.size(); ++i) {
            if (slots[i].state == SalvagedSlot::State::kDeleted) continue;
            ++rows;
            const std::string why =
                e.owner == def_.firstPage
                    ? "which names the table as owner, but whose rows its unique index finds "
                      "elsewhere in the table (a page of another copy of the database written "
                      "over one of its own)"
                    : "which the table's usage map lists but whose rows are no table's of this "
                      "file (its owner field names page " +
                          std::to_string(e.owner) + ")";
            drop(SalvageIssue::Kind::kRowForeign, {page, static_cast<uint8_t>(i)},
                 "it lies on " + pageText(page) + ", " + why + ": left out",
                 all.subspan(slots[i].start, slots[i].end - slots[i].start));
        }
        foreign_ += rows;
    }
    const std::string found =
        rows > 0 ? "a data page of " + std::to_string(rows) + (rows == 1 ? " row" : " rows") +
                       " that belong to no table of this file"
        : e.type == 0         ? "a page of type 0 (zeroed?)"
        : e.type == kPageData ? "a data page of owner " + std::to_string(e.owner)
                              : "a page of type " + std::to_string(e.type);
    issues_.push_back({SalvageIssue::Kind::kPageLost,
                       {page, 0},
                       "its usage map lists " + pageText(page) + ", which is " + found +
                           ": whatever rows of the table it held are lost",
                       {},
                       0});
}

// The unique index whose keys tell rows apart: the primary key where it is
// unique, else the first unique index; -1 when there is none.
int TableSalvage::witness() const {
    if (const LogicalIndex* pk = def_.primaryKey();
        pk && pk->realIndex < def_.realIndexes.size() && def_.realIndexes[pk->realIndex].unique())
        return static_cast<int>(pk->realIndex);
    for (std::size_t i = 0; i < def_.realIndexes.size(); ++i)
        if (def_.realIndexes[i].unique()) return static_cast<int>(i);
    return -1;
}

// How many of the table's indexes list slot with the key parts the row's
// values give (data: where its bytes are); -1 where one lists it with parts
// they contradict.
int TableSalvage::fitAt(RowPtr slot, const RowView& rv, RowPtr data) const {
    int n = 0;
    for (std::size_t i = 0; i < def_.realIndexes.size(); ++i) {
        const std::optional<bool> f = entryFitsRow(i, slot, rv, data);
        if (f == std::optional<bool>(false)) return -1;
        n += f.value_or(false);
    }
    return n;
}

// How many of the indexes must fit a row for it to be told apart from
// another by them: two where two or more can be compared with rows.
int TableSalvage::fitNeeded() const {
    int comparable = 0;
    for (const auto& ri : def_.realIndexes) {
        for (const IndexColumn& ic : ri.columns) {
            const Column* c = def_.columnByNumber(ic.column);
            if (c && keyEncodable(c->type)) {
                ++comparable;
                break;
            }
        }
    }
    return std::min(comparable, 2);
}

// The row at slot, as it stands on a page that names the table (holder
// keeps the page its values are read from); false where there is none.
bool TableSalvage::liveRowAt(RowPtr slot, PageRef& holder, RowView& rv) {
    if (slot.page >= ctx_.census.pageCount() || ctx_.census[slot.page].type != kPageData ||
        ctx_.census[slot.page].owner != def_.firstPage)
        return false;
    const std::vector<SalvagedSlot>& slots = slotsOf(slot.page);
    if (slot.row >= slots.size()) return false;
    const SalvagedSlot& s = slots[slot.row];
    if (s.state != SalvagedSlot::State::kLive || s.recovered) return false;
    holder = ctx_.file.page(slot.page);
    rv = crackRow(def_, ByteView(*holder).subspan(s.start, s.end - s.start), slot.page, slot.row);
    return true;
}

// Whether the row at slot, as it stands, fits what the indexes list there.
bool TableSalvage::fitsInPlace(RowPtr slot, int needed) {
    PageRef holder;
    RowView rv;
    return liveRowAt(slot, holder, rv) && fitAt(slot, rv, slot) >= needed;
}

// Whether the witness index has been checked against the rows it points
// to and found to hold: most of a sample of its entries, spread over it,
// give the key of the row at their slot. An index that fails the check
// (damaged, or keyed in an order this file does not keep) is evidence of
// nothing. The table has one witness, so the answer is kept.
bool TableSalvage::witnessHolds(std::size_t index) {
    if (witnessHolds_) return *witnessHolds_;
    const auto& keys = sourceKeys_[index];
    const std::size_t step = std::max<std::size_t>(1, keys.size() / 512);
    std::size_t fit = 0, tried = 0;
    for (std::size_t i = 0; i < keys.size(); i += step) {
        ++tried;
        const RowPtr slot = RowPtr::fromU32(keys[i].first);
        PageRef holder;
        RowView rv;
        if (liveRowAt(slot, holder, rv) && entryFitsRow(index, slot, rv, slot) == std::optional<bool>(true))
            ++fit;
    }
    witnessHolds_ = 2 * fit > tried;
    return *witnessHolds_;
}

// Whether a page that names the table was written over by a page of another
// copy of the database. The witness index, once checked against the rows
// it points to, lists rows at the page's slots, and none of them is there
// any more; and each row the page holds is unknown to the index, or listed
// at a slot of another page that holds it in place (a copy of a row the
// table holds there), never at one of its own slots or at a slot of a page
// that now holds something else (as each of two swapped pages holds the
// other's rows). A row the index does not know is no evidence by itself:
// an index with entries missing knows fewer rows than there are.
bool TableSalvage::heldElsewhere(uint32_t page) {
    const int w = witness();
    const int needed = fitNeeded();
    if (w < 0 || needed == 0) return false;
    const std::size_t index = static_cast<std::size_t>(w);
    const auto& keys = sourceKeys_[index];
    auto into = std::lower_bound(keys.begin(), keys.end(), RowPtr{page, 0}.toU32(),
                                 [](const auto& e, uint32_t v) { return e.first < v; });
    if (into == keys.end() || RowPtr::fromU32(into->first).page != page) return false;
    if (!witnessHolds(index)) return false;
    for (auto e = into; e != keys.end() && RowPtr::fromU32(e->first).page == page; ++e) {
        if (fitsInPlace(RowPtr::fromU32(e->first), 1)) return false;
    }
    if (byKey_.empty()) {
        for (const auto& [u, key] : keys) byKey_.emplace(key, u);
    }
    const std::vector<SalvagedSlot>& slots = slotsOf(page);
    PageRef holder = ctx_.file.page(page);
    std::size_t rows = 0;
    for (std::size_t r = 0; r < slots.size(); ++r) {
        const SalvagedSlot& s = slots[r];
        if (s.state != SalvagedSlot::State::kLive) continue;
        const RowPtr at{page, static_cast<uint8_t>(r)};
        const RowView rv = crackRow(def_, ByteView(*holder).subspan(s.start, s.end - s.start), page,
                                    static_cast<int>(r));
        const auto key = encodeRowKey(def_, def_.realIndexes[index], rv, page, static_cast<int>(r));
        if (!key) return false;
        ++rows;
        for (auto [it, end] = byKey_.equal_range(*key); it != end; ++it) {
            const RowPtr u = RowPtr::fromU32(it->second);
            if (fitAt(u, rv, at) < needed) continue;  // listed there, but as another row
            // Known to the indexes: in this page, or displaced from one
            // that holds something else now.
            if (u.page == page || !fitsInPlace(u, needed)) return false;
        }
    }
    return rows > 0;
}

// Whether the table's indexes vouch for the rows of a page as they lie:
// entries point to its live rows with keys their values give, and none
// to one whose values give another key.
bool TableSalvage::indexVouchesFor(uint32_t page) {
    PageRef holder = ctx_.file.page(page);
    const ByteView all(*holder);
    const std::vector<SalvagedSlot> slots = salvageSlots(*holder, def_);
    std::size_t live = 0, vouched = 0;
    for (std::size_t r = 0; r < slots.size(); ++r) {
        const SalvagedSlot& s = slots[r];
        if (s.state == SalvagedSlot::State::kDeleted) continue;
        ++live;
        if (s.state != SalvagedSlot::State::kLive || s.recovered) return false;
        const RowPtr slot{page, static_cast<uint8_t>(r)};
        const RowView rv =
            crackRow(def_, all.subspan(s.start, s.end - s.start), page, static_cast<int>(r));
        bool any = false;
        for (std::size_t i = 0; i < def_.realIndexes.size(); ++i) {
            const std::optional<bool> fits = entryFitsRow(i, slot, rv, slot);
            if (fits && !*fits) return false;
            any = any || fits.value_or(false);
        }
        if (any) ++vouched;
    }
    // Every entry that points into the page must find a row there: a page
    // written over holds other rows, often fewer.
    for (const auto& keys : sourceKeys_) {
        auto lo = std::lower_bound(keys.begin(), keys.end(), RowPtr{page, 0}.toU32(),
                                   [](const auto& e, uint32_t v) { return e.first < v; });
        for (; lo != keys.end() && RowPtr::fromU32(lo->first).page == page; ++lo) {
            const uint8_t r = RowPtr::fromU32(lo->first).row;
            if (r >= slots.size() || slots[r].state != SalvagedSlot::State::kLive) return false;
        }
    }
    return live > 0 && 2 * vouched >= live;
}

// Pages that name the table as owner but are missing from its map. Those
// its free-space map or its indexes point to are its own; of the rest,
// those that make up the rows its definition counts and the map's pages
// lack. A table whose map is lost takes every such page the global map
// does not call free. Pages not taken look like old copies: their rows
// are left out, and listed as such.
void TableSalvage::takeUnlisted(const std::vector<uint32_t>& listed, bool mapLost) {
    std::vector<uint32_t> strong, weak;
    std::vector<uint32_t> freeMap;
    if (!def_.freeMap.isNull()) {
        try {
            freeMap = readUsageMap(ctx_.file, def_.freeMap, "free-space map").pages;
        } catch (const JetException&) {
        }
    }
    for (uint32_t p : ctx_.census.dataPagesOf(def_.firstPage)) {
        if (contains(listed, p) || ctx_.census[p].liveRows == 0) continue;
        // Another table's map lists it: its rows come back here where they
        // are this table's, as that table's salvage finds too.
        if (const auto listers = listersOf(ctx_, def_.firstPage, p); !listers.empty()) {
            const PageClaim claim = claimListed(ctx_, listers.front(), p);
            if (claim.kind == PageClaim::Kind::kReturned && claim.table == def_.firstPage)
                returned_.emplace_back(p, listers.front());
            continue;
        }
        (contains(freeMap, p) || contains(pointedPages_, p) ? strong : weak).push_back(p);
    }
    for (const auto& [p, from] : returned_) pages_.push_back(p);
    pages_.insert(pages_.end(), strong.begin(), strong.end());
    uint64_t have = 0;
    for (uint32_t p : pages_) have += ctx_.census[p].liveRows;
    const uint64_t need = def_.rowCount > have ? def_.rowCount - have : 0;
    auto rowsOf = [&](const std::vector<uint32_t>& v) {
        uint64_t n = 0;
        for (uint32_t p : v) n += ctx_.census[p].liveRows;
        return n;
    };
    std::vector<uint32_t> inUse;
    for (uint32_t p : weak) {
        if (!ctx_.census.globallyFree(p)) inUse.push_back(p);
    }
    std::vector<uint32_t> take;
    if (mapLost) {
        take = inUse;
    } else if (need > 0 && rowsOf(inUse) == need) {
        take = inUse;
    } else if (need > 0 && rowsOf(weak) == need) {
        take = weak;
    } else if (need > 0) {
        for (uint32_t p : weak) {
            if (ctx_.census[p].liveRows == need) take = {p};
        }
    }
    for (uint32_t p : weak) {
        if (std::find(take.begin(), take.end(), p) != take.end()) {
            pages_.push_back(p);
        } else {
            leaveOut(p, "it lies on " + pageText(p) +
                            ", which names the table as owner but is not in its usage map, and "
                            "looks like an old copy left behind: not copied");
        }
    }
}

void TableSalvage::readRows() {
    for (uint32_t p : pages_) readPage(p);
    restoreIndexed();
    takeOrphans();
    std::sort(kept_.begin(), kept_.end(),
              [](const KeptRow& a, const KeptRow& b) { return a.slot < b.slot; });
    countMovedBack();
    if (found_ < def_.rowCount) {
        missing_ = def_.rowCount - found_;
        issues_.push_back({SalvageIssue::Kind::kRowsMissing,
                           {def_.firstPage, 0},
                           "its definition counts " + std::to_string(def_.rowCount) + " rows; " +
                               std::to_string(found_) + " were found" +
                               (pagesLost_ ? ": the rest were on pages that are lost"
                                           : " (the count may be stale, or rows lost)"),
                           {},
                           missing_});
    }
}

void TableSalvage::readPage(uint32_t page) {
    PageRef holder = ctx_.file.page(page);
    const std::vector<SalvagedSlot> slots = salvageSlots(*holder, def_);
    const ByteView all(*holder);
    // Slots at the end whose offsets lie outside the page's rows: a count
    // of slots too large reads them from what follows the slot table. They
    // are no rows to count as dropped; any row they held is lost with the
    // page's count, and said so once.
    std::size_t n = slots.size();
    while (n > 0 && slots[n - 1].state == SalvagedSlot::State::kBroken && slots[n - 1].offsetLost)
        --n;
    if (n < slots.size()) {
        loseCapacity(slots.size() - n);
        issues_.push_back({SalvageIssue::Kind::kPageLost,
                           {page, 0},
                           "slots " + std::to_string(n) + "-" + std::to_string(slots.size() - 1) +
                               " of " + pageText(page) +
                               " point outside the page's rows (its count of slots may be "
                               "damaged): any rows they held are lost",
                           {},
                           0});
    }
    for (std::size_t i = 0; i < n; ++i) {
        const SalvagedSlot& s = slots[i];
        const RowPtr slot{page, static_cast<uint8_t>(i)};
        const ByteView bytes = all.subspan(s.start, s.end - s.start);
        switch (s.state) {
            case SalvagedSlot::State::kDeleted:
                // Rows overflow pointers lead to carry the deleted flag alone;
                // a deleted row's pointer may still lead to its old bytes.
                if (!s.pointer && s.end > s.start) flaggedDeleted_.emplace_back(slot, s);
                if (s.pointer && bytes.size() >= 4) deletedReached_.insert(u32(bytes, 0));
                continue;
            case SalvagedSlot::State::kBroken:
                ++found_;
                drop(SalvageIssue::Kind::kRowDropped, slot, "it cannot be read: " + s.why, bytes);
                continue;
            case SalvagedSlot::State::kOverflow: {
                ++found_;
                RowPtr data;
                uint16_t start = 0, end = 0;
                PageRef target;
                std::string why;
                bool again = false;
                if (!resolveOverflow(bytes, data, start, end, target, why, again)) {
                    lostStubs_.push_back(
                        {slot, std::move(why), Bytes(bytes.begin(), bytes.end()), again});
                    continue;
                }
                reached_.insert(data.toU32());
                keepRow(slot, data, start, end, target);
                continue;
            }
            case SalvagedSlot::State::kLive:
                ++found_;
                keepRow(slot, slot, s.start, s.end, holder);
                continue;
        }
    }
}

// Follows an overflow pointer (a few hops at most) to the row's bytes: a
// slot flagged deleted (as the rows pointers lead to are, so that scans
// skip them) that no other pointer led to, reading as a row of the table.
// A pointer that leads to a row the table holds by itself, or to one
// another pointer led to, is a second reference to it (again).
bool TableSalvage::resolveOverflow(ByteView pointer, RowPtr& data, uint16_t& start, uint16_t& end,
                                   PageRef& holder, std::string& why, bool& again) {
    RowPtr at = RowPtr::fromU32(u32(pointer, 0));
    for (int hops = 0; hops < 16; ++hops) {
        why = "its overflow pointer leads to page " + std::to_string(at.page) + " row " +
              std::to_string(at.row) + ", ";
        if (at.page < 3 || at.page >= ctx_.census.pageCount()) {
            why += "which is not in the file";
            return false;
        }
        const PageCensus::Entry& e = ctx_.census[at.page];
        if (!contains(pages_, at.page) &&
            (e.type != kPageData || std::popcount(e.owner ^ def_.firstPage) > 1)) {
            why += "which is not one of the table's pages";
            return false;
        }
        holder = ctx_.file.page(at.page);
        const std::vector<SalvagedSlot> slots = salvageSlots(*holder, def_);
        if (at.row >= slots.size() || slots[at.row].end <= slots[at.row].start) {
            why += "which holds no row";
            return false;
        }
        const SalvagedSlot& s = slots[at.row];
        if (s.state != SalvagedSlot::State::kDeleted) {
            again = true;
            why += "a row of the table by itself, which is copied once, there";
            return false;
        }
        if (reached_.count(at.toU32()) != 0) {
            again = true;
            why += "to which another overflow pointer led first";
            return false;
        }
        const ByteView b = ByteView(*holder).subspan(s.start, s.end - s.start);
        if (s.pointer && b.size() >= 4 && !rowFault(def_, b).empty()) {
            at = RowPtr::fromU32(u32(b, 0));
            continue;
        }
        const std::string fault = rowFault(def_, b);
        if (!fault.empty()) {
            why += "which cannot be read: " + fault;
            return false;
        }
        data = at;
        start = s.start;
        end = s.end;
        return true;
    }
    why = "its overflow pointers form a chain too long";
    return false;
}

// The slots of a page of the table as salvage reads them, kept while the
// rows left unseen are sought.
const std::vector<SalvagedSlot>& TableSalvage::slotsOf(uint32_t page) {
    auto it = slotCache_.find(page);
    if (it == slotCache_.end())
        it = slotCache_.emplace(page, salvageSlots(*ctx_.file.page(page), def_)).first;
    return it->second;
}

// A row flagged deleted that one of the table's indexes still lists, with
// the key its values give: a delete cut short before the index was told,
// or a damaged flag. Its bytes are there: it is brought back, and said so,
// so that nothing the user may still want is lost. Where its bytes are
// gone, or the key cannot be compared with them, it stays deleted, and that
// is said too; an entry whose key the row's values contradict is the
// index's damage alone.
void TableSalvage::restoreIndexed() {
    std::map<uint32_t, std::vector<std::size_t>> listing;  // deleted slot -> indexes listing it
    for (std::size_t i = 0; i < sourceKeys_.size(); ++i) {
        for (const auto& [u, key] : sourceKeys_[i]) {
            const RowPtr slot = RowPtr::fromU32(u);
            if (!contains(pages_, slot.page) || reached_.count(u) != 0) continue;
            const std::vector<SalvagedSlot>& slots = slotsOf(slot.page);
            if (slot.row < slots.size() && slots[slot.row].state == SalvagedSlot::State::kDeleted)
                listing[u].push_back(i);
        }
    }
    for (auto& [u, indexes] : listing) {
        indexes.erase(std::unique(indexes.begin(), indexes.end()), indexes.end());
        const RowPtr slot = RowPtr::fromU32(u);
        const SalvagedSlot& s = slotsOf(slot.page)[slot.row];
        PageRef holder = ctx_.file.page(slot.page);
        const ByteView bytes = ByteView(*holder).subspan(s.start, s.end - s.start);
        RowView rv;
        const bool reads = !bytes.empty() && !s.pointer && rowFault(def_, bytes).empty() &&
                           tryCrackRow(def_, bytes, rv) == nullptr;
        bool fits = false, contradicted = reads;
        for (std::size_t i : indexes) {
            if (!reads) break;
            const std::optional<bool> f = entryFitsRow(i, slot, rv, slot);
            fits = fits || (f && *f);
            contradicted = contradicted && f && !*f;
        }
        if (contradicted) continue;
        restoredSlots_.insert(u);
        const std::string listed = "it is flagged deleted, but index '" + indexName(indexes[0]) +
                                   "' still lists it (a delete cut short, or its flag damaged): ";
        if (!fits) {
            ++deletesKept_;
            drop(SalvageIssue::Kind::kDeleteKept, slot,
                 listed +
                     (reads ? "the index's key cannot be compared with its values"
                            : "its bytes no longer hold a row") +
                     ", so it stays deleted",
                 bytes);
            continue;
        }
        ++found_;
        const std::size_t before = kept_.size();
        keepRow(slot, slot, s.start, s.end, holder);
        if (kept_.size() == before) continue;  // dropped, and said so
        ++restored_;
        drop(SalvageIssue::Kind::kRowRestored, slot,
             listed + "it is brought back; delete it again if it was meant to go", bytes);
    }
}

// Rows an overflow pointer led to (flagged deleted, so that scans skip
// them) that no pointer reaches now: the pointer was lost or misdirected.
// Each is the row of one such pointer, and is kept; where no pointer was
// lost and every row the table counts is found, they are left out.
void TableSalvage::takeOrphans() {
    std::vector<std::pair<RowPtr, SalvagedSlot>> orphans;
    for (const auto& [slot, s] : flaggedDeleted_) {
        const uint32_t u = slot.toU32();
        if (reached_.count(u) != 0 || deletedReached_.count(u) != 0 || restoredSlots_.count(u) != 0)
            continue;
        PageRef holder = ctx_.file.page(slot.page);
        if (rowFault(def_, ByteView(*holder).subspan(s.start, s.end - s.start)).empty())
            orphans.emplace_back(slot, s);
    }
    flaggedDeleted_.clear();
    const bool wanted = !lostStubs_.empty() || found_ < def_.rowCount;
    std::size_t paired = 0;
    for (const auto& [slot, s] : orphans) {
        PageRef holder = ctx_.file.page(slot.page);
        const ByteView bytes = ByteView(*holder).subspan(s.start, s.end - s.start);
        if (!wanted) {
            ++leftOut_;
            drop(SalvageIssue::Kind::kRowLeftOut, slot,
                 "it is a row an overflow pointer led to, which no pointer reaches now, while "
                 "every row the table counts is found: not copied",
                 bytes);
            continue;
        }
        const std::size_t before = kept_.size();
        keepRow(slot, slot, s.start, s.end, holder);
        if (kept_.size() == before) continue;
        if (paired < lostStubs_.size()) {
            ++paired;
        } else {
            ++found_;
        }
    }
    // The pointers whose rows were found that way are second references;
    // the rest lost their rows.
    for (std::size_t k = 0; k < lostStubs_.size(); ++k) {
        LostStub& l = lostStubs_[k];
        if (k < paired) {
            drop(SalvageIssue::Kind::kSecondReference, l.slot,
                 l.why +
                     "; a row an overflow pointer led to, which no pointer reaches now, is "
                     "kept in its place",
                 l.bytes);
        } else {
            drop(l.again ? SalvageIssue::Kind::kSecondReference : SalvageIssue::Kind::kRowDropped,
                 l.slot, l.why, l.bytes);
        }
    }
}

void TableSalvage::countMovedBack() {
    for (const auto& [page, from] : returned_) {
        const uint32_t returned = page;  // a binding the lambda may name on every compiler
        const uint64_t n = static_cast<uint64_t>(std::count_if(
            kept_.begin(), kept_.end(), [&](const KeptRow& k) { return k.slot.page == returned; }));
        movedBack_ += n;
        auto other = ctx_.tables.find(from);
        const std::string lister = other != ctx_.tables.end()
                                       ? "table '" + other->second->name + "'"
                                       : "the table at page " + std::to_string(from);
        issues_.push_back({SalvageIssue::Kind::kRowsMovedBack,
                           {page, 0},
                           pageText(page) + ", which the usage map of " + lister +
                               " lists, is a page of this table (its owner field names it and "
                               "its rows read as its rows): its " +
                               std::to_string(n) + (n == 1 ? " row is" : " rows are") +
                               " copied back into this table",
                           {},
                           n});
    }
}

// Keeps a row that reads, unless a zeroed sector lies under it; its long
// values that cannot be followed are set to null.
void TableSalvage::keepRow(RowPtr slot, RowPtr data, uint16_t start, uint16_t end,
                           const PageRef& holder) {
    const ByteView bytes = ByteView(*holder).subspan(start, end - start);
    const RowView rv = crackRow(def_, bytes, data.page, data.row);
    const int sector = tornSectorUnder(*holder, def_, rv, start, end);
    if (sector >= 0) {
        drop(SalvageIssue::Kind::kRowDropped, slot,
             "part of it lies in bytes " + std::to_string(sector * 512) + "-" +
                 std::to_string(sector * 512 + 511) + " of page " + std::to_string(data.page) +
                 ", which read as zeros (a write cut short): its values cannot be trusted",
             bytes);
        return;
    }
    std::vector<uint16_t> nulled;
    std::string why;
    Bytes value;
    for (const auto& c : def_.columns) {
        if (!c.isLongValue() || c.fixed() || c.varIndex >= rv.varSlots.size() ||
            !rv.notNull(c.number))
            continue;
        auto [s, e] = rv.varSlots[c.varIndex];
        if (s == e) continue;
        try {
            readLongValueInto(ctx_.file, bytes.subspan(s, e - s), data.page, data.row, value);
        } catch (const JetException& ex) {
            nulled.push_back(c.number);
            why +=
                (why.empty() ? "" : "; ") + ("column '" + c.name + "': ") + ex.error().description;
        }
    }
    KeptRow k{slot, data, start, end, 0};
    if (!nulled.empty()) {
        nulledColumns_.push_back(nulled);
        k.nulled = static_cast<uint32_t>(nulledColumns_.size());
        ++changed_;
        issues_.push_back({SalvageIssue::Kind::kValueNulled, slot,
                           "a long value cannot be followed and is set to null (" + why + ")",
                           Bytes(bytes.begin(), bytes.end()), 0});
    }
    kept_.push_back(k);
}

void TableSalvage::drop(SalvageIssue::Kind kind, RowPtr at, std::string what, ByteView row) {
    issues_.push_back({kind, at, std::move(what), Bytes(row.begin(), row.end()), 0});
}

void TableSalvage::leaveOut(uint32_t page, const std::string& why) {
    PageRef holder = ctx_.file.page(page);
    const ByteView all(*holder);
    const std::vector<SalvagedSlot> slots = salvageSlots(*holder, def_);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (slots[i].state == SalvagedSlot::State::kDeleted) continue;
        ++leftOut_;
        drop(SalvageIssue::Kind::kRowLeftOut, {page, static_cast<uint8_t>(i)}, why,
             all.subspan(slots[i].start, slots[i].end - slots[i].start));
    }
}

ByteView TableSalvage::rowBytes(const KeptRow& r, PageRef& holder, Bytes& scratch) const {
    holder = ctx_.file.page(r.data.page);
    const ByteView bytes = ByteView(*holder).subspan(r.start, r.end - r.start);
    if (r.nulled == 0) return bytes;
    // The row again, with the long values that could not be followed null.
    const RowView rv = crackRow(def_, bytes, r.data.page, r.data.row);
    Bytes mask(bytes.begin() + static_cast<std::ptrdiff_t>(rv.maskOffset), bytes.end());
    std::vector<ByteView> slots;
    for (auto [s, e] : rv.varSlots) slots.push_back(bytes.subspan(s, e - s));
    for (uint16_t number : nulledColumns_[r.nulled - 1]) {
        mask[number / 8] = static_cast<uint8_t>(mask[number / 8] & ~(1u << (number % 8)));
        if (const Column* c = def_.columnByNumber(number); c && c->varIndex < slots.size())
            slots[c->varIndex] = {};
    }
    buildRowInto(scratch, rv.ncols, bytes.subspan(2, rv.fixedEnd - 2), slots, mask,
                 def_.numVar > 0);
    return scratch;
}

}  // namespace jet
