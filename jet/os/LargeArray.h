// Memory for large arrays looked up in no order (where each row of a table
// went). A lookup in tens of megabytes misses the cache; mapped by itself and
// backed by huge pages where the system offers them, it does not also miss
// the translation of its address, which in a virtual machine costs several
// further trips to memory. Small arrays stay on the heap.
#pragma once

#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace jet {

// Memory of its own for a large array, zeroed, in whole huge pages where the
// system has them (mmap, VirtualAlloc); nullptr when there is none.
void* mapLarge(std::size_t bytes);
void unmapLarge(void* p, std::size_t bytes);

template <typename T>
class LargeArray {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    LargeArray() = default;
    ~LargeArray() { release(); }
    LargeArray(const LargeArray&) = delete;
    LargeArray& operator=(const LargeArray&) = delete;
    LargeArray(LargeArray&& o) noexcept { *this = std::move(o); }
    LargeArray& operator=(LargeArray&& o) noexcept {
        if (this != &o) {
            release();
            small_ = std::move(o.small_);
            mapped_ = std::exchange(o.mapped_, nullptr);
            size_ = std::exchange(o.size_, 0);
            bytes_ = std::exchange(o.bytes_, 0);
        }
        return *this;
    }

    // n elements, all bytes zero.
    void assign(std::size_t n) {
        release();
        size_ = n;
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kMapFrom) {
            small_.assign(n, T{});
            return;
        }
        bytes_ = (bytes + kHuge - 1) / kHuge * kHuge;
        void* p = mapLarge(bytes_);
        if (!p) throw std::bad_alloc();
        mapped_ = static_cast<T*>(p);
    }
    void clear() { release(); }

    std::size_t size() const { return size_; }
    T* data() { return mapped_ ? mapped_ : small_.data(); }
    const T* data() const { return mapped_ ? mapped_ : small_.data(); }
    T& operator[](std::size_t i) { return data()[i]; }
    const T& operator[](std::size_t i) const { return data()[i]; }
    T* begin() { return data(); }
    T* end() { return data() + size_; }

  private:
    static constexpr std::size_t kHuge = std::size_t{2} << 20;
    static constexpr std::size_t kMapFrom = kHuge;
    void release() {
        if (mapped_) unmapLarge(mapped_, bytes_);
        mapped_ = nullptr;
        small_.clear();
        size_ = bytes_ = 0;
    }
    std::vector<T> small_;
    T* mapped_ = nullptr;
    std::size_t size_ = 0, bytes_ = 0;
};

}  // namespace jet
