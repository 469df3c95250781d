// Text conversions: UTF-8 and UTF-16, and Jet 4's compressed Unicode.
#pragma once

#include <string>

#include "format/Bytes.h"

namespace jet {

std::string utf16ToUtf8(const std::u16string& units);
// False when the input is not valid UTF-8.
bool utf8ToUtf16(const std::string& utf8, std::u16string& out);

// Decodes a stored text value: UTF-16LE, or compressed when it starts FF FE.
std::u16string decodeText(ByteView stored);
// UTF-16LE bytes to units (an odd trailing byte is dropped).
std::u16string utf16leToUnits(ByteView bytes);

}  // namespace jet
