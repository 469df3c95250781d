// The per-character table of the General (legacy) sort order: for every
// UTF-16 code unit, its class and the bytes it gives a text key. The listed
// units (all but the surrogates) live in GeneralLegacyTable.inc as runs of
// code units whose bytes advance in step; the surrogates' codes are computed.
// The whole is spread out into one entry a code unit on first use.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace jet {

enum class TextKeyClass : uint8_t {
    kNone,           // no code (only a default-made TextKeyCode)
    kIgnored,        // gives nothing at all
    kSimple,         // primary bytes
    kInternational,  // primary bytes and a diacritic of one or two bytes
    kSpecial,        // no primary bytes; an entry in the special section, its code in extra
    kModifier,       // no primary bytes; adds extra[0] to the last diacritic byte
    kKana,           // primary bytes, perhaps a diacritic, and a kana flag
    kSurrogate,      // computed: two primary bytes and the diacritic 3F, as an international
};

struct TextKeyCode {
    TextKeyClass cls = TextKeyClass::kNone;
    uint8_t primaryLength = 0;  // 0 to 4
    uint8_t extraLength = 0;    // 0 to 2
    uint8_t kanaFlag = 0;       // kana: 2 (the characters the table flags) or 3
    std::array<uint8_t, 4> primary{};
    std::array<uint8_t, 2> extra{};

    bool operator==(const TextKeyCode&) const = default;
};

// The surrogates, U+D800 to U+DFFF, which the stored table leaves out.
constexpr char16_t kFirstSurrogate = 0xD800;
constexpr char16_t kLastSurrogate = 0xDFFF;
constexpr bool isSurrogate(char32_t unit) {
    return unit >= kFirstSurrogate && unit <= kLastSurrogate;
}
// Units in the table: every UTF-16 code unit.
constexpr std::size_t kTextKeyUnits = 0x10000;

// The code of one unit.
const TextKeyCode& textKeyCode(char16_t unit);
// The whole table, kTextKeyUnits entries, for loops that look up many units.
const TextKeyCode* textKeyTable();

// A surrogate's code. Each surrogate is a character of its own with two
// primary bytes and the diacritic 3F. A high surrogate's primary bytes are
// the unit less 10238 (D800 gives B0 02), where that leaves a second byte a
// key's primary run may hold (02 and up: 00 ends a text part, 01 its
// primary section; the 8 units whose second byte would be 00 or 01 take
// 02). Low surrogates count on from B4 F8 (DC00), their second byte running
// 02 to FF as the table's runs do (DC08 gives B5 02, DFFF B8 FF).
TextKeyCode surrogateKeyCode(char16_t unit);

// A run of the stored table: count code units from first, of one class,
// whose primary bytes and diacritic advance by a step from one unit to the
// next. Primary bytes are counted as a number whose last byte runs from 02
// to FF (254 values; a one-byte run counts 00 to FF), so that E6 FF is
// followed by E7 02.
struct TextKeyRun {
    uint16_t first;
    uint16_t count;
    TextKeyClass cls;
    uint8_t primaryLength;
    uint32_t primary;  // the first unit's primary bytes, big-endian
    int32_t primaryStep;
    uint8_t extraLength;
    uint16_t extra;  // the first unit's diacritic bytes, big-endian
    int16_t extraStep;
    uint8_t kanaFlag;
};

// The code of the i-th unit of a run.
TextKeyCode textKeyCodeInRun(const TextKeyRun& run, uint32_t i);
// The number primary bytes count as (see TextKeyRun), and back.
uint64_t primaryOrdinal(const std::array<uint8_t, 4>& bytes, uint8_t length);
std::array<uint8_t, 4> primaryFromOrdinal(uint64_t ordinal, uint8_t length);

}  // namespace jet
