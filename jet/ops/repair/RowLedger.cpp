#include "ops/repair/RowLedger.h"

#include <algorithm>
#include <unordered_set>

#include "format/DataPage.h"
#include "read/SalvagePage.h"

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
    struct PageSlots {
        uint32_t page;
        std::vector<SalvagedSlot> slots;
    };
    std::vector<PageSlots> pages;
    std::unordered_set<uint32_t> pointedAt;  // where overflow pointers lead, deleted ones too
    for (uint32_t p = 3; p < ctx.census.pageCount(); ++p) {
        if (ctx.census[p].type != kPageData) continue;
        const TableDef* def = claimant(ctx, p);
        if (!def) continue;
        PageRef holder = ctx.file.page(p);
        PageSlots ps{p, salvageSlots(*holder, *def)};
        readAs_.emplace(p, def->name);
        for (const SalvagedSlot& s : ps.slots) {
            const bool stub = s.state == SalvagedSlot::State::kOverflow ||
                              (s.state == SalvagedSlot::State::kDeleted && s.pointer);
            if (stub && s.end >= s.start + 4) pointedAt.insert(u32(ByteView(*holder), s.start));
        }
        pages.push_back(std::move(ps));
    }
    for (const PageSlots& ps : pages) {
        PageRef holder;
        for (std::size_t r = 0; r < ps.slots.size(); ++r) {
            const SalvagedSlot& s = ps.slots[r];
            const uint32_t slot = RowPtr{ps.page, static_cast<uint8_t>(r)}.toU32();
            switch (s.state) {
                case SalvagedSlot::State::kLive:
                case SalvagedSlot::State::kOverflow:
                    found_[slot] = Found::kRow;
                    break;
                case SalvagedSlot::State::kDeleted: {
                    if (s.end <= s.start) break;
                    // A row an overflow pointer leads to is that pointer's row.
                    if (!s.pointer && pointedAt.count(slot) != 0) break;
                    if (!holder) holder = ctx.file.page(ps.page);
                    const TableDef* def = claimant(ctx, ps.page);
                    const ByteView bytes = ByteView(*holder).subspan(s.start, s.end - s.start);
                    if (!rowFault(*def, bytes).empty()) break;
                    // Flagged deleted: a row deleted, or one an overflow
                    // pointer lost with its page led to (kept where the
                    // salvage takes it back).
                    found_[slot] = Found::kDeleted;
                    break;
                }
                case SalvagedSlot::State::kBroken:
                    break;  // not a row that reads: damage, logged where it is met
            }
        }
    }
}

void RowLedger::place(RowPtr slot, Place p, const std::string& table) {
    const uint32_t u = slot.toU32();
    auto [it, fresh] = placed_.emplace(u, Placed{p, table});
    if (!fresh) twice_.emplace_back(u, table);
}

void RowLedger::keep(RowPtr slot, const std::string& table, bool recovered) {
    place(slot, recovered ? Place::kRecovered : Place::kKept, table);
}

void RowLedger::drop(RowPtr slot, const std::string& table) {
    place(slot, Place::kDropped, table);
}

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
    if (!twice_.empty()) {
        const auto& [slot, table] = twice_.front();
        fault = "the row at " + where(slot) + " went both to table '" + placed_.at(slot).table +
                "' and to table '" + table + "'";
    }
    std::vector<uint32_t> unplaced;
    for (const auto& [slot, kind] : found_) {
        (kind == Found::kRow ? a.rows : a.deleted) += 1;
        auto p = placed_.find(slot);
        if (p == placed_.end()) {
            if (kind == Found::kDeleted) {
                ++a.deletedLeftOut;
            } else {
                unplaced.push_back(slot);
            }
            continue;
        }
        (p->second.place == Place::kKept        ? a.kept
         : p->second.place == Place::kRecovered ? a.recovered
                                                : a.dropped) += 1;
    }
    // Rows kept from pages the census could not read as a table's (their
    // header damaged) are found by being kept.
    for (const auto& [slot, p] : placed_) {
        if (found_.count(slot) != 0 || p.place == Place::kDropped) continue;
        ++a.rows;
        (p.place == Place::kKept ? a.kept : a.recovered) += 1;
    }
    if (fault.empty() && !unplaced.empty()) {
        std::sort(unplaced.begin(), unplaced.end());
        fault = std::to_string(unplaced.size()) + (unplaced.size() == 1 ? " row" : " rows") +
                " found nowhere in the copy or the damage log, the first at " +
                where(unplaced.front()) + " (read as a row of table '" +
                readAs_.at(RowPtr::fromU32(unplaced.front()).page) + "')";
    }
    return a;
}

}  // namespace jet
