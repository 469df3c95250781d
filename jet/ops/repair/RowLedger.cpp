#include "ops/repair/RowLedger.h"

#include <algorithm>
#include <unordered_set>

#include "format/DataPage.h"
#include "salvage/SalvagePage.h"

namespace jet {

namespace {

const TableDef* tableAt(const SalvageContext& ctx, uint32_t page) {
    auto it = ctx.tables.find(page);
    return it == ctx.tables.end() ? nullptr : it->second;
}

// The table whose rows a data page's slots are read as: the one its owner
// field names, else one whose usage map lists it; null for a page of no
// table of the file (its definition lost with the rest of the table).
const TableDef* claimant(const SalvageContext& ctx, uint32_t page) {
    const uint32_t owner = ctx.census[page].owner;
    if (owner <= 1) return nullptr;  // usage-map rows, the global map
    if (const TableDef* d = tableAt(ctx, owner)) return d;
    for (const auto& [table, pages] : ctx.listed) {
        if (std::binary_search(pages.begin(), pages.end(), page)) {
            if (const TableDef* d = tableAt(ctx, table)) return d;
        }
    }
    return nullptr;
}

std::string where(uint32_t slot) {
    const RowPtr at = RowPtr::fromU32(slot);
    return "page " + std::to_string(at.page) + ", row " + std::to_string(at.row);
}

}  // namespace

RowLedger::RowLedger(const SalvageContext& ctx) {
    const uint32_t pages = ctx.census.pageCount();
    pages_.resize(pages);
    readAs_.assign(pages, 0);
    std::unordered_set<uint32_t> pointedAt;  // where overflow pointers lead, deleted ones too
    for (uint32_t p = 3; p < pages; ++p) {
        if (ctx.census[p].type != kPageData) continue;
        const TableDef* def = claimant(ctx, p);
        if (!def) continue;
        PageRef holder = ctx.file.page(p);
        for (const SalvagedSlot& s : salvageSlots(*holder, *def)) {
            const bool stub = s.state == SalvagedSlot::State::kOverflow ||
                              (s.state == SalvagedSlot::State::kDeleted && s.pointer);
            if (stub && s.end >= s.start + 4) pointedAt.insert(u32(ByteView(*holder), s.start));
        }
    }
    for (uint32_t p = 3; p < pages; ++p) {
        if (ctx.census[p].type != kPageData) continue;
        const TableDef* def = claimant(ctx, p);
        if (!def) continue;
        readAs_[p] = tableIndex(def->name);
        PageRef holder = ctx.file.page(p);
        const std::vector<SalvagedSlot> slots = salvageSlots(*holder, *def);
        std::vector<Slot>& out = pages_[p];
        out.resize(slots.size());
        for (std::size_t r = 0; r < slots.size(); ++r) {
            const SalvagedSlot& s = slots[r];
            const uint32_t slot = RowPtr{p, static_cast<uint8_t>(r)}.toU32();
            switch (s.state) {
                case SalvagedSlot::State::kLive:
                case SalvagedSlot::State::kOverflow:
                    out[r].found = kRow;
                    break;
                case SalvagedSlot::State::kDeleted: {
                    if (s.end <= s.start) break;
                    // A row an overflow pointer leads to is that pointer's row.
                    if (!s.pointer && pointedAt.count(slot) != 0) break;
                    const ByteView bytes = ByteView(*holder).subspan(s.start, s.end - s.start);
                    if (!rowFault(*def, bytes).empty()) break;
                    // Flagged deleted: a row deleted, or one an overflow
                    // pointer lost with its page led to (kept where the
                    // salvage takes it back).
                    out[r].found = kDeleted;
                    break;
                }
                case SalvagedSlot::State::kBroken:
                    break;  // not a row that reads: damage, logged where it is met
            }
        }
    }
}

uint16_t RowLedger::tableIndex(const std::string& name) {
    auto [it, fresh] = indexOf_.emplace(name, static_cast<uint16_t>(names_.size()));
    if (fresh) {
        if (names_.size() < UINT16_MAX) {
            names_.push_back(name);
        } else {
            it->second = UINT16_MAX;  // past 65,535 tables, names are not told apart
        }
    }
    return it->second;
}

const std::string& RowLedger::tableName(uint16_t index) const {
    static const std::string several = "one of several";
    return index < names_.size() ? names_[index] : several;
}

RowLedger::Slot& RowLedger::slotAt(RowPtr slot) {
    if (slot.page >= pages_.size()) pages_.resize(std::size_t{slot.page} + 1);
    std::vector<Slot>& page = pages_[slot.page];
    if (slot.row >= page.size()) page.resize(std::size_t{slot.row} + 1);
    return page[slot.row];
}

void RowLedger::place(RowPtr slot, Place p, const std::string& table) {
    Slot& s = slotAt(slot);
    const uint16_t t = tableIndex(table);
    if (s.place != kNowhere) {
        if (!twice_) {
            twice_ = true;
            twiceSlot_ = slot.toU32();
            twiceTable_ = t;
        }
        return;
    }
    s.place = p;
    s.table = t;
}

void RowLedger::keep(RowPtr slot, const std::string& table, bool recovered) {
    place(slot, recovered ? kRecovered : kKept, table);
}

void RowLedger::drop(RowPtr slot, const std::string& table) { place(slot, kDropped, table); }

uint64_t RowLedger::keepListed(const SalvageContext& ctx, uint32_t table,
                               const std::string& name, bool recovered) {
    auto listed = ctx.listed.find(table);
    const TableDef* def = tableAt(ctx, table);
    uint64_t kept = 0;
    if (listed == ctx.listed.end() || !def) return kept;
    for (uint32_t p : listed->second) {
        if (p >= ctx.census.pageCount() || ctx.census[p].type != kPageData ||
            ctx.census[p].owner != table)
            continue;
        const std::vector<SalvagedSlot> slots = salvageSlots(*ctx.file.page(p), *def);
        for (std::size_t r = 0; r < slots.size(); ++r) {
            if (slots[r].state == SalvagedSlot::State::kLive ||
                slots[r].state == SalvagedSlot::State::kOverflow) {
                keep({p, static_cast<uint8_t>(r)}, name, recovered);
                ++kept;
            }
        }
    }
    return kept;
}

RowAccount RowLedger::settle(std::string& fault) const {
    RowAccount a;
    fault.clear();
    if (twice_) {
        const RowPtr at = RowPtr::fromU32(twiceSlot_);
        fault = "the row at " + where(twiceSlot_) + " went both to table '" +
                tableName(pages_[at.page][at.row].table) + "' and to table '" +
                tableName(twiceTable_) + "'";
    }
    uint64_t unplaced = 0;
    uint32_t first = 0;
    for (uint32_t p = 0; p < pages_.size(); ++p) {
        const std::vector<Slot>& page = pages_[p];
        for (std::size_t r = 0; r < page.size(); ++r) {
            const Slot& s = page[r];
            if (s.found == kNotFound) {
                // A row kept from a page the census could not read as a
                // table's (its header damaged) is found by being kept.
                if (s.place == kKept || s.place == kRecovered) {
                    ++a.rows;
                    (s.place == kKept ? a.kept : a.recovered) += 1;
                }
                continue;
            }
            (s.found == kRow ? a.rows : a.deleted) += 1;
            switch (s.place) {
                case kNowhere:
                    if (s.found == kDeleted) {
                        ++a.deletedLeftOut;
                    } else if (unplaced++ == 0) {
                        first = RowPtr{p, static_cast<uint8_t>(r)}.toU32();
                    }
                    break;
                case kKept:
                    ++a.kept;
                    break;
                case kRecovered:
                    ++a.recovered;
                    break;
                default:
                    ++a.dropped;
                    break;
            }
        }
    }
    if (fault.empty() && unplaced != 0) {
        fault = std::to_string(unplaced) + (unplaced == 1 ? " row" : " rows") +
                " found nowhere in the copy or the damage log, the first at " + where(first) +
                " (read as a row of table '" + tableName(readAs_[RowPtr::fromU32(first).page]) +
                "')";
    }
    return a;
}

}  // namespace jet
