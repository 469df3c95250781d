#include "platform/NumberFormat.h"

#include <locale.h>

#include <climits>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>

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

std::string LocaleNumberFormat::format(const std::string& value, const std::string& pattern) {
    if (pattern != "#,##0") raise(5, "Invalid procedure call or argument");
    char* end = nullptr;
    long double v = std::strtold(value.c_str(), &end);
    if (value.empty() || end == value.c_str()) raise(13, "Type mismatch");
    // The user's numeric conventions, read without touching the global locale.
    locale_t loc = newlocale(LC_NUMERIC_MASK, localeName_.c_str(), static_cast<locale_t>(0));
    if (loc == static_cast<locale_t>(0))
        loc = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0));
    std::string sep = ",";
    std::string grouping = "\3";
    if (loc != static_cast<locale_t>(0)) {
        locale_t old = uselocale(loc);
        const struct lconv* lc = localeconv();
        sep = lc->thousands_sep ? lc->thousands_sep : "";
        grouping = lc->grouping ? lc->grouping : "";
        uselocale(old);
        freelocale(loc);
    }
    // "#,##0" asks for thousands: a locale that names a separator but no
    // grouping (as the C library's Greek one does) groups by three.
    const auto first = grouping.empty() ? 0 : static_cast<unsigned char>(grouping[0]);
    if (!sep.empty() && (first == 0 || first >= CHAR_MAX)) grouping = "\3";
    return groupDigits(v, sep, grouping);
}

}  // namespace platform
