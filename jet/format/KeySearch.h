// The search for the key an encoded file's pages are scrambled with, when the
// header that held it is lost. Page n is RC4 under the key XOR n, and page 2
// of every Jet 4 file begins the same way (the catalogue's definition: its
// type, 0x01, and the definition's constant at 0x0C). So a key is tried by
// the first byte of the keystream it gives page 2, which rejects all but one
// in 256; the few left are tried on page 2's further bytes, and a key that
// gives them all is put to the caller, who confirms it on other pages.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "jet/KeySearch.h"

namespace jet {

// Page 2's first bytes, as stored.
using PageHead = std::array<uint8_t, 16>;

enum class KeySearchEnd { kFound, kNotFound, kStopped };

struct KeySearchOutcome {
    KeySearchEnd end = KeySearchEnd::kNotFound;
    uint32_t key = 0;
    uint64_t tried = 0;  // keys looked at
    double seconds = 0;
};

// Tries every key of range, each once, on as many threads as the range says
// (every core by default), until confirm takes one. confirm is called on one
// thread at a time; what it throws ends the search and is thrown here. The
// watch is told how far it is, from the calling thread only, and may stop
// it, as may stopKeySearches().
KeySearchOutcome searchPageKey(const PageHead& storedPage2, const KeySearchRange& range,
                               const std::function<bool(uint32_t)>& confirm,
                               KeySearchWatch* watch);

// Whether page 2's stored head reads, under the file's key, as the
// catalogue's definition begins.
bool page2HeadReads(const PageHead& storedPage2, uint32_t fileKey);

// The keys among count from first on (wrapping) under which page 2's stored
// head reads as the catalogue's definition begins, appended to out. The
// search's inner step; the benchmark times it.
void keysReadingPage2(const PageHead& storedPage2, uint32_t first, uint32_t count,
                      std::vector<uint32_t>& out);

}  // namespace jet
