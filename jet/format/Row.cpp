#include "format/Row.h"

#include <string>

namespace jet {

bool RowView::notNull(uint16_t columnNumber) const {
    if (columnNumber >= ncols) return false;
    return (bytes[maskOffset + columnNumber / 8] >> (columnNumber % 8)) & 1;
}

const char* tryCrackRow(const TableDef& def, ByteView row, RowView& v) {
    v.bytes = row;
    if (row.size() < 3) return "row too short";
    v.ncols = static_cast<uint16_t>(row[0] | (row[1] << 8));
    std::size_t maskSize = (static_cast<std::size_t>(v.ncols) + 7) / 8;
    if (v.ncols == 0 || 2 + maskSize > row.size()) return "row column count out of range";
    v.maskOffset = row.size() - maskSize;
    if (def.numVar == 0) {
        v.varSlots.resize(0);
        v.fixedEnd = v.maskOffset;
        return nullptr;
    }
    if (v.maskOffset < 4) return "row too short for its variable section";
    std::size_t nvarOff = v.maskOffset - 2;
    auto at = [&](std::size_t off) {
        return static_cast<uint16_t>(row[off] | (row[off + 1] << 8));
    };
    uint16_t nvar = at(nvarOff);
    if (2 * (static_cast<std::size_t>(nvar) + 1) + 2 > nvarOff)
        return "variable column count out of range";
    std::size_t offsetsStart = nvarOff - 2 * (static_cast<std::size_t>(nvar) + 1);
    auto entry = [&](std::size_t i) { return at(nvarOff - 2 - 2 * i); };
    uint16_t eod = entry(nvar);
    if (eod > offsetsStart) return "end of variable data out of range";
    v.varSlots.resize(nvar);
    uint16_t prev = nvar > 0 ? entry(0) : eod;
    if (prev < 2) return "variable data starts inside the column count";
    v.fixedEnd = prev;
    for (std::size_t i = 0; i < nvar; ++i) {
        uint16_t start = entry(i);
        uint16_t end = entry(i + 1);
        if (start > end || end > eod || start < v.fixedEnd)
            return "variable column offsets out of order";
        v.varSlots[i] = {start, end};
    }
    return nullptr;
}

RowView crackRow(const TableDef& def, ByteView row, uint32_t page, int rowNumber) {
    RowView v;
    if (const char* bad = tryCrackRow(def, row, v))
        failDamage(damagedTable(def), std::string(": ") + bad, page, rowNumber);
    return v;
}

std::optional<ByteView> columnBytes(const TableDef& def, const Column& col, const RowView& row,
                                    uint32_t page, int rowNumber) {
    if (col.isBool()) {
        if (col.number >= row.ncols) return std::nullopt;
        return ByteView{};
    }
    if (!row.notNull(col.number)) return std::nullopt;
    if (col.fixed()) {
        std::size_t start = 2 + static_cast<std::size_t>(col.fixedOffset);
        if (start + col.length > row.fixedEnd) {
            failDamage(damagedTable(def),
                       ", column '" + col.name + "': fixed value beyond the fixed area", page,
                       rowNumber);
        }
        return row.bytes.subspan(start, col.length);
    }
    if (col.varIndex >= row.varSlots.size()) return std::nullopt;
    auto [s, e] = row.varSlots[col.varIndex];
    return row.bytes.subspan(s, static_cast<std::size_t>(e - s));
}

bool boolValue(const Column& col, const RowView& row) { return row.notNull(col.number); }

Bytes buildRow(uint16_t ncols, ByteView fixedArea, const std::vector<Bytes>& varSlots,
               ByteView nullMask, bool hasVarSection) {
    std::vector<ByteView> views(varSlots.begin(), varSlots.end());
    Bytes out;
    buildRowInto(out, ncols, fixedArea, views, nullMask, hasVarSection);
    return out;
}

void buildRowInto(Bytes& out, uint16_t ncols, ByteView fixedArea,
                  const std::vector<ByteView>& varSlots, ByteView nullMask, bool hasVarSection) {
    out.clear();
    append16(out, ncols);
    out.insert(out.end(), fixedArea.begin(), fixedArea.end());
    if (hasVarSection) {
        std::size_t offset = out.size();
        for (const auto& s : varSlots) out.insert(out.end(), s.begin(), s.end());
        // The end of the data, then each slot's offset, last slot first.
        const std::size_t n = varSlots.size();
        const std::size_t eod = out.size();
        out.resize(eod + 2 * (n + 1));
        put16(out.data() + eod, static_cast<uint16_t>(eod));
        for (std::size_t i = 0; i < n; ++i) {
            put16(out.data() + eod + 2 * (n - i), static_cast<uint16_t>(offset));
            offset += varSlots[i].size();
        }
        append16(out, static_cast<uint16_t>(n));
    }
    out.insert(out.end(), nullMask.begin(), nullMask.end());
}

}  // namespace jet
