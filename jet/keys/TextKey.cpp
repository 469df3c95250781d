#include "keys/TextKey.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "format/Text.h"
#include "keys/TextKeyTable.h"

namespace jet {

namespace {

// Only the first 255 code units of a value are keyed.
constexpr std::size_t kKeyedUnits = 255;
constexpr char16_t kSharpS = 0x00DF;
constexpr uint8_t kPlaceholder = 0x02;  // a position without a diacritic
constexpr uint8_t kKanaDropped = 3;     // the kana flag left off at the end
constexpr uint8_t kKanaSuffix[] = {0xFF, 0x02, 0x80, 0xFF, 0x80};

// The value's units as keyed: the first 255, trailing spaces dropped.
std::u16string_view keyedUnits(std::u16string_view v) {
    v = v.substr(0, kKeyedUnits);
    while (!v.empty() && v.back() == u' ') v.remove_suffix(1);
    return v;
}

// The sections of one key, in buffers big enough for 255 units of any kind.
class KeySections {
  public:
    explicit KeySections(SharpS sharpS) : sharpS_(sharpS) {}

    // Adds units[0..n). Unit is uint8_t for a compressed value read in
    // place, else char16_t.
    template <typename Unit>
    void addAll(const Unit* units, std::size_t n);
    // One unit of any class but simple.
    void add(const TextKeyCode& code);
    // The whole key part, flag to final 00.
    void appendTo(Bytes& out, bool ascending);
    // Whether a position counted after a sharp s was written: the other
    // count of the sharp s may give another key.
    bool dependsOnSharpS() const { return dependsOnSharpS_; }

  private:
    void fillDiacritics(std::size_t position);
    void addSpecial(std::size_t position, const TextKeyCode& code);
    std::size_t packedKana(uint8_t* out) const;

