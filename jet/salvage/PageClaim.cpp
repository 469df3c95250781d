#include "salvage/PageClaim.h"

#include <algorithm>
#include <bit>

#include "format/DataPage.h"
#include "format/Row.h"
#include "salvage/SalvagePage.h"

namespace jet {

namespace {

const TableDef* tableAt(const SalvageContext& ctx, uint32_t page) {
    auto it = ctx.tables.find(page);
    return it == ctx.tables.end() ? nullptr : it->second;
}

bool lists(const SalvageContext& ctx, uint32_t table, uint32_t page) {
    auto it = ctx.listed.find(table);
    return it != ctx.listed.end() && std::binary_search(it->second.begin(), it->second.end(), page);
}

// Whether bytes read as a row of some table: a column count, a null mask
// that fits, and (where there is one) a table of variable offsets in order.
bool readsAsSomeRow(ByteView row) {
    TableDef any;
    RowView rv;
    any.numVar = 0;
    if (!tryCrackRow(any, row, rv)) return true;
    any.numVar = 1;
    return tryCrackRow(any, row, rv) == nullptr;
}

// A page whose owner field names the table but whose rows are another
// table's: live rows, none of which reads as the table's, each reading as
// a row all the same, in a sound table of offsets (a page wiped or
// scrambled reads as no rows at all).
bool holdsOthersRows(const Page& page, const TableDef& def) {
    if (!offsetsSound(page)) return false;
    const std::vector<SalvagedSlot> slots = salvageSlots(page, def);
    std::size_t live = 0;
    for (const SalvagedSlot& s : slots) {
        if (s.state == SalvagedSlot::State::kDeleted) continue;
        ++live;
        if (s.state != SalvagedSlot::State::kBroken || s.offsetLost) return false;
        if (!readsAsSomeRow(ByteView(page).subspan(s.start, s.end - s.start))) return false;
    }
    return live > 0;
}

// The live rows on the pages a table's map lists that name it as owner.
uint64_t ownListedRows(const SalvageContext& ctx, uint32_t table) {
    uint64_t n = 0;
    auto it = ctx.listed.find(table);
    if (it == ctx.listed.end()) return 0;
    for (uint32_t p : it->second) {
        if (p < ctx.census.pageCount() && ctx.census[p].type == kPageData &&
            ctx.census[p].owner == table)
            n += ctx.census[p].liveRows;
    }
    return n;
}

// Whether the pages a table's map lists that do not name it, but whose
// rows read as its rows, hold exactly the rows its own pages lack: then
// their owner fields, not their rows, are what is damaged.
bool countWants(const SalvageContext& ctx, const TableDef& def) {
    auto it = ctx.listed.find(def.firstPage);
    if (it == ctx.listed.end()) return false;
    uint64_t rows = ownListedRows(ctx, def.firstPage);
    if (rows >= def.rowCount) return false;
    for (uint32_t p : it->second) {
        if (p >= ctx.census.pageCount()) continue;
        const PageCensus::Entry& e = ctx.census[p];
        if (e.type == kPageData && e.owner == def.firstPage) continue;
        const PageReading r = readPageAs(*ctx.file.page(p), def);
        if (r.readsAsRows()) rows += r.live;
    }
    return rows == def.rowCount;
}

}  // namespace

PageReading readPageAs(const Page& page, const TableDef& def) {
    PageReading r;
    for (const SalvagedSlot& s : salvageSlots(page, def)) {
        if (s.state == SalvagedSlot::State::kDeleted) continue;
        ++r.live;
        if (s.state == SalvagedSlot::State::kBroken) {
            ++r.broken;
        } else if (!s.recovered) {
            ++r.rows;
        }
    }
    return r;
}

bool offsetsSound(const Page& page) {
    const std::size_t n = u16(page, 12);
    if (n == 0 || n > kMaxRowsPerPage) return false;
    uint32_t hi = kPageSize;
    for (std::size_t i = 0; i < n; ++i) {
        const uint32_t off = u16(page, kDataHeaderSize + 2 * i) & 0x1FFFu;
        if (off < kDataHeaderSize + 2 * n || off > hi) return false;
        hi = off;
    }
    return true;
}

PageClaim claimListed(const SalvageContext& ctx, uint32_t table, uint32_t page) {
    const PageCensus::Entry& e = ctx.census[page];
    PageRef p = ctx.file.page(page);
    const TableDef* mine = tableAt(ctx, table);
    if (e.type == kPageData && e.owner == table) {
        if (mine && holdsOthersRows(*p, *mine)) return {PageClaim::Kind::kForeign, 0};
        return {PageClaim::Kind::kOwn, table};
    }
    if (e.type == kPageData && e.owner != table) {
        // Another table's page: stale in this map where that table lists it
        // too; taken back where it reads as that table's rows and that table
        // lacks rows.
        if (lists(ctx, e.owner, page)) return {PageClaim::Kind::kOwn, e.owner};
        const TableDef* other = tableAt(ctx, e.owner);
        if (other && ownListedRows(ctx, e.owner) < other->rowCount &&
            readPageAs(*p, *other).readsAsRows())
            return {PageClaim::Kind::kReturned, e.owner};
    }
    // The header damaged, the rows ours: an owner one bit off, or a type
    // byte of no kind that names a table over an owner field that is ours
    // or one bit off; or an owner field overwritten, where the rows such
    // pages hold make up exactly what the table's own pages lack.
    if (!mine || !readPageAs(*p, *mine).readsAsRows()) return {PageClaim::Kind::kForeign, 0};
    const uint32_t owner = u32(*p, 4);
    const bool near = std::popcount(owner ^ table) <= 1;
    const bool typeLost = e.type != kPageData && e.type != kPageTableDef &&
                          e.type != kPageIndexNode && e.type != kPageIndexLeaf;
    if ((near && (e.type == kPageData || typeLost)) || countWants(ctx, *mine))
        return {PageClaim::Kind::kRepaired, table};
    return {PageClaim::Kind::kForeign, 0};
}

std::map<uint32_t, const TableDef*> tablesByPage(const std::vector<const TableDef*>& defs) {
    std::map<uint32_t, const TableDef*> out;
    for (const TableDef* d : defs) out.emplace(d->firstPage, d);
    return out;
}

std::vector<uint32_t> listersOf(const SalvageContext& ctx, uint32_t owner, uint32_t page) {
    std::vector<uint32_t> out;
    for (const auto& [table, pages] : ctx.listed) {
        if (table != owner && std::binary_search(pages.begin(), pages.end(), page))
            out.push_back(table);
    }
    return out;
}

}  // namespace jet
