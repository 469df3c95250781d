// The General (legacy) table, spread out from its runs on first use.
#include "keys/TextKeyTable.h"

#include <algorithm>
#include <memory>

namespace jet {

namespace {

// Short names for the generated runs.
constexpr TextKeyClass X = TextKeyClass::kIgnored;
constexpr TextKeyClass S = TextKeyClass::kSimple;
constexpr TextKeyClass I = TextKeyClass::kInternational;
constexpr TextKeyClass U = TextKeyClass::kSpecial;
constexpr TextKeyClass P = TextKeyClass::kModifier;
constexpr TextKeyClass Z = TextKeyClass::kKana;

#include "keys/GeneralLegacyTable.inc"

// The runs follow one another from U+0000 to U+FFFF, the surrogates left
// out, and none runs into them.
constexpr bool runsCoverTheTable() {
    std::size_t next = 0;
    for (const TextKeyRun& run : kGeneralLegacyRuns) {
        if (next == kFirstSurrogate) next = std::size_t{kLastSurrogate} + 1;
        if (run.first != next || run.count == 0) return false;
        next += run.count;
        if (next > kFirstSurrogate && run.first < kFirstSurrogate) return false;
    }
    return next == kTextKeyUnits;
}
static_assert(runsCoverTheTable(), "GeneralLegacyTable.inc leaves a gap");

std::unique_ptr<TextKeyCode[]> spreadTable() {
    auto table = std::make_unique<TextKeyCode[]>(kTextKeyUnits);
    for (const TextKeyRun& run : kGeneralLegacyRuns) {
        for (uint32_t i = 0; i < run.count; ++i) table[run.first + i] = textKeyCodeInRun(run, i);
    }
    for (uint32_t u = kFirstSurrogate; u <= kLastSurrogate; ++u)
        table[u] = surrogateKeyCode(static_cast<char16_t>(u));
    return table;
}

constexpr uint8_t kSurrogateDiacritic = 0x3F;
constexpr char16_t kFirstLowSurrogate = 0xDC00;
constexpr int kHighSurrogateOffset = 10238;
constexpr std::array<uint8_t, 4> kFirstLowSurrogatePrimary = {0xB4, 0xF8};

}  // namespace

uint64_t primaryOrdinal(const std::array<uint8_t, 4>& bytes, uint8_t length) {
    if (length == 0) return 0;
    if (length == 1) return bytes[0];
    uint64_t lead = 0;
    for (uint8_t i = 0; i + 1 < length; ++i) lead = lead << 8 | bytes[i];
    return lead * 254 + (bytes[length - 1] - 2u);
}

std::array<uint8_t, 4> primaryFromOrdinal(uint64_t ordinal, uint8_t length) {
    std::array<uint8_t, 4> out{};
    if (length == 0) return out;
    if (length == 1) {
        out[0] = static_cast<uint8_t>(ordinal);
        return out;
    }
    out[length - 1] = static_cast<uint8_t>(ordinal % 254 + 2);
    uint64_t lead = ordinal / 254;
    for (uint8_t i = static_cast<uint8_t>(length - 1); i-- > 0; lead >>= 8)
        out[i] = static_cast<uint8_t>(lead);
    return out;
}

TextKeyCode textKeyCodeInRun(const TextKeyRun& run, uint32_t i) {
    TextKeyCode c;
    c.cls = run.cls;
    c.primaryLength = run.primaryLength;
    c.extraLength = run.extraLength;
    c.kanaFlag = run.kanaFlag;
    std::array<uint8_t, 4> first{};
    for (uint8_t k = 0; k < run.primaryLength; ++k)
        first[k] = static_cast<uint8_t>(run.primary >> (8 * (run.primaryLength - 1 - k)));
    c.primary = first;
    if (const int64_t step = int64_t{run.primaryStep} * i; step != 0) {
        const auto at = static_cast<int64_t>(primaryOrdinal(first, run.primaryLength)) + step;
        c.primary = primaryFromOrdinal(static_cast<uint64_t>(at), run.primaryLength);
    }
    const auto extra = static_cast<uint32_t>(run.extra + int64_t{run.extraStep} * i);
    if (run.extraLength == 1) c.extra[0] = static_cast<uint8_t>(extra);
    if (run.extraLength == 2)
        c.extra = {static_cast<uint8_t>(extra >> 8), static_cast<uint8_t>(extra)};
    return c;
}

TextKeyCode surrogateKeyCode(char16_t unit) {
    TextKeyCode c;
    c.cls = TextKeyClass::kSurrogate;
    c.primaryLength = 2;
    c.extraLength = 1;
    c.extra[0] = kSurrogateDiacritic;
    if (unit < kFirstLowSurrogate) {
        const int primary = unit - kHighSurrogateOffset;
        c.primary[0] = static_cast<uint8_t>(primary >> 8);
        c.primary[1] = static_cast<uint8_t>(std::max(primary & 0xFF, 0x02));
    } else {
        c.primary = primaryFromOrdinal(
            primaryOrdinal(kFirstLowSurrogatePrimary, 2) + (unit - kFirstLowSurrogate), 2);
    }
    return c;
}

const TextKeyCode* textKeyTable() {
    static const std::unique_ptr<TextKeyCode[]> table = spreadTable();
    return table.get();
}

const TextKeyCode& textKeyCode(char16_t unit) { return textKeyTable()[unit]; }

}  // namespace jet
