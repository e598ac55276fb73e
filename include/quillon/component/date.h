// Automation dates and the calendar: the one conversion every part of the
// toolkit uses (the runtime's coercions, the server's cookie and expiry
// dates, the Python host's datetime values).
//
// A DATE counts days from 30 December 1899 00:00. Before that day the
// integer part counts days backwards while the fraction still counts the
// time of day forwards: -1.25 is 29 December 1899, 06:00. A DATE holds the
// years 100 to 9999: from -657434.0 (1 January 100, 00:00) up to, but not
// including, 2958466.0 (1 January 10000); -657435.0 is 31 December 99 and
// out of range, as is every value at or beyond those two.
#ifndef QUILLON_COMPONENT_DATE_H_
#define QUILLON_COMPONENT_DATE_H_

#include <chrono>
#include <optional>

#include "quillon/component/types.h"

namespace quillon::com {

using DateTime = std::chrono::sys_time<std::chrono::microseconds>;

// The first value below the range, and the first above it.
inline constexpr DATE kDateBeforeRange = -657435.0;
inline constexpr DATE kDateAfterRange = 2958466.0;

// The time `date` stands for, as a clock time without a zone. The time of
// day is rounded to the finest decimal unit the double resolves at that
// distance from 1899 (a microsecond for present-day dates, 100 µs near the
// year 9999), so that a time stored from microseconds reads back exactly.
// nullopt for NaN, infinities and values outside the years 100 to 9999
// (after rounding: 31 December 9999 23:59:59.99999 may round into 10000).
QUILLON_RUNTIME_API std::optional<DateTime> DateToTime(DATE date);

// The DATE of `time`; nullopt outside the years 100 to 9999.
QUILLON_RUNTIME_API std::optional<DATE> TimeToDate(DateTime time);

}  // namespace quillon::com

#endif  // QUILLON_COMPONENT_DATE_H_
