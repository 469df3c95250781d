// RC4, used by Jet 4 for the masked header region, page encoding and SID masks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace jet {

class Rc4 {
  public:
    Rc4(const uint8_t* key, std::size_t keyLength);
    // XORs the keystream into data (encoding and decoding are the same).
    void apply(uint8_t* data, std::size_t n);

  private:
    uint8_t s_[256];
    uint8_t i_ = 0;
    uint8_t j_ = 0;
};

// Encodes or decodes a page with the 4-byte key (databaseKey XOR pageNumber).
void rc4Page(uint32_t databaseKey, uint32_t pageNumber, uint8_t* page, std::size_t n);

}  // namespace jet
