// The per-character table of the General (legacy) sort order: for every
// UTF-16 code unit up to U+F7FF, its class and the bytes it gives a text key.
// The table lives in GeneralLegacyTable.inc as runs of code units whose bytes
// advance in step; it is spread out into one entry a code unit on first use.
#pragma once

#include <array>
#include <cstdint>

namespace jet {

enum class TextKeyClass : uint8_t {
    kNone,           // above the table (U+F800 and up): the unit has no key
    kIgnored,        // gives nothing at all
    kSimple,         // primary bytes
    kInternational,  // primary bytes and a diacritic of one or two bytes
    kSpecial,        // no primary bytes; an entry in the special section, its code in extra
    kModifier,       // no primary bytes; adds extra[0] to the last diacritic byte
    kKana,           // primary bytes, perhaps a diacritic, and a kana flag
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

// The last code unit the table holds.
constexpr char16_t kTextKeyLastUnit = 0xF7FF;

// The code of one unit (class kNone above the table).
const TextKeyCode& textKeyCode(char16_t unit);
// The whole table, kTextKeyLastUnit + 1 entries, for loops that look up
// many units.
const TextKeyCode* textKeyTable();

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
