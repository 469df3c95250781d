// Bounds-checked little- and big-endian access to byte buffers. Every read of
// file bytes goes through these; an out-of-range read reports damage.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "util/Failure.h"

namespace jet {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

// Where a buffer came from, so that a failed read can say which page it was.
struct Origin {
    uint32_t page = 0;
    const char* what = "page";
};

inline void checkRange(ByteView b, std::size_t off, std::size_t n, const Origin& o) {
    if (off > b.size() || n > b.size() - off) {
        failDamage(std::string(o.what) + " read out of bounds at offset " + std::to_string(off),
                   o.page);
    }
}

inline uint8_t u8(ByteView b, std::size_t off, const Origin& o = {}) {
    checkRange(b, off, 1, o);
    return b[off];
}
inline uint16_t u16(ByteView b, std::size_t off, const Origin& o = {}) {
    checkRange(b, off, 2, o);
    return static_cast<uint16_t>(b[off] | (b[off + 1] << 8));
}
inline uint32_t u32(ByteView b, std::size_t off, const Origin& o = {}) {
    checkRange(b, off, 4, o);
    return static_cast<uint32_t>(b[off]) | (static_cast<uint32_t>(b[off + 1]) << 8) |
           (static_cast<uint32_t>(b[off + 2]) << 16) | (static_cast<uint32_t>(b[off + 3]) << 24);
}
inline uint64_t u64(ByteView b, std::size_t off, const Origin& o = {}) {
    checkRange(b, off, 8, o);
    return static_cast<uint64_t>(u32(b, off, o)) |
           (static_cast<uint64_t>(u32(b, off + 4, o)) << 32);
}
inline uint32_t be32(ByteView b, std::size_t off, const Origin& o = {}) {
    checkRange(b, off, 4, o);
    return (static_cast<uint32_t>(b[off]) << 24) | (static_cast<uint32_t>(b[off + 1]) << 16) |
           (static_cast<uint32_t>(b[off + 2]) << 8) | static_cast<uint32_t>(b[off + 3]);
}
inline double f64(ByteView b, std::size_t off, const Origin& o = {}) {
    uint64_t v = u64(b, off, o);
    double d;
    std::memcpy(&d, &v, sizeof d);
    return d;
}
inline float f32(ByteView b, std::size_t off, const Origin& o = {}) {
    uint32_t v = u32(b, off, o);
    float f;
    std::memcpy(&f, &v, sizeof f);
    return f;
}
inline ByteView slice(ByteView b, std::size_t off, std::size_t n, const Origin& o = {}) {
    checkRange(b, off, n, o);
    return b.subspan(off, n);
}

// Writers into a buffer whose size the caller has already made right.
// Whether n bytes at p are all zero.
inline bool allZero(const uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] != 0) return false;
    }
    return true;
}

inline void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(uint8_t* p, uint32_t v) {
    put16(p, static_cast<uint16_t>(v));
    put16(p + 2, static_cast<uint16_t>(v >> 16));
}
inline void putBe24(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 16);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v);
}
inline void putBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    putBe24(p + 1, v);
}
inline void append16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void append32(Bytes& b, uint32_t v) {
    append16(b, static_cast<uint16_t>(v));
    append16(b, static_cast<uint16_t>(v >> 16));
}

// A row pointer: row number in the low byte, page number in the upper 24 bits.
struct RowPtr {
    uint32_t page = 0;
    uint8_t row = 0;
    static RowPtr fromU32(uint32_t v) { return {v >> 8, static_cast<uint8_t>(v & 0xFF)}; }
    uint32_t toU32() const { return (page << 8) | row; }
    bool isNull() const { return page == 0 && row == 0; }
    auto operator<=>(const RowPtr&) const = default;
};

}  // namespace jet
