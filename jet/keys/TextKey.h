// Index keys of text columns in the "General (legacy)" sort order (LCID
// 1033, version 0), the order of every Jet 4 text column made by Access
// 2000-2003 in Western locales. Every UTF-16 code unit has a code
// (TextKeyTable.h); a character beyond the basic plane is keyed as its two
// surrogates, each a character of its own.
//
// A key is the flag byte (7F ascending, 80 descending), then
//   primary bytes of each character | 01 | diacritic section
//   [ 01 01 [ kana flags, FF 02 80 FF 80 [ FF ] ] [ 01 special entries ] ] | 00
// where the part in brackets is there only for values with kana or special
// characters. Descending keys invert every byte after the flag (the final 00
// too) and end with one more 00.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "format/Bytes.h"

namespace jet {

// How a sharp s (U+00DF, primary bytes "ss") counts when the characters of
// a value are numbered: the positions of later diacritics and special
// characters depend on it. Jet 4.0 counts two, as it sorts the letter as
// "ss"; later engines count one. Values with no diacritic or special
// character after a sharp s get the same key either way.
enum class SharpS : uint8_t { kTwoPositions, kOnePosition };

// Appends the key part of a text value, flag byte included, to out.
// Allocates nothing once out has grown to the keys it is used for (clear()
// keeps that).
// dependsOnSharpS, when given, is set when the other count of the sharp s
// may give the value another key (it holds one, with a diacritic or special
// character after it); sharpSCountMatters says for sure.
void appendTextKey(Bytes& out, std::u16string_view value, bool ascending,
                   SharpS sharpS = SharpS::kTwoPositions, bool* dependsOnSharpS = nullptr);
// The same for the value as a row stores it (UTF-16LE, or compressed after
// FF FE), read in place.
void appendStoredTextKey(Bytes& out, ByteView stored, bool ascending,
                         SharpS sharpS = SharpS::kTwoPositions, bool* dependsOnSharpS = nullptr);

// The key part of a text value. A null value is encodeNullKey.
Bytes encodeTextKey(std::u16string_view value, bool ascending,
                    SharpS sharpS = SharpS::kTwoPositions);
Bytes encodeNullKey(bool ascending);

// Whether the two counts of SharpS give this value different keys.
bool sharpSCountMatters(std::u16string_view value);
bool storedSharpSCountMatters(ByteView stored);

// Whether a column with this sort order uses the encoding above.
inline bool isGeneralLegacy(uint16_t lcid, uint8_t version) { return lcid == 1033 && version == 0; }

}  // namespace jet
