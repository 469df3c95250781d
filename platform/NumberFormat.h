// Number formatting with the pattern "#,##0": the whole number, digits
// grouped as the user's locale groups them, at least one digit.
#pragma once

#include <string>

namespace platform {

class NumberFormat {
  public:
    virtual ~NumberFormat() = default;
    // value is a number or a text of decimal digits.
    virtual std::string format(const std::string& value, const std::string& pattern) = 0;
};

// Groups by the numeric conventions of a locale ("" for the user's, from
// the environment). An unknown locale name falls back to the user's.
class LocaleNumberFormat : public NumberFormat {
  public:
    explicit LocaleNumberFormat(std::string localeName = "") : localeName_(std::move(localeName)) {}
    std::string format(const std::string& value, const std::string& pattern) override;

  private:
    std::string localeName_;
};

// Groups a whole number with a separator every `grouping` digits (the
// locale's rules reduced to one group size, as Western locales use).
std::string groupDigits(long double value, const std::string& separator,
                        const std::string& grouping);

}  // namespace platform
