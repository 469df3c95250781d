#include "format/Text.h"

namespace jet {

std::string utf16ToUtf8(const std::u16string& units) {
    std::string out;
    out.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        uint32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // a lone surrogate
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

bool utf8ToUtf16(const std::string& utf8, std::u16string& out) {
    out.clear();
    std::size_t i = 0;
    while (i < utf8.size()) {
        uint8_t b = static_cast<uint8_t>(utf8[i]);
        uint32_t c;
        std::size_t extra;
        if (b < 0x80) {
            c = b;
            extra = 0;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1Fu;
            extra = 1;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0Fu;
            extra = 2;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07u;
            extra = 3;
        } else {
            return false;
        }
        if (i + extra >= utf8.size()) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            uint8_t n = static_cast<uint8_t>(utf8[i + k]);
            if ((n & 0xC0) != 0x80) return false;
            c = (c << 6) | (n & 0x3Fu);
        }
        i += extra + 1;
        if (c >= 0x10000) {
            if (c > 0x10FFFF) return false;
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return true;
}

std::u16string utf16leToUnits(ByteView bytes) {
    std::u16string out;
    out.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        out.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return out;
}

std::u16string decodeText(ByteView stored) {
    std::u16string out;
    out.reserve(stored.size());
    forEachTextUnit(stored, [&](char16_t c) {
        out.push_back(c);
        return true;
    });
    return out;
}

}  // namespace jet
