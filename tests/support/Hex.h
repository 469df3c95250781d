// Bytes written as hex pairs ("7F 4A 01 00") in tests.
#pragma once

#include <string>

#include "format/Bytes.h"

namespace testsupport {

inline jet::Bytes hex(const std::string& s) {
    jet::Bytes out;
    for (std::size_t i = 0; i + 1 < s.size();) {
        if (s[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

}  // namespace testsupport
