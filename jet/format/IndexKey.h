// The bytes of an index key, and their order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "format/Bytes.h"
#include "util/Failure.h"

namespace jet {

// Unsigned lexicographic comparison of key bytes: -1, 0 or 1.
inline int compareKeys(ByteView a, ByteView b) {
    std::size_t n = a.size() < b.size() ? a.size() : b.size();
    int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
    if (c != 0) return c < 0 ? -1 : 1;
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// The bytes of an index key. Most keys are short: those are held in the
// entry itself, so that reading millions of entries does not mean millions
// of small allocations.
class IndexKey {
  public:
    IndexKey() = default;
    IndexKey(ByteView v) { assign(v, {}); }              // NOLINT: keys are built from bytes
    IndexKey(const Bytes& b) : IndexKey(ByteView(b)) {}  // NOLINT
    IndexKey(const IndexKey& o) { assign(o, {}); }
    IndexKey(IndexKey&& o) noexcept { take(o); }
    IndexKey& operator=(const IndexKey& o) {
        if (this != &o) assign(o, {});
        return *this;
    }
    IndexKey& operator=(IndexKey&& o) noexcept {
        if (this != &o) {
            release();
            take(o);
        }
        return *this;
    }
    ~IndexKey() { release(); }

    // The key is a followed by b. Keys come from index pages, so they are
    // far shorter than the 64 KB a key may hold.
    void assign(ByteView a, ByteView b) {
        const std::size_t n = a.size() + b.size();
        if (n > kMaxSize) tooLong();
        if (n > capacity_) {
            adopt(copyOf(a, b, n), n, n);
            return;
        }
        size_ = static_cast<uint16_t>(n);
        if (!a.empty()) std::memmove(data(), a.data(), a.size());
        if (!b.empty()) std::memmove(data() + a.size(), b.data(), b.size());
    }
    void push_back(uint8_t v) {
        if (size_ == capacity_) {
            if (capacity_ >= kMaxSize) tooLong();
            const std::size_t grown = std::min<std::size_t>(2u * capacity_, kMaxSize);
            adopt(copyOf(*this, ByteView(&v, 1), grown), grown, size_ + 1u);
            return;
        }
        data()[size_++] = v;
    }

    uint8_t* data() { return capacity_ > kInline ? heap() : buf_; }
    const uint8_t* data() const { return capacity_ > kInline ? heap() : buf_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    uint8_t* begin() { return data(); }
    uint8_t* end() { return data() + size_; }
    const uint8_t* begin() const { return data(); }
    const uint8_t* end() const { return data() + size_; }
    uint8_t& operator[](std::size_t i) { return data()[i]; }
    uint8_t operator[](std::size_t i) const { return data()[i]; }
    // (A key converts to ByteView as any contiguous range does.)

    friend bool operator==(const IndexKey& a, const IndexKey& b) { return compareKeys(a, b) == 0; }
    friend bool operator==(const IndexKey& a, const Bytes& b) { return compareKeys(a, b) == 0; }

  private:
    // Short keys live in buf_; a longer key's buffer is on the heap, its
    // address kept in buf_ (copied, so that the key stays 24 bytes).
    static constexpr uint16_t kInline = 20;
    static constexpr std::size_t kMaxSize = 0xFFFF;
    uint8_t* heap() const {
        uint8_t* p;
        std::memcpy(&p, buf_, sizeof p);
        return p;
    }
    void setHeap(uint8_t* p) { std::memcpy(buf_, &p, sizeof p); }
    [[noreturn]] static void tooLong() {
        fail(ErrorCode::kTooLarge, "An index key is longer than 64 KB.");
    }
    // A new buffer of the given capacity holding a then b. It is filled
    // before the key lets go of its own, in which a or b may lie.
    static uint8_t* copyOf(ByteView a, ByteView b, std::size_t capacity) {
        auto* p = new uint8_t[capacity];
        if (!a.empty()) std::memcpy(p, a.data(), a.size());
        if (!b.empty()) std::memcpy(p + a.size(), b.data(), b.size());
        return p;
    }
    void adopt(uint8_t* buffer, std::size_t capacity, std::size_t size) {
        release();
        setHeap(buffer);
        capacity_ = static_cast<uint16_t>(capacity);
        size_ = static_cast<uint16_t>(size);
    }
    void release() {
        if (capacity_ > kInline) delete[] heap();
        capacity_ = kInline;
        size_ = 0;
    }
    void take(IndexKey& o) {
        size_ = o.size_;
        capacity_ = o.capacity_;
        std::memcpy(buf_, o.buf_, capacity_ > kInline ? sizeof(uint8_t*) : size_);
        o.capacity_ = kInline;
        o.size_ = 0;
    }
    uint8_t buf_[kInline];
    uint16_t size_ = 0;
    uint16_t capacity_ = kInline;
};

}  // namespace jet
