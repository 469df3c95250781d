// A digest of a table's content, independent of where rows and long values
// are stored and of row order: the copy must give the digest of the source.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>

#include "jet/Bytes.h"
#include "jet/TableDef.h"

namespace jet {

class PageFile;

// A fast, order-dependent hash of byte strings: long strings 32 bytes at a
// time in four independent lanes, the rest eight bytes at a time.
struct ByteHash {
    uint64_t h = 0x9E3779B97F4A7C15ull;
    static uint64_t step(uint64_t h, uint64_t v) {
        h ^= v;
        h *= 0xBF58476D1CE4E5B9ull;
        return h ^ (h >> 31);
    }
    void mix(uint64_t v) { h = step(h, v); }
    void add(const uint8_t* p, std::size_t n) {
        mix(n);
        std::size_t i = 0;
        if (n >= 64) {
            uint64_t lane[4] = {h, h ^ 0x94D049BB133111EBull, h + 0x2545F4914F6CDD1Dull, ~h};
            for (; i + 32 <= n; i += 32) {
                uint64_t v[4];
                std::memcpy(v, p + i, 32);
                for (int k = 0; k < 4; ++k) lane[k] = step(lane[k], v[k]);
            }
            for (uint64_t l : lane) mix(l);
        }
        for (; i + 8 <= n; i += 8) {
            uint64_t v;
            std::memcpy(&v, p + i, 8);
            mix(v);
        }
        uint64_t tail = 0;
        if (n > i) std::memcpy(&tail, p + i, n - i);
        mix(tail);
    }
};

struct TableDigest {
    uint64_t rows = 0;
    uint64_t sum = 0;  // sum of the row hashes
    void add(uint64_t h) {
        ++rows;
        sum += h;
    }
    bool operator==(const TableDigest&) const = default;
};

struct RowView;

// Gives the full value of a long-value column from its slot in the row; the
// bytes must stay valid until the next call.
using LongValueSource = std::function<ByteView(const Column&, ByteView slot)>;

// Hashes every column value of a cracked row in column-number order.
uint64_t rowDigest(const TableDef& def, const RowView& row, uint32_t page, int rowNumber,
                   const LongValueSource& longValue);
// The same, reading long values from the file.
uint64_t rowDigest(PageFile& file, const TableDef& def, ByteView row, uint32_t page, int rowNumber);

}  // namespace jet
