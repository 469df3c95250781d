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
// Calls f with each code unit of a stored text value, in order, as long as
// it returns true. In a compressed value a 00 byte switches between one byte
// a unit and two (UTF-16LE).
template <typename F>
void forEachTextUnit(ByteView stored, F&& f) {
    if (stored.size() < 2 || stored[0] != 0xFF || stored[1] != 0xFE) {
        for (std::size_t i = 0; i + 1 < stored.size(); i += 2) {
            if (!f(static_cast<char16_t>(stored[i] | stored[i + 1] << 8))) return;
        }
        return;
    }
    bool compressed = true;
    for (std::size_t i = 2; i < stored.size();) {
        if (stored[i] == 0x00) {
            compressed = !compressed;
            ++i;
        } else if (compressed) {
            if (!f(static_cast<char16_t>(stored[i]))) return;
            ++i;
        } else {
            if (i + 1 >= stored.size() || !f(static_cast<char16_t>(stored[i] | stored[i + 1] << 8)))
                return;
            i += 2;
        }
    }
}
// UTF-16LE bytes to units (an odd trailing byte is dropped).
std::u16string utf16leToUnits(ByteView bytes);

}  // namespace jet