    SharpS sharpS_;
    bool sawSharpS_ = false, dependsOnSharpS_ = false;
    std::size_t positions_ = 0;                         // characters with primary bytes so far
    std::array<uint8_t, 4 * kKeyedUnits + 4> primary_;  // room to copy 4 bytes at the end
    std::size_t primaryLength_ = 0;
    // The diacritic section, the positions it covers, and the length of a
    // modifier that came before any position.
    std::array<uint8_t, 2 * kKeyedUnits + 2> diacritics_;
    std::size_t diacriticLength_ = 0, diacriticPositions_ = 0, modifierPrefix_ = 0;
    bool diacriticSection_ = false;
    std::array<uint8_t, 5 * kKeyedUnits> specials_;
    std::size_t specialLength_ = 0;
    std::array<uint8_t, kKeyedUnits> kana_;
    std::size_t kanaCount_ = 0;
};

// Simple characters, most of any text, on a path of their own.
template <typename Unit>
void KeySections::addAll(const Unit* units, std::size_t n) {
    const TextKeyCode* table = textKeyTable();
    const bool sharpSTwice = sharpS_ == SharpS::kTwoPositions;
    uint8_t* primary = primary_.data() + primaryLength_;
    std::size_t positions = positions_;
    for (std::size_t i = 0; i < n; ++i) {
        const char16_t c = units[i];
        const TextKeyCode& code = table[c];
        if (code.cls == TextKeyClass::kSimple) {
            std::memcpy(primary, code.primary.data(), 4);
            primary += code.primaryLength;
            if (c == kSharpS) {
                sawSharpS_ = true;
                positions += sharpSTwice ? 2 : 1;
            } else {
                ++positions;
            }
            continue;
        }
        primaryLength_ = static_cast<std::size_t>(primary - primary_.data());
        positions_ = positions;
        add(code);
        primary = primary_.data() + primaryLength_;
        positions = positions_;
    }
    primaryLength_ = static_cast<std::size_t>(primary - primary_.data());
    positions_ = positions;
}

void KeySections::fillDiacritics(std::size_t position) {
    diacriticSection_ = true;
    dependsOnSharpS_ = dependsOnSharpS_ || sawSharpS_;
    while (diacriticPositions_ < position) {
        diacritics_[diacriticLength_++] = kPlaceholder;
        ++diacriticPositions_;
    }
}

// A special character's entry: where it stands, counted in diacritic bytes
// once the value has a diacritic section (so that a two-byte diacritic
// counts two), and its code.
void KeySections::addSpecial(std::size_t position, const TextKeyCode& code) {
    dependsOnSharpS_ = dependsOnSharpS_ || sawSharpS_;
    const std::size_t at =
        diacriticSection_ ? diacriticLength_ + (position - diacriticPositions_) - modifierPrefix_
                          : position;
    const auto mark = static_cast<uint16_t>(0x8000 | (7 + 4 * at));
    specials_[specialLength_++] = static_cast<uint8_t>(mark >> 8);
    specials_[specialLength_++] = static_cast<uint8_t>(mark);
    specials_[specialLength_++] = 0x06;
    for (uint8_t i = 0; i < code.extraLength; ++i) specials_[specialLength_++] = code.extra[i];
}

void KeySections::add(const TextKeyCode& code) {
    if (code.cls == TextKeyClass::kIgnored || code.cls == TextKeyClass::kNone) return;
    const std::size_t position = positions_;
    for (uint8_t i = 0; i < code.primaryLength; ++i) primary_[primaryLength_++] = code.primary[i];
    if (code.primaryLength > 0) ++positions_;  // (the sharp s is simple: see addAll)
    switch (code.cls) {
        case TextKeyClass::kInternational:
        case TextKeyClass::kSurrogate:
        case TextKeyClass::kKana:
            if (code.extraLength > 0) {
                fillDiacritics(position);
                for (uint8_t i = 0; i < code.extraLength; ++i)
                    diacritics_[diacriticLength_++] = code.extra[i];
                ++diacriticPositions_;
            }
            if (code.cls == TextKeyClass::kKana) kana_[kanaCount_++] = code.kanaFlag;
            break;
        case TextKeyClass::kModifier:
            fillDiacritics(position);
            if (diacriticLength_ > 0) {
                diacritics_[diacriticLength_ - 1] =
                    static_cast<uint8_t>(diacritics_[diacriticLength_ - 1] + code.extra[0]);
            } else {
                diacritics_[diacriticLength_++] = code.extra[0];
                modifierPrefix_ = 1;
            }
            break;
        case TextKeyClass::kSpecial:
            addSpecial(position, code);
            break;
        default:
            break;
    }
}

// Kana flags three to a byte, the trailing 3s left off.
std::size_t KeySections::packedKana(uint8_t* out) const {
    std::size_t n = kanaCount_;
    while (n > 0 && kana_[n - 1] == kKanaDropped) --n;
    std::size_t length = 0;
    for (std::size_t i = 0; i < n; i += 3) {
        uint8_t b = 0x80;
        for (std::size_t k = 0; k < 3 && i + k < n; ++k)
            b = static_cast<uint8_t>(b | kana_[i + k] << (4 - 2 * k));
        out[length++] = b;
    }
    return length;
}

// Writes n bytes from `from` at p; returns the end.
uint8_t* put(uint8_t* p, const uint8_t* from, std::size_t n) {
    if (n > 0) std::memcpy(p, from, n);
    return p + n;
}

void KeySections::appendTo(Bytes& out, bool ascending) {
    while (diacriticLength_ > 0 && diacritics_[diacriticLength_ - 1] <= kPlaceholder)
        --diacriticLength_;
    uint8_t kana[kKeyedUnits / 3 + 1];
    const std::size_t kanaLength = kanaCount_ > 0 ? packedKana(kana) : 0;
    const bool more = kanaCount_ > 0 || specialLength_ > 0;
    const std::size_t size =
        1 + primaryLength_ + 1 + diacriticLength_ + (more ? 2 : 0) +
        (kanaCount_ > 0 ? kanaLength + sizeof kKanaSuffix + (specialLength_ > 0 ? 1 : 0) : 0) +
        (specialLength_ > 0 ? 1 + specialLength_ : 0) + 1 + (ascending ? 0 : 1);
    const std::size_t start = out.size();
    if (out.capacity() - start < size) out.reserve(std::max(start + size, 2 * out.capacity()));
    out.resize(start + size);
    uint8_t* p = out.data() + start;
    *p++ = ascending ? 0x7F : 0x80;
    p = put(p, primary_.data(), primaryLength_);
    *p++ = 0x01;
    p = put(p, diacritics_.data(), diacriticLength_);
    if (more) {
        *p++ = 0x01;
        *p++ = 0x01;
    }
    if (kanaCount_ > 0) {
        p = put(put(p, kana, kanaLength), kKanaSuffix, sizeof kKanaSuffix);
        if (specialLength_ > 0) *p++ = 0xFF;
    }
    if (specialLength_ > 0) {
        *p++ = 0x01;
        p = put(p, specials_.data(), specialLength_);
    }
    *p++ = 0x00;
    if (!ascending) {
        for (uint8_t* b = out.data() + start + 1; b < p; ++b) *b = static_cast<uint8_t>(~*b);
        *p = 0x00;
    }
}

template <typename Unit>
void appendKeyOf(Bytes& out, const Unit* units, std::size_t n, bool ascending, SharpS sharpS,
                 bool* dependsOnSharpS) {
    n = std::min(n, kKeyedUnits);
    while (n > 0 && units[n - 1] == ' ') --n;
    KeySections key(sharpS);
    key.addAll(units, n);
    key.appendTo(out, ascending);
    if (dependsOnSharpS) *dependsOnSharpS = key.dependsOnSharpS();
}

void appendKeyOfUnits(Bytes& out, std::u16string_view value, bool ascending, SharpS sharpS,
                      bool* dependsOnSharpS = nullptr) {
    appendKeyOf(out, value.data(), value.size(), ascending, sharpS, dependsOnSharpS);
}

// The first units of a stored value, in a caller's buffer.
std::u16string_view storedUnits(ByteView stored, std::array<char16_t, kKeyedUnits>& buffer) {
    std::size_t n = 0;
    forEachTextUnit(stored, [&](char16_t c) {
        buffer[n++] = c;
        return n < buffer.size();
    });
    return {buffer.data(), n};
}

}  // namespace

void appendTextKey(Bytes& out, std::u16string_view value, bool ascending, SharpS sharpS,
                   bool* dependsOnSharpS) {
    appendKeyOfUnits(out, value, ascending, sharpS, dependsOnSharpS);
}

void appendStoredTextKey(Bytes& out, ByteView stored, bool ascending, SharpS sharpS,
                         bool* dependsOnSharpS) {
    // Compressed without a switch to two bytes a unit: the bytes are the units.
    if (stored.size() >= 2 && stored[0] == 0xFF && stored[1] == 0xFE &&
        std::memchr(stored.data() + 2, 0, stored.size() - 2) == nullptr) {
        appendKeyOf(out, stored.data() + 2, stored.size() - 2, ascending, sharpS, dependsOnSharpS);
        return;
    }
    std::array<char16_t, kKeyedUnits> units;
    appendKeyOfUnits(out, storedUnits(stored, units), ascending, sharpS, dependsOnSharpS);
}

Bytes encodeTextKey(std::u16string_view value, bool ascending, SharpS sharpS) {
    Bytes out;
    appendKeyOfUnits(out, value, ascending, sharpS);
    return out;
}

Bytes encodeNullKey(bool ascending) { return Bytes{static_cast<uint8_t>(ascending ? 0x00 : 0xFF)}; }

bool sharpSCountMatters(std::u16string_view value) {
    value = keyedUnits(value);
    if (value.find(kSharpS) == std::u16string_view::npos) return false;
    Bytes two, one;
    appendKeyOfUnits(two, value, true, SharpS::kTwoPositions);
    appendKeyOfUnits(one, value, true, SharpS::kOnePosition);
    return two != one;
}

bool storedSharpSCountMatters(ByteView stored) {
    // No DF byte, no sharp s (compressed or UTF-16LE).
    if (std::memchr(stored.data(), 0xDF, stored.size()) == nullptr) return false;
    std::array<char16_t, kKeyedUnits> units;
    return sharpSCountMatters(storedUnits(stored, units));
}

}  // namespace jet
