// The user's numeric conventions on POSIX systems: the locale's, read
// without touching the process's own.
#include <locale.h>

#include <climits>
#include <clocale>
#include <cstdlib>

#include "platform/ErrorRecord.h"
#include "platform/NumberFormat.h"

namespace platform {

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
