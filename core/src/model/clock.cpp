#include "pelnorix/clock.hpp"

#include <time.h>

#include <cerrno>
#include <limits>
#include <string>

#include "pelnorix/fault.hpp"

namespace pelnorix {
namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
constexpr std::int64_t kSecondsPerDay = 86'400;

std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

// Days since 1970-01-01 to a proleptic Gregorian date. Counting from
// 0000-03-01 puts the leap day at the end of each year, and 400-year eras of
// 146097 days make the rest plain division. Exact for every day count that a
// second count of int64_t can produce (far from the overflow limits).
CivilDate civil_from_days(std::int64_t days) noexcept {
  const std::int64_t from_march_0000 = days + 719'468;
  const std::int64_t era = floor_div(from_march_0000, 146'097);
  const std::int64_t day_of_era = from_march_0000 - era * 146'097;  // 0 to 146096
  const std::int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36'524 - day_of_era / 146'096) / 365;
  const std::int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int64_t march_based_month = (5 * day_of_year + 2) / 153;  // 0 = March
  const auto day = static_cast<unsigned>(day_of_year - (153 * march_based_month + 2) / 5 + 1);
  const auto month =
      static_cast<unsigned>(march_based_month < 10 ? march_based_month + 3 : march_based_month - 9);
  const std::int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

// The same for the days of the next 2.7 million years, in 32-bit arithmetic
// with multiplications in place of most divisions (Neri and Schneider's
// Euclidean affine form of the algorithm above). Every clock reading of this
// era takes this way.
constexpr std::int64_t kFastDays = 1'000'000'000;

CivilDate civil_from_recent_days(std::uint32_t days) noexcept {
  const std::uint32_t n1 = 4 * (days + 719'468) + 3;
  const std::uint32_t century = n1 / 146'097;
  const std::uint32_t n2 = (n1 % 146'097) | 3;  // 4 * (day of century) + 3
  const std::uint64_t p2 = std::uint64_t{2'939'745} * n2;
  const auto year_of_century = static_cast<std::uint32_t>(p2 >> 32);
  const std::uint32_t day_of_year = static_cast<std::uint32_t>(p2) / 2'939'745 / 4;
  const std::uint32_t n3 = 2'141 * day_of_year + 197'913;
  const bool january_or_february = day_of_year >= 306;
  const std::uint32_t month = (n3 >> 16) - (january_or_february ? 12 : 0);
  const std::uint32_t day = (n3 & 0xFFFF) / 2'141 + 1;
  const std::int64_t year = 100 * std::int64_t{century} + year_of_century + january_or_february;
  return {year, month, day};
}

}  // namespace

CivilTime to_civil(const UtcTimestamp& t) noexcept {
  const std::int64_t days = floor_div(t.unix_seconds, kSecondsPerDay);
  const auto second_of_day = static_cast<unsigned>(t.unix_seconds - days * kSecondsPerDay);
  const CivilDate date = days >= 0 && days < kFastDays
                             ? civil_from_recent_days(static_cast<std::uint32_t>(days))
                             : civil_from_days(days);
  return CivilTime{
      date.year,          date.month, date.day, second_of_day / 3600, second_of_day / 60 % 60,
      second_of_day % 60, t.nanos};
}

UtcTimestamp timestamp_from_clock(std::int64_t seconds, std::int64_t nanos) {
  // A real clock never reports nanoseconds outside 0..999999999, but carrying
  // them keeps the stored invariant whatever the caller passes.
  if (nanos < 0 || nanos >= kNanosPerSecond) {
    const std::int64_t carry = floor_div(nanos, kNanosPerSecond);
    if ((carry > 0 && seconds > std::numeric_limits<std::int64_t>::max() - carry) ||
        (carry < 0 && seconds < std::numeric_limits<std::int64_t>::min() - carry)) {
      raise_fault("system time out of range: " + std::to_string(seconds) + " s");
    }
    seconds += carry;
    nanos -= carry * kNanosPerSecond;
  }
  if (seconds < 0) {
    raise_fault("system time before Unix epoch: clock reads " + std::to_string(seconds) +
                " s from 1970-01-01T00:00:00Z");
  }
  return UtcTimestamp{seconds, static_cast<std::uint32_t>(nanos)};
}

UtcTimestamp now_utc() {
  timespec reading{};
  if (::clock_gettime(CLOCK_REALTIME, &reading) != 0) {
    raise_fault("could not read the real-time clock: OS Error: " + std::to_string(errno));
  }
  return timestamp_from_clock(static_cast<std::int64_t>(reading.tv_sec),
                              static_cast<std::int64_t>(reading.tv_nsec));
}

SignedDuration difference(const UtcTimestamp& later, const UtcTimestamp& earlier) noexcept {
  // Both second counts are non-negative, so their difference cannot overflow.
  std::int64_t seconds = later.unix_seconds - earlier.unix_seconds;
  std::int64_t nanos =
      static_cast<std::int64_t>(later.nanos) - static_cast<std::int64_t>(earlier.nanos);
  if (nanos < 0) {
    nanos += kNanosPerSecond;
    --seconds;
  }
  return SignedDuration{seconds, static_cast<std::uint32_t>(nanos)};
}

std::int64_t whole_milliseconds(const SignedDuration& d) noexcept {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  const auto nanos = static_cast<std::int64_t>(d.nanos);
  if (d.seconds >= 0) {
    if (d.seconds > (kMax - 999) / 1000) return kMax;
    return d.seconds * 1000 + nanos / 1'000'000;
  }
  // seconds + nanos/1e9 is negative: it equals (seconds + 1) - (1e9 - nanos)/1e9
  // when there is a remainder, and truncating the second term truncates the
  // whole toward zero.
  const std::int64_t whole = nanos == 0 ? d.seconds : d.seconds + 1;
  const std::int64_t fraction_ms = nanos == 0 ? 0 : (kNanosPerSecond - nanos) / 1'000'000;
  if (whole < (kMin + 999) / 1000) return kMin;
  return whole * 1000 - fraction_ms;
}

}  // namespace pelnorix
