#include "jet/RowDigest.h"

#include <algorithm>
#include <cstring>

#include "jet/LongValue.h"
#include "jet/Row.h"

namespace jet {

namespace {
// A fast, order-dependent hash of byte strings: eight bytes at a time.
struct Hash {
    uint64_t h = 0x9E3779B97F4A7C15ull;
    void mix(uint64_t v) {
        h ^= v;
        h *= 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
    }
    void add(const uint8_t* p, std::size_t n) {
        mix(n);
        std::size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            uint64_t v;
            std::memcpy(&v, p + i, 8);
            mix(v);
        }
        uint64_t tail = 0;
        std::memcpy(&tail, p + i, n - i);
        mix(tail);
    }
};
}  // namespace

uint64_t rowDigest(const TableDef& def, const RowView& rv, uint32_t page, int rowNumber,
                   const LongValueSource& longValue) {
    Hash f;
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
            Bytes v = longValue(*c, *b);
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
    return rowDigest(def, rv, page, rowNumber, [&](const Column&, ByteView slot) {
        return readLongValue(file, slot, page, rowNumber);
    });
}

}  // namespace jet
