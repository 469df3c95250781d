#include "format/Rc4.h"

#include <utility>

#include "format/Bytes.h"

namespace jet {

Rc4::Rc4(const uint8_t* key, std::size_t keyLength) {
    for (int k = 0; k < 256; ++k) s_[k] = static_cast<uint8_t>(k);
    uint8_t j = 0;
    for (std::size_t k = 0; k < 256; ++k) {
        j = static_cast<uint8_t>(j + s_[k] + key[k % keyLength]);
        std::swap(s_[k], s_[j]);
    }
}

void Rc4::apply(uint8_t* data, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) {
        i_ = static_cast<uint8_t>(i_ + 1);
        j_ = static_cast<uint8_t>(j_ + s_[i_]);
        std::swap(s_[i_], s_[j_]);
        data[k] ^= s_[static_cast<uint8_t>(s_[i_] + s_[j_])];
    }
}

void rc4Page(uint32_t databaseKey, uint32_t pageNumber, uint8_t* page, std::size_t n) {
    uint8_t key[4];
    put32(key, databaseKey ^ pageNumber);
    Rc4 rc4(key, 4);
    rc4.apply(page, n);
}

}  // namespace jet
