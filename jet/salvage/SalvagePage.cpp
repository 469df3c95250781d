#include "salvage/SalvagePage.h"

#include <algorithm>
#include <cstring>

#include "format/DataPage.h"
#include "format/LongValue.h"
#include "format/Row.h"

namespace jet {

namespace {

constexpr std::size_t kSector = 512;

// The fixed bytes the columns a row was written with take.
std::size_t fixedNeeded(const TableDef& def, uint16_t ncols) {
    std::size_t n = 0;
    for (const auto& c : def.columns) {
        if (c.fixed() && !c.isBool() && c.number < ncols)
            n = std::max<std::size_t>(n, c.fixedOffset + c.length);
    }
    return n;
}

// Why a variable value cannot be the column's; empty when it can be.
std::string valueFault(const Column& c, ByteView v) {
    if (v.empty()) return {};
    const auto t = static_cast<ColumnType>(c.type);
    if (c.isLongValue()) {
        if (v.size() < kLongValueHeaderSize) return "a long value's header is cut short";
        const uint8_t kind = static_cast<uint8_t>(v[3] & 0xC0);
        const uint32_t length = u32(v, 0) & 0x3FFFFFFFu;
        if (kind == 0xC0) return "a long value of unknown kind";
        if (kind == kLvInline && v.size() - kLongValueHeaderSize < length)
            return "an inline long value longer than its slot";
        return {};
    }
    if (t == ColumnType::kText) {
        const bool compressed = v.size() >= 2 && v[0] == 0xFF && v[1] == 0xFE;
        if (!compressed && v.size() % 2 != 0) return "a text value of odd length";
        if (v.size() > 2u * c.length + 2u) return "a text value longer than its column";
    }
    return {};
}

// Whether [a, b) of the row lies inside one value that may hold zeros.
bool insideBinaryValue(const TableDef& def, const RowView& row, std::size_t a, std::size_t b) {
    for (const auto& c : def.columns) {
        const auto t = static_cast<ColumnType>(c.type);
        const bool binary = t == ColumnType::kBinary || t == ColumnType::kOle ||
                            t == ColumnType::kUnknown0D || t == ColumnType::kComplexBinary;
        if (!binary) continue;
        if (c.fixed()) {
            const std::size_t s = 2 + static_cast<std::size_t>(c.fixedOffset);
            if (s <= a && b <= s + c.length && b <= row.fixedEnd) return true;
        } else if (c.varIndex < row.varSlots.size()) {
            auto [s, e] = row.varSlots[c.varIndex];
            if (s <= a && b <= e) return true;
        }
    }
    return false;
}

bool validOffset(uint32_t off, uint32_t tableEnd, uint32_t hi) {
    return off >= tableEnd && off <= hi;
}

struct RawSlot {
    uint32_t off;
    bool deleted, overflow;
};

// Where row i starts when its offset cannot be trusted: the one place
// between lo and hi at which it reads as a row, with the next live row
// (when its own offset stands) reading as one below it.
int findStart(const Page& page, const TableDef& def, const std::vector<RawSlot>& raw, std::size_t i,
              uint32_t tableEnd, uint32_t hi) {
    const ByteView all(page);
    const bool haveNext = i + 1 < raw.size() && validOffset(raw[i + 1].off, tableEnd, hi);
    const uint32_t lo = haveNext ? raw[i + 1].off : tableEnd;
    const bool nextLive = haveNext && !raw[i + 1].deleted && !raw[i + 1].overflow;
    // A deleted neighbour often gave its bytes back: the row starts where it does.
    if (haveNext && raw[i + 1].deleted && lo + 3 <= hi &&
        rowFault(def, all.subspan(lo, hi - lo)).empty())
        return static_cast<int>(lo);
    int found = -1;
    for (uint32_t x = lo + (nextLive ? 3 : 0); x + 3 <= hi; ++x) {
        if (!rowFault(def, all.subspan(x, hi - x)).empty()) continue;
        if (nextLive && !rowFault(def, all.subspan(lo, x - lo)).empty()) continue;
        if (found >= 0) return -1;  // more than one place: none is trusted
        found = static_cast<int>(x);
    }
    return found;
}

}  // namespace

std::string rowFault(const TableDef& def, ByteView row) {
    RowView rv;
    if (const char* bad = tryCrackRow(def, row, rv)) return bad;
    if (rv.ncols == 0) return "no columns";  // the engine writes none such
    if (rv.ncols > def.maxCols) return "more columns than the table ever had";
    if (rv.varSlots.size() > def.numVar) return "more variable columns than the table ever had";
    if (rv.fixedEnd < 2 + fixedNeeded(def, rv.ncols)) return "its fixed columns are cut short";
    for (const auto& c : def.columns) {
        if (c.fixed() || c.isBool() || c.varIndex >= rv.varSlots.size()) continue;
        auto [s, e] = rv.varSlots[c.varIndex];
        std::string why = valueFault(c, row.subspan(s, static_cast<std::size_t>(e - s)));
        if (!why.empty()) return "column '" + c.name + "': " + why;
    }
    return {};
}

bool mayLieOnZeroSector(const Page& page, std::size_t start, std::size_t end) {
    for (std::size_t s = start / kSector; s * kSector < end && s < kPageSize / kSector; ++s) {
        const uint8_t* p = page.data() + s * kSector;
        uint64_t head, tail;
        std::memcpy(&head, p, 8);
        std::memcpy(&tail, p + kSector - 8, 8);
        if ((head | tail) == 0) return true;
    }
    return false;
}

int tornSectorUnder(const Page& page, const TableDef& def, const RowView& row, std::size_t start,
                    std::size_t end) {
    if (end <= start) return -1;
    for (std::size_t s = start / kSector; s * kSector < end && s < kPageSize / kSector; ++s) {
        const uint8_t* p = page.data() + s * kSector;
        uint64_t head, tail;
        std::memcpy(&head, p, 8);
        std::memcpy(&tail, p + kSector - 8, 8);
        if ((head | tail) != 0 || !allZero(p, kSector)) continue;
        // The zeros under the row, relative to its start.
        const std::size_t a = std::max(s * kSector, start) - start;
        const std::size_t b = std::min((s + 1) * kSector, end) - start;
        if (!insideBinaryValue(def, row, a, b)) return static_cast<int>(s);
    }
    return -1;
}

namespace {

std::vector<SalvagedSlot> readSlots(const Page& page, const TableDef& def, std::size_t n) {
    const uint32_t tableEnd = static_cast<uint32_t>(kDataHeaderSize + 2 * n);
    std::vector<RawSlot> raw(n);
    for (std::size_t i = 0; i < n; ++i) {
        const uint16_t v = u16(page, kDataHeaderSize + 2 * i);
        raw[i] = {v & 0x1FFFu, (v & kSlotDeleted) != 0, (v & kSlotOverflow) != 0};
    }
    std::vector<SalvagedSlot> out(n);
    uint32_t hi = kPageSize;  // where the row being read ends
    for (std::size_t i = 0; i < n; ++i) {
        SalvagedSlot& s = out[i];
        const RawSlot& r = raw[i];
        const bool valid = validOffset(r.off, tableEnd, hi);
        s.pointer = r.overflow;
        if (r.deleted) {
            s.state = SalvagedSlot::State::kDeleted;
            if (valid) {
                s.start = static_cast<uint16_t>(r.off);
                s.end = static_cast<uint16_t>(hi);
                hi = r.off;
            }
            continue;
        }
        if (valid && r.overflow && hi - r.off >= 4) {
            s.state = SalvagedSlot::State::kOverflow;
            s.start = static_cast<uint16_t>(r.off);
            s.end = static_cast<uint16_t>(hi);
            hi = r.off;
            continue;
        }
        std::string why = valid ? rowFault(def, ByteView(page).subspan(r.off, hi - r.off))
                                : std::string("its offset lies outside the page's rows");
        if (valid && why.empty()) {
            s.state = SalvagedSlot::State::kLive;
            s.start = static_cast<uint16_t>(r.off);
            s.end = static_cast<uint16_t>(hi);
            hi = r.off;
            continue;
        }
        // An entry of zeros is free space after the table, not a row whose
        // offset was lost.
        const bool blank = r.off == 0 && !r.deleted && !r.overflow;
        const int x = r.overflow || blank ? -1 : findStart(page, def, raw, i, tableEnd, hi);
        if (x >= 0) {
            s.state = SalvagedSlot::State::kLive;
            s.start = static_cast<uint16_t>(x);
            s.end = static_cast<uint16_t>(hi);
            s.recovered = true;
            hi = static_cast<uint32_t>(x);
            continue;
        }
        s.state = SalvagedSlot::State::kBroken;
        s.offsetLost = !valid;
        s.start = static_cast<uint16_t>(valid ? r.off : hi);
        s.end = static_cast<uint16_t>(hi);
        s.why = r.overflow ? "its overflow pointer's offset lies outside the page's rows" : why;
        if (valid) hi = r.off;
    }
    return out;
}

// The count of slots bounded by the page: the table of offsets grows down
// the page and the rows up it, so slot i cannot lie where a row listed
// before it starts.
std::size_t boundedSlotCount(const Page& page) {
    const std::size_t stated = std::min<std::size_t>(u16(page, 12), kMaxRowsPerPage);
    std::size_t n = 0;
    uint32_t lowest = kPageSize;
    while (n < stated) {
        const uint32_t tableEnd = static_cast<uint32_t>(kDataHeaderSize + 2 * (n + 1));
        if (tableEnd > lowest) break;
        const uint32_t off = u16(page, kDataHeaderSize + 2 * n) & 0x1FFFu;
        if (off >= tableEnd && off <= lowest) lowest = off;
        ++n;
    }
    return n;
}

// Whether the page's free-space field says its table of offsets holds k
// slots: the rows then take from the last one's offset to the page's end.
bool freeSpaceSays(const Page& page, std::size_t k) {
    const uint32_t tableEnd = static_cast<uint32_t>(kDataHeaderSize + 2 * k);
    const uint32_t low = k == 0 ? kPageSize : u16(page, kDataHeaderSize + 2 * (k - 1)) & 0x1FFFu;
    return low >= tableEnd && low <= kPageSize && u16(page, 2) == low - tableEnd;
}

}  // namespace

std::vector<SalvagedSlot> salvageSlots(const Page& page, const TableDef& def) {
    std::vector<SalvagedSlot> out = readSlots(page, def, boundedSlotCount(page));
    // A count of slots too large reads slots from the free space after the
    // table. Where the free-space field says where the table ends and no
    // slot past that holds a row, those are none.
    if (!freeSpaceSays(page, out.size())) {
        for (std::size_t k = out.size(); k-- > 0;) {
            // A row found again where its offset was lost is a guess; one in
            // place is not.
            if ((out[k].state == SalvagedSlot::State::kLive && !out[k].recovered) ||
                out[k].state == SalvagedSlot::State::kOverflow)
                break;
            if (freeSpaceSays(page, k)) return readSlots(page, def, k);
        }
    }
    return out;
}

}  // namespace jet
