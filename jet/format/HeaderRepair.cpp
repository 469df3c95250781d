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
    const uint32_t pages =
        static_cast<uint32_t>(std::min<uint64_t>(fileSize_ / kPageSize, kSampled));
    uint32_t plausible = 0;
    for (uint32_t n = 1; n < pages; ++n) {
        std::array<uint8_t, kHead> stored{};
        const auto got =
            env_->readAt(fd_, stored.data(), stored.size(), static_cast<uint64_t>(n) * kPageSize);
        if (!got.ok() || got.value != stored.size()) return false;
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
        } else if (stored != 0) {
            fail(ErrorCode::kDamaged,
                 "The database is damaged: the key its pages are encoded with, kept in its header "
                 "(page 0), is damaged; its pages cannot be read.");
        }
    }
    if (!header_.passwordHoldsText()) {
        std::array<uint8_t, kPasswordBytes> given{};
        if (!encodePassword(password, given))
            fail(ErrorCode::kPasswordTooLong, "The password is too long: at most 20 characters.");
        header_ = parseHeader(withPassword(header_, given), path_);
        found.passwordLost = true;
    }
}

}  // namespace jet
