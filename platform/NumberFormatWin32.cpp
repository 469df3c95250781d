// The user's numeric conventions on Windows: the thousands separator and the
// grouping of the locale named (a name such as "de-DE"), else the user's.
#include <windows.h>

#include <cstdlib>
#include <vector>

#include "jet/WideText.h"
#include "platform/ErrorRecord.h"
#include "platform/NumberFormat.h"

namespace platform {

namespace {

std::wstring localeInfo(const wchar_t* locale, LCTYPE what) {
    wchar_t buf[64];
    const int n = GetLocaleInfoEx(locale, what, buf, 64);
    return n > 1 ? std::wstring(buf, static_cast<std::size_t>(n - 1)) : std::wstring();
}

// "3;2;0" (Windows' way) as "\3\2" (the C library's): the last size
// repeats unless the list ends in 0, where Windows repeats it too.
std::string groupingOf(const std::wstring& sizes) {
    std::string out;
    for (wchar_t c : sizes) {
        if (c >= L'1' && c <= L'9') out.push_back(static_cast<char>(c - L'0'));
    }
    return out;
}

}  // namespace

std::string LocaleNumberFormat::format(const std::string& value, const std::string& pattern) {
    if (pattern != "#,##0") raise(5, "Invalid procedure call or argument");
    char* end = nullptr;
    long double v = std::strtold(value.c_str(), &end);
    if (value.empty() || end == value.c_str()) raise(13, "Type mismatch");
    std::wstring name = jet::widen(localeName_);
    for (wchar_t& c : name) {
        if (c == L'_') c = L'-';
    }
    if (const std::size_t dot = name.find(L'.'); dot != std::wstring::npos) name.resize(dot);
    const wchar_t* locale = name.empty() ? LOCALE_NAME_USER_DEFAULT : name.c_str();
    std::wstring sep = localeInfo(locale, LOCALE_STHOUSAND);
    std::wstring sizes = localeInfo(locale, LOCALE_SGROUPING);
    if (sizes.empty()) {
        sep = localeInfo(LOCALE_NAME_USER_DEFAULT, LOCALE_STHOUSAND);
        sizes = localeInfo(LOCALE_NAME_USER_DEFAULT, LOCALE_SGROUPING);
    }
    return groupDigits(v, jet::narrow(sep), sizes.empty() ? std::string("\3") : groupingOf(sizes));
}

}  // namespace platform
