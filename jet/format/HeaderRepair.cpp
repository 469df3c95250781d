// Damage in the masked fields of a header that otherwise reads: its
// page-encoding key, under which no page of the file would read, and its
// password field. Without this a flipped bit of the key made every page
// garbage and a compaction kept nothing.
#include <algorithm>
#include <array>
#include <vector>

#include "format/PageFile.h"
#include "format/Rc4.h"
#include "format/TableDef.h"
#include "util/Failure.h"

namespace jet {

namespace {

constexpr uint32_t kSampled = 32;  // pages whose first bytes witness a key
constexpr std::size_t kHead = 16;

// The first bytes of a page as the key decodes them.
std::array<uint8_t, kHead> headUnder(const std::array<uint8_t, kHead>& stored, uint32_t key,
                                     uint32_t number) {
    std::array<uint8_t, kHead> h = stored;
    if (key != 0) rc4Page(key, number, h.data(), h.size());
    return h;
}

}  // namespace

// Whether the file's first pages read under key: the global map's page or
// the catalogue's definition as the engine writes them, or a few other pages
// that begin as a page of a known kind does.
bool PageFile::keyReads(uint32_t key) {
    const uint32_t pages = static_cast<uint32_t>(std::min<uint64_t>(
        grid_ ? grid_->pages.size() : fileSize_ / kPageSize, kSampled));
    uint32_t plausible = 0;
    for (uint32_t n = 1; n < pages; ++n) {
        Page page{};
        if (!readStored(n, page)) return false;
        std::array<uint8_t, kHead> stored{};
        std::copy_n(page.begin(), kHead, stored.begin());
        const std::array<uint8_t, kHead> a = headUnder(stored, key, n);
        const ByteView h(a.data(), a.size());
        if (n == 1 && h[0] == kPageData && h[1] == 0x01 && u32(h, 4) == 1) return true;
        if (n == 2 && h[0] == kPageTableDef && h[1] == 0x01 && u32(h, kTdefConstant) == kTdefMagic)
            return true;
        if (h[0] >= kPageData && h[0] <= kPageUsageBitmap && h[1] == 0x01 && ++plausible >= 3)
            return true;
    }
    return false;
}

void PageFile::repairHeaderFields(const std::string& password, OpenDamage& found) {
    const uint32_t stored = header_.databaseKey;
    if (!keyReads(stored)) {
        std::vector<uint32_t> near{0};
        if (recovery_ && recovery_->given) near.insert(near.begin(), *recovery_->given);
        for (int bit = 0; bit < 32; ++bit) near.push_back(stored ^ (1u << bit));
        for (int byte = 0; byte < 4; ++byte) {
            const uint32_t others = stored & ~(0xFFu << (8 * byte));
            for (uint32_t v = 0; v < 256; ++v) near.push_back(others | (v << (8 * byte)));
        }
        auto key = std::find_if(near.begin(), near.end(),
                                [&](uint32_t k) { return k != stored && keyReads(k); });
        if (key != near.end()) {
            header_ = parseHeader(withDatabaseKey(header_, *key), path_);
            found.keyFound = true;
            found.keyGiven = recovery_ && recovery_->given == *key;
            found.key = *key;
        } else if (stored != 0) {
            fail(ErrorCode::kDamaged,
                 "The database is damaged: the key its pages are encoded with, kept in its header "
                 "(page 0), is damaged; its pages cannot be read.");
        }
    }
    // A date no Jet 4 file was made on (its mask reads the field as text
    // only by chance) is damaged as surely as a field that reads as none.
    const bool reads = header_.passwordHoldsText();
    if (!reads || (!creationDatePlausible(header_.decoded) && !header_.passwordMatches(password)))
        repairPasswordMask(password, reads, found);
    repairDefaults(found);
}

// A password field that holds no text under the creation date's mask, or
// a date no file was made on that the password given does not fit: the
// padding is damaged where the date's mask reads the password given before
// it; the date is damaged where the field shows a mask of its own (the
// password given, of 18 characters or fewer, fits it, or its last bytes
// are padding); the password given is wrong where the field reads as text
// under the date's mask, or holds Latin text; else the field itself is
// damaged and the copy takes the password given.
void PageFile::repairPasswordMask(const std::string& password, bool fieldReads,
                                  OpenDamage& found) {
    std::array<uint8_t, kPasswordBytes> given{};
    if (!encodePassword(password, given))
        fail(ErrorCode::kPasswordTooLong, "The password is too long: at most 20 characters.");
    // The date's mask reads the password given, then something other than
    // zeros: the padding is damaged, and the copy writes it anew.
    if (textBeforePaddingIs(header_.decoded, given)) {
        header_ = parseHeader(withPassword(header_, given), path_);
        found.passwordLost = true;
        return;
    }
    // A password of 19 or 20 characters fills the field: a wrong one that
    // differs from it by 4 bytes repeated would imply a mask of its own.
    const bool short18 = given[36] == 0 && given[37] == 0;
    auto mask = short18 ? maskImpliedBy(header_.decoded, given) : std::nullopt;
    if (!mask) mask = maskShownByField(header_.decoded);
    if (mask) {
        Header dated = parseHeader(withDateForMask(header_, *mask), path_);
        if (passwordMask(dated.decoded) != *mask) {
            Page d = dated.decoded;  // a date past what 4 bytes of days hold: whole days alone
            put32(d.data() + kCreationDateOffset, 0);
            maskHeaderRegion(d.data());
            dated = parseHeader(d, path_);
        }
        header_ = dated;
        found.dateRepaired = true;
        return;
    }
    // Text under the date's mask (an odd date read it so), or Latin text
    // the password given does not fit: the field holds a password, not it.
    if (fieldReads || fieldHoldsLatinText(header_.decoded))
        fail(ErrorCode::kInvalidPassword, "Not a valid password.");
    header_ = parseHeader(withPassword(header_, given), path_);
    found.passwordLost = true;
}

// A default code page or sort order no Jet 4 file holds: the sort order the
// catalogue's text columns declare, and the code page of its language.
void PageFile::repairDefaults(OpenDamage& found) {
    if (!possibleSortOrder(header_.decoded)) {
        found.sortOrderWas = u32(header_.decoded, 0x6E);
        found.sortOrderRepaired = true;
        uint16_t lcid = 1033;
        uint8_t version = 0;
        if (Page p2{}; readStored(2, p2)) {
            if (header_.databaseKey != 0) rc4Page(header_.databaseKey, 2, p2.data(), kPageSize);
            catalogueSortOrder(p2, lcid, version);
        }
        header_ = parseHeader(withSortOrder(header_, lcid, version), path_);
    }
    if (!possibleCodePage(header_.codePage)) {
        found.codePageWas = header_.codePage;
        found.codePageRepaired = true;
        header_ = parseHeader(withCodePage(header_, codePageOfLanguage(header_.sortLcid)), path_);
    }
}

}  // namespace jet
