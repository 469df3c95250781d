#include "jet/RowDigest.h"

#include <algorithm>

#include "jet/LongValue.h"
#include "jet/Row.h"

namespace jet {

namespace {
struct Fnv {
    uint64_t h = 1469598103934665603ull;
    void add(const uint8_t* p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            h ^= p[i];
            h *= 1099511628211ull;
        }
    }
    void add(uint64_t v) {
        uint8_t b[8];
        for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
        add(b, 8);
    }
};
}  // namespace

uint64_t rowDigest(PageFile& file, const TableDef& def, ByteView row, uint32_t page, int rowNumber) {
    RowView rv = crackRow(def, row, page, rowNumber);
    std::vector<const Column*> cols;
    for (const auto& c : def.columns) cols.push_back(&c);
    std::sort(cols.begin(), cols.end(), [](const Column* a, const Column* b) { return a->number < b->number; });
    Fnv f;
    for (const Column* c : cols) {
        f.add(c->number);
        if (c->isBool()) {
            f.add(boolValue(*c, rv) ? 1 : 0);
            continue;
        }
        auto b = columnBytes(def, *c, rv, page, rowNumber);
        if (!b) {
            f.add(~0ull);
            continue;
        }
        if (c->isLongValue() && !b->empty()) {
            Bytes v = readLongValue(file, *b, page, rowNumber);
            f.add(v.size());
            f.add(v.data(), v.size());
        } else {
            f.add(b->size());
            f.add(b->data(), b->size());
        }
    }
    return f.h;
}

}  // namespace jet
