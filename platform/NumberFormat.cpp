#include "platform/NumberFormat.h"

#include <climits>
#include <cmath>
#include <cstdio>

#include "platform/ErrorRecord.h"

namespace platform {

std::string groupDigits(long double value, const std::string& separator,
                        const std::string& grouping) {
    long double rounded = std::round(value);
    bool negative = rounded < 0;
    std::string digits;
    long double mag = std::fabs(rounded);
    if (mag < 1) {
        digits = "0";
    } else {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.0Lf", mag);
        digits = buf;
    }
    std::string out;
    std::size_t g = 0;  // index into grouping; the last group size repeats
    int inGroup = 0;
    int size = grouping.empty() ? 0 : static_cast<unsigned char>(grouping[0]);
    for (std::size_t i = digits.size(); i-- > 0;) {
        if (size > 0 && size < CHAR_MAX && inGroup == size) {
            out.insert(0, separator);
            inGroup = 0;
            if (g + 1 < grouping.size()) {
                ++g;
                size = static_cast<unsigned char>(grouping[g]);
            }
        }
        out.insert(out.begin(), digits[i]);
        ++inGroup;
    }
    if (negative) out.insert(out.begin(), '-');
    return out;
}

}  // namespace platform
