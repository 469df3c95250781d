// Dates as the format stores them: a double counting days since 1899-12-30,
// its fraction the time of day (with the date's sign for days before then).
#pragma once

#include <chrono>

namespace jet {

inline constexpr std::chrono::sys_days kDateEpoch{std::chrono::year{1899} / 12 / 30};

// The stored value of midnight at the start of a day.
constexpr double dateValue(std::chrono::year_month_day day) {
    return static_cast<double>((std::chrono::sys_days{day} - kDateEpoch).count());
}

}  // namespace jet
