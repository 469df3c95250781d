#include "read/RowDigest.h"

#include <algorithm>
#include <cstring>

#include "format/LongValue.h"
#include "format/Row.h"

namespace jet {

bool digestedAsBytes(const TableDef& def) {
    if (def.numVar == 0) return true;
    return std::none_of(def.columns.begin(), def.columns.end(),
                        [](const Column& c) { return c.isLongValue() && !c.fixed(); });
}

uint64_t layoutDigest(const TableDef& def) {
    if (!digestedAsBytes(def)) return 0;
    ByteHash f;
    for (std::size_t index : def.numberOrder) {
        const Column& c = def.columns[index];
        f.mix(uint64_t{c.number} << 48 | uint64_t{c.type} << 40 | uint64_t{c.fixed()} << 32 |
              uint64_t{c.fixed() ? c.fixedOffset : c.varIndex} << 16 | c.length);
    }
    return f.h | 1;
}

uint64_t rowDigest(const TableDef& def, const RowView& rv, uint32_t page, int rowNumber,
                   LongValueSource longValue) {
    ByteHash f;
    if (digestedAsBytes(def)) {
        // The bytes are the values: only that each fixed value lies within
        // the row is left to see.
        for (const Column& c : def.columns) {
            if (c.fixed() && !c.isBool() && 2u + c.fixedOffset + c.length > rv.fixedEnd &&
                rv.notNull(c.number))
                (void)columnBytes(def, c, rv, page, rowNumber);  // says where, and throws
        }
        f.mix(rv.bytes.size());
        f.add(rv.bytes.data(), rv.bytes.size());
        return f.h;
    }
    for (std::size_t index : def.numberOrder) {
        const Column* c = &def.columns[index];
        f.mix(c->number);
        if (c->isBool()) {
            f.mix(boolValue(*c, rv) ? 1 : 2);
            continue;
        }
        auto b = columnBytes(def, *c, rv, page, rowNumber);
        if (!b) {
            f.mix(~0ull);
            continue;
        }
        if (c->isLongValue() && !b->empty()) {
            ByteView v = longValue(*c, *b);
            f.add(v.data(), v.size());
        } else {
            f.add(b->data(), b->size());
        }
    }
    return f.h;
}

uint64_t rowDigest(PageFile& file, const TableDef& def, ByteView row, uint32_t page,
                   int rowNumber) {
    RowView rv = crackRow(def, row, page, rowNumber);
    Bytes value;
    return rowDigest(def, rv, page, rowNumber, [&](const Column&, ByteView slot) {
        readLongValueInto(file, slot, page, rowNumber, value);
        return ByteView(value);
    });
}

}  // namespace jet
