#include "platform/MessageBox.h"

#include <iostream>

namespace platform {

namespace {

// The length of the well-formed UTF-8 sequence at text[i] that is not a C1
// control character, or 0.
std::size_t printableSequence(const std::string& text, std::size_t i) {
    auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = at(i);
    if (c >= 0x20 && c < 0x7F) return 1;
    std::size_t n = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        if (c == 0xC2) low = 0xA0;  // U+0080 to U+009F are controls
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) low = 0xA0;   // no overlong form
        if (c == 0xED) high = 0x9F;  // no surrogate
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + n > text.size() || at(i + 1) < low || at(i + 1) > high) return 0;
    for (std::size_t k = 2; k < n; ++k) {
        if ((at(i + k) & 0xC0) != 0x80) return 0;
    }
    return n;
}

}  // namespace

std::string printableText(const std::string& text) {
    static const char* const kHex = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            out.push_back('\n');
            i += 2;
            continue;
        }
        if (text[i] == '\t') {
            out.push_back('\t');
            ++i;
            continue;
        }
        const std::size_t n = printableSequence(text, i);
        if (n != 0) {
            out.append(text, i, n);
            i += n;
            continue;
        }
        const auto c = static_cast<unsigned char>(text[i++]);
        out += "\\x";
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 15]);
    }
    return out;
}

void ConsoleMessageBox::show(const std::string& text, MessageIcon icon, const std::string& title) {
    std::ostream& out = icon == MessageIcon::kCritical ? std::cerr : std::cout;
    if (icon == MessageIcon::kCritical) sawCritical_ = true;
    sawAny_ = true;
    out << printableText(title) << ":\n" << printableText(text) << std::endl;
}

}  // namespace platform
