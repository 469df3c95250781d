// An encoded file whose header is lost: the key its pages are encoded with
// lived only in that header. It is had again from the person (a key an
// earlier search reported) or by trying every key (KeySearch.h).
#include <algorithm>
#include <cstdio>

#include "format/KeySearch.h"
#include "format/PageFile.h"
#include "format/Rc4.h"
#include "format/TableDef.h"
#include "util/Failure.h"

namespace jet {

namespace {

// Pages besides 2 whose first bytes confirm a key.
constexpr uint32_t kConfirmPages = 64;

std::string thousands(uint64_t n) {
    const std::string digits = std::to_string(n);
    std::string out;
    for (std::size_t k = 0; k < digits.size(); ++k) {
        if (k != 0 && (digits.size() - k) % 3 == 0) out += ',';
        out += digits[k];
    }
    return out;
}

// Whether a page shows nearly every byte value, few of them zero, as an
// encoded page does; a page as written shows few (zeros fill its tail).
bool scrambled(const Page& p) {
    std::array<uint16_t, 256> seen{};
    for (const uint8_t b : p) ++seen[b];
    const auto values = std::count_if(seen.begin(), seen.end(), [](uint16_t n) { return n != 0; });
    return values >= 224 && seen[0] < 64;
}

// Whether the head of a page decoded reads as a page of a kind the engine
// writes.
bool readsAsPage(const uint8_t* h) {
    return h[0] >= kPageData && h[0] <= kPageUsageBitmap && h[1] == 0x01;
}

}  // namespace

// A Jet 4 header holds zeros from its second sector to 0xE00: where they
// are left (the first sector lost, or the whole page), and page 2, which
// is the catalogue's definition in every file, shows the noise of an
// encoded page, the file is an encoded one that lost its header.
bool PageFile::looksEncoded(const Page& raw, const Page& /*p1*/, const Page& p2) {
    return allZero(raw.data() + 0x200, 0xE00 - 0x200) && scrambled(p2);
}

// Page 2 begins as the catalogue's definition under the key, and of the
// other first pages that hold anything, at least two (or all, where fewer)
// begin as pages of known kinds.
bool PageFile::keyConfirmed(uint32_t key) {
    Page p{};
    if (!readStored(2, p)) return false;
    PageHead head{};
    std::copy_n(p.begin(), head.size(), head.begin());
    if (!page2HeadReads(head, key)) return false;
    const auto pages = static_cast<uint32_t>(
        std::min<uint64_t>(grid_ ? grid_->pages.size() : fileSize_ / kPageSize, kConfirmPages));
    uint32_t looked = 0, read = 0;
    for (uint32_t n = 1; n < pages; ++n) {
        if (n == 2 || !readStored(n, p) || allZero(p.data(), kPageSize)) continue;
        ++looked;
        rc4Page(key, n, p.data(), 16);
        read += readsAsPage(p.data()) ? 1u : 0u;
    }
    return read >= std::min(looked, 2u);
}

uint32_t PageFile::recoverKey(const Page& raw, const Page& storedPage2, OpenDamage& found) {
    static const KeyRecovery kNone;
    const KeyRecovery& r = recovery_ ? *recovery_ : kNone;
    // A header damaged elsewhere (its name, its version) may still hold the
    // key where it was.
    Page decoded = raw;
    maskHeaderRegion(decoded.data());
    if (const uint32_t held = u32(decoded, 0x3E); held != 0 && keyConfirmed(held)) return held;
    if (r.given) {
        if (!keyConfirmed(*r.given)) {
            fail(ErrorCode::kDamaged,
                 "The database is damaged: its header (page 0) is lost, and its pages do not "
                 "read under the key given (" +
                     keyText(*r.given) + "). Nothing was changed.");
        }
        found.keyGiven = true;
        found.key = *r.given;
        return *r.given;
    }
    if (!r.search) {
        fail(ErrorCode::kDamaged,
             "The database is damaged: its header (page 0) is lost, and its pages are encoded "
             "with a key only the header held. A compaction tries every key to find it again, "
             "which takes minutes.");
    }
    PageHead head{};
    std::copy_n(storedPage2.begin(), head.size(), head.begin());
    const KeySearchOutcome o = searchPageKey(
        head, r.range, [this](uint32_t key) { return keyConfirmed(key); }, r.watch);
    if (o.end == KeySearchEnd::kStopped) {
        fail(ErrorCode::kStopped,
             "The search for the key the database's pages are encoded with was stopped after " +
                 thousands(o.tried) + " of " + thousands(std::min(r.range.count, kEveryKey)) +
                 " keys. Nothing was changed.");
    }
    if (o.end == KeySearchEnd::kNotFound) {
        fail(ErrorCode::kDamaged,
             "The database is damaged beyond repair: its header (page 0) is lost, and none of "
             "the " +
                 thousands(o.tried) +
                 " keys tried reads its pages as a Jet 4 file's. Nothing was changed.");
    }
    found.keySearched = true;
    found.key = o.key;
    return o.key;
}

}  // namespace jet
