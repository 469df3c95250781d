// A digest of a table's content, independent of where rows and long values
// are stored and of row order: the copy must give the digest of the source.
#pragma once

#include <cstdint>
#include <cstring>

#include "format/Bytes.h"
#include "format/TableDef.h"
#include "util/FunctionRef.h"

namespace jet {

class PageFile;

// A fast, order-dependent hash of byte strings. Each step multiplies two
// 64-bit words into 128 bits and folds the halves; long strings go 64 bytes
// at a time in four independent lanes, so that the multiplier is never
// idle, and the last bytes are read as one overlapping word instead of byte
// by byte.
struct ByteHash {
    uint64_t h = 0x9E3779B97F4A7C15ull;
    static constexpr uint64_t kK0 = 0xA0761D6478BD642Full, kK1 = 0xE7037ED1A0B428DBull,
                              kK2 = 0x8EBC6AF09C88C6E3ull, kK3 = 0x589965CC75374CC3ull;
    // The low and the high half of a * b, folded: with the compiler's
    // 128-bit integers where it has them, and from four 32-bit products
    // where it has none (a 32-bit build): the same value either way.
    static uint64_t fold(uint64_t a, uint64_t b) {
#ifdef __SIZEOF_INT128__
        __extension__ using Wide = unsigned __int128;
        const Wide r = static_cast<Wide>(a) * b;
        return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
#else
        return foldByHalves(a, b);
#endif
    }
    static constexpr uint64_t foldByHalves(uint64_t a, uint64_t b) {
        constexpr uint64_t kLow = 0xFFFFFFFFull;
        const uint64_t a0 = a & kLow, a1 = a >> 32, b0 = b & kLow, b1 = b >> 32;
        const uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
        // The middle column's sum, carries included; it cannot overflow:
        // three numbers below 2^32 each.
        const uint64_t middle = (p00 >> 32) + (p01 & kLow) + (p10 & kLow);
        const uint64_t low = (middle << 32) | (p00 & kLow);
        const uint64_t high = p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32);
        return low ^ high;
    }
    static uint64_t word(const uint8_t* p) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        return v;
    }
    static uint64_t half(const uint8_t* p) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }
    void mix(uint64_t v) { h = fold(h ^ v ^ kK0, kK1); }
    void add(const uint8_t* p, std::size_t n) {
        uint64_t s = h ^ (static_cast<uint64_t>(n) * kK2);
        uint64_t a = 0, b = 0;
        if (n <= 16) {
            if (n >= 8) {
                a = word(p);
                b = word(p + n - 8);
            } else if (n >= 4) {
                a = half(p);
                b = half(p + n - 4);
            } else if (n > 0) {
                a = (static_cast<uint64_t>(p[0]) << 16) | (static_cast<uint64_t>(p[n >> 1]) << 8) |
                    p[n - 1];
            }
        } else {
            std::size_t i = 0;
            if (n > 64) {
                uint64_t l0 = s, l1 = s ^ kK1, l2 = s ^ kK2, l3 = s ^ kK3;
                for (; i + 64 < n; i += 64) {
                    l0 = fold(word(p + i) ^ kK0, word(p + i + 8) ^ l0);
                    l1 = fold(word(p + i + 16) ^ kK1, word(p + i + 24) ^ l1);
                    l2 = fold(word(p + i + 32) ^ kK2, word(p + i + 40) ^ l2);
                    l3 = fold(word(p + i + 48) ^ kK3, word(p + i + 56) ^ l3);
                }
                s = l0 ^ l1 ^ fold(l2 ^ kK0, l3 ^ kK1);
            }
            for (; i + 16 < n; i += 16) s = fold(word(p + i) ^ kK0, word(p + i + 8) ^ s);
            a = word(p + n - 16);
            b = word(p + n - 8);
        }
        h = fold(a ^ kK1 ^ s, b ^ kK3 ^ n);
    }
};

struct TableDigest {
    uint64_t rows = 0;
    uint64_t sum = 0;  // sum of the row hashes
    // For a table digested as bytes, what its bytes mean: each column's
    // number, type and place (layoutDigest); 0 for the rest, whose values
    // are digested column by column.
    uint64_t layout = 0;
    void add(uint64_t h) {
        ++rows;
        sum += h;
    }
    bool operator==(const TableDigest&) const = default;
};

struct RowView;

// Gives the full value of a long-value column from its slot in the row; the
// bytes must stay valid until the next call.
using LongValueSource = FunctionRef<ByteView(const Column&, ByteView slot)>;

// Whether the rows of a table are digested as their bytes: a table whose
// rows hold no long value outside them, which a compaction copies byte for
// byte (its table Ids rewritten before the digest is taken).
bool digestedAsBytes(const TableDef& def);

// What the bytes of a table digestedAsBytes mean, as a hash: each column's
// number, type, whether it is fixed, its place and its length. 0 for a
// table digested column by column. Both sides of a comparison put it in
// their TableDigest, so that a copy whose definition reads its rows
// otherwise is told apart.
uint64_t layoutDigest(const TableDef& def);

// Hashes every column value of a cracked row in column-number order; or,
// for a table digestedAsBytes, the row's bytes.
uint64_t rowDigest(const TableDef& def, const RowView& row, uint32_t page, int rowNumber,
                   LongValueSource longValue);
// The same, reading long values from the file.
uint64_t rowDigest(PageFile& file, const TableDef& def, ByteView row, uint32_t page, int rowNumber);

}  // namespace jet
