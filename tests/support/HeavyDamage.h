// Damage as users meet it: many pages at once, several kinds on one file,
// the whole file transformed by a transfer, the header's fields. Each kind
// works on a file's bytes as stored (encoded pages stay encoded), so that
// any fixture can be damaged; the layout read before says where tables lie.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "support/DamageLayout.h"

namespace testsupport {

using Rng = std::mt19937;

enum class PageHarm : uint8_t { kZeroed, kGarbage, kEither };

// Harms about fraction of the file's pages (at least one), page 0 among
// the candidates, each zeroed or filled with random bytes; the pages hit.
std::vector<uint32_t> harmPages(std::string& bytes, double fraction, PageHarm harm, Rng& rng);

// An ASCII-mode transfer: a CR byte put before every LF byte.
std::string lfToCrLf(const std::string& bytes);
// The same transfer the other way: every CR LF pair becomes LF.
std::string crLfToLf(const std::string& bytes);

// A run of n random bytes put in at offset at, or n bytes taken out there:
// every later page moves.
void insertBytes(std::string& bytes, std::size_t at, std::size_t n, Rng& rng);
void removeBytes(std::string& bytes, std::size_t at, std::size_t n);

// One field of page 0 damaged (a random change of its stored bytes).
enum class HeaderField : uint8_t { kVersion, kCreationDate, kCodePage, kSortOrder };
void damageHeaderField(std::string& bytes, HeaderField field, Rng& rng);

// A kind of heavy damage: false when the file has nothing it aims at.
struct HeavyKind {
    std::string name;
    std::function<bool(std::string& bytes, const Layout& l, Rng& rng)> damage;
    // The whole file changed shape or lost its header: a refusal with a
    // message may be all a repair can do.
    bool mayBeRefused = false;
};

// Every kind the sweep tries: pages at 1%, 5% and 20% zeroed, filled with
// garbage or both; those with index leaves, maps and the catalogue hit too;
// the transfers; bytes put in or taken out; each header field.
std::vector<HeavyKind> heavyKinds();

}  // namespace testsupport
