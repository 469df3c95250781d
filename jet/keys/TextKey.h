// Index keys of text columns in the "General (legacy)" sort order (LCID
// 1033, version 0), the order of every Jet 4 text column made by Access
// 2000-2003 in Western locales. Supported: Latin-1, the control characters
// and the Windows-1252 extras users type; other characters are refused.
#pragma once

#include <optional>
#include <string>

#include "format/Bytes.h"

namespace jet {

// The key part of a text value, flag byte included; nullopt when the value
// holds a character the encoder does not know. A null value is encodeNull.
std::optional<Bytes> encodeTextKey(const std::u16string& value, bool ascending);
Bytes encodeNullKey(bool ascending);

// Whether a column with this sort order uses the encoding above.
inline bool isGeneralLegacy(uint16_t lcid, uint8_t version) { return lcid == 1033 && version == 0; }

}  // namespace jet
