// UTC timestamps read from the real-time (wall) clock.
#pragma once

#include <cstdint>

namespace pelnorix {

// An instant in UTC with the nanoseconds kept exactly as the clock gave them.
struct UtcTimestamp {
  std::int64_t unix_seconds = 0;  // seconds since 1970-01-01T00:00:00Z, never negative
  std::uint32_t nanos = 0;        // 0 to 999'999'999

  friend bool operator==(const UtcTimestamp&, const UtcTimestamp&) = default;
};

// The civil (proleptic Gregorian) form of a timestamp, for printing.
struct CivilTime {
  std::int64_t year;
  unsigned month;   // 1 to 12
  unsigned day;     // 1 to 31
  unsigned hour;    // 0 to 23
  unsigned minute;  // 0 to 59
  unsigned second;  // 0 to 59
  std::uint32_t nanos;
};
CivilTime to_civil(const UtcTimestamp& t) noexcept;

// Reads CLOCK_REALTIME. Throws Fault "system time before Unix epoch..." when
// the clock reads a time before 1970.
UtcTimestamp now_utc();

// Builds a timestamp from a raw clock reading; the same epoch check as now_utc.
UtcTimestamp timestamp_from_clock(std::int64_t seconds, std::int64_t nanos);

// A signed duration: whole seconds (carrying the sign) plus a nanosecond
// remainder in 0 to 999'999'999. -1.5 ms is {-1, 998'500'000}.
struct SignedDuration {
  std::int64_t seconds = 0;
  std::uint32_t nanos = 0;

  friend bool operator==(const SignedDuration&, const SignedDuration&) = default;
};

// later - earlier
SignedDuration difference(const UtcTimestamp& later, const UtcTimestamp& earlier) noexcept;

// Whole milliseconds, truncated toward zero (1.9999 s -> 1999, -0.4 ms -> 0).
std::int64_t whole_milliseconds(const SignedDuration& d) noexcept;

}  // namespace pelnorix
