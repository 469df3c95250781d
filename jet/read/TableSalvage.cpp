// The salvage of a table: which pages are its own, and the rows on them.
#include "read/TableSalvage.h"

#include <algorithm>
#include <bit>

#include "format/DataPage.h"
#include "format/LongValue.h"
#include "format/Row.h"
#include "format/UsageMap.h"
#include "read/SalvagePage.h"

namespace jet {

namespace {

std::string pageText(uint32_t p) { return "page " + std::to_string(p); }

bool contains(const std::vector<uint32_t>& sorted, uint32_t v) {
    return std::binary_search(sorted.begin(), sorted.end(), v);
}

uint64_t addCapped(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

}  // namespace

std::map<uint32_t, std::vector<uint32_t>> readOwnedMaps(
    PageFile& file, const std::vector<const TableDef*>& tables) {
    std::map<uint32_t, std::vector<uint32_t>> out;
    for (const TableDef* def : tables) {
        if (def->ownedMap.isNull()) continue;
        try {
            out[def->firstPage] = readUsageMap(file, def->ownedMap, "owned pages").pages;
        } catch (const JetException&) {
        }
    }
    return out;
}

bool pagesMayBeMissing(const PageCensus& census, const TableDef& def,
                       const std::vector<uint32_t>& listed, uint64_t listedRows,
                       const std::map<uint32_t, std::vector<uint32_t>>& listedByTable) {
    if (listedRows >= def.rowCount) return false;
    for (uint32_t p : census.dataPagesOf(def.firstPage)) {
        if (census[p].liveRows == 0 || contains(listed, p)) continue;
        bool other = false;
        for (const auto& [table, pages] : listedByTable)
            other = other || (table != def.firstPage && contains(pages, p));
        if (!other) return true;
    }
    return false;
}

bool headerMayBeDamaged(const PageCensus& census, uint32_t table, const Page& page) {
    const uint32_t owner = u32(page, 4);
    const bool near = std::popcount(owner ^ table) <= 1;
    switch (page[0]) {
        case kPageData:
            return near || owner >= census.pageCount() || !census[owner].startsDefinition;
        case kPageTableDef:
        case kPageIndexNode:
        case kPageIndexLeaf:
            return false;  // these name the table too
        default:
            return near;
    }
}

void TableSalvage::run() {
    gatherIndexEvidence();
    choosePages();
    readRows();
    makeKeys();
}

// The pages the table's readable indexes point to, and each index's
// entries by row (for keys that cannot be made from the row).
void TableSalvage::gatherIndexEvidence() {
    sourceKeys_.assign(def_.realIndexes.size(), {});
    IndexTree tree;
    PackedEntries packed;
    for (std::size_t i = 0; i < def_.realIndexes.size(); ++i) {
        try {
            readIndexTreePacked(ctx_.file, def_.realIndexes[i].rootPage, def_.firstPage, "index",
                                tree, packed);
        } catch (const JetException&) {
            continue;
        }
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

// The listed pages that are the table's: its own, and those whose owner
// field is one bit off when nothing else claims them and their rows read
// as the table's. A page another table owns and lists is only stale.
void TableSalvage::takeListed(const std::vector<uint32_t>& listed) {
    const uint32_t me = def_.firstPage;
    for (uint32_t p : listed) {
        if (p >= ctx_.census.pageCount()) {
            pagesLost_ = true;
            lostCapacity_ = addCapped(lostCapacity_, kMaxRowsPerPage);
            issues_.push_back({SalvageIssue::Kind::kPageLost,
                               {p, 0},
                               "its usage map lists " + pageText(p) +
                                   ", beyond the end of the file: the rows there are lost",
                               {},
                               0});
            continue;
        }
        const PageCensus::Entry& e = ctx_.census[p];
        if (e.type == kPageData && e.owner == me) {
            pages_.push_back(p);
            continue;
        }
        if (e.type == kPageData) {
            auto other = ctx_.listed.find(e.owner);
            if (other != ctx_.listed.end() && contains(other->second, p)) continue;
        }
        // Its header damaged; or its owner field names another table that
        // does not list it, where the table's own indexes point into it.
        const bool ours = headerMayBeDamaged(ctx_.census, me, *ctx_.file.page(p)) ||
                          (e.type == kPageData && contains(pointedPages_, p));
        if (ours && !listedByAnother(p) && rowsReadAsOurs(p)) {
            pages_.push_back(p);
            ++repaired_;
            continue;
        }
        pagesLost_ = true;
        lostCapacity_ = addCapped(lostCapacity_, kMaxRowsPerPage);
        const std::string found = e.type == 0 ? "a page of type 0 (zeroed?)"
                                  : e.type == kPageData
                                      ? "a data page of owner " + std::to_string(e.owner)
                                      : "a page of type " + std::to_string(e.type);
        issues_.push_back({SalvageIssue::Kind::kPageLost,
                           {p, 0},
                           "its usage map lists " + pageText(p) + ", which is " + found +
                               ": whatever rows of the table it held are lost",
                           {},
                           0});
    }
}

bool TableSalvage::listedByAnother(uint32_t page) const {
    for (const auto& [table, pages] : ctx_.listed) {
        if (table != def_.firstPage && contains(pages, page)) return true;
    }
    return false;
}

bool TableSalvage::rowsReadAsOurs(uint32_t page) {
    auto p = ctx_.file.page(page);
    std::size_t live = 0;
    for (const SalvagedSlot& s : salvageSlots(*p, def_)) {
        if (s.state == SalvagedSlot::State::kBroken || s.recovered) return false;
        if (s.state == SalvagedSlot::State::kLive) ++live;
    }
    return live > 0;
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
        if (contains(listed, p) || ctx_.census[p].liveRows == 0 || listedByAnother(p)) continue;
        (contains(freeMap, p) || contains(pointedPages_, p) ? strong : weak).push_back(p);
    }
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
        pagesLost_ = true;
        lostCapacity_ = addCapped(lostCapacity_, slots.size() - n);
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
                if (!resolveOverflow(bytes, data, start, end, target, why)) {
                    drop(SalvageIssue::Kind::kRowDropped, slot, why, bytes);
                    continue;
                }
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

// Follows an overflow pointer (a few hops at most) to the row's bytes,
// which must read as a row of the table.
bool TableSalvage::resolveOverflow(ByteView pointer, RowPtr& data, uint16_t& start, uint16_t& end,
                                   PageRef& holder, std::string& why) {
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
        // The row it leads to carries the deleted flag, so that scans skip it.
        if (at.row >= slots.size() || slots[at.row].end <= slots[at.row].start) {
            why += "which holds no row";
            return false;
        }
        const SalvagedSlot& s = slots[at.row];
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
