#include <time.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "pelnorix/clock.hpp"
#include "pelnorix/fault.hpp"

namespace pelnorix {
namespace {

struct CivilCase {
  std::int64_t unix_seconds;
  std::int64_t year;
  unsigned month, day, hour, minute, second;
};
void PrintTo(const CivilCase& c, std::ostream* os) {
  *os << c.unix_seconds;
}

class CivilDates : public testing::TestWithParam<CivilCase> {};

TEST_P(CivilDates, MatchTheCalendar) {
  const CivilCase& c = GetParam();
  const CivilTime t = to_civil(UtcTimestamp{c.unix_seconds, 123'456'789});
  EXPECT_EQ(t.year, c.year);
  EXPECT_EQ(t.month, c.month);
  EXPECT_EQ(t.day, c.day);
  EXPECT_EQ(t.hour, c.hour);
  EXPECT_EQ(t.minute, c.minute);
  EXPECT_EQ(t.second, c.second);
  EXPECT_EQ(t.nanos, 123'456'789u);
}

INSTANTIATE_TEST_SUITE_P(
    Clock, CivilDates,
    testing::Values(CivilCase{0, 1970, 1, 1, 0, 0, 0}, CivilCase{86'399, 1970, 1, 1, 23, 59, 59},
                    CivilCase{86'400, 1970, 1, 2, 0, 0, 0},
                    CivilCase{68'169'600, 1972, 2, 29, 0, 0, 0},   // first leap day
                    CivilCase{951'782'400, 2000, 2, 29, 0, 0, 0},  // divisible by 400
                    CivilCase{951'868'799, 2000, 2, 29, 23, 59, 59},
                    CivilCase{951'868'800, 2000, 3, 1, 0, 0, 0},
                    CivilCase{978'307'199, 2000, 12, 31, 23, 59, 59},
                    CivilCase{1'709'164'800, 2024, 2, 29, 0, 0, 0},
                    CivilCase{2'147'483'647, 2038, 1, 19, 3, 14, 7},
                    CivilCase{4'107'542'400, 2100, 3, 1, 0, 0, 0},  // 2100 is no leap year
                    CivilCase{4'102'444'800, 2100, 1, 1, 0, 0, 0},
                    CivilCase{253'402'300'799, 9999, 12, 31, 23, 59, 59},
                    CivilCase{253'402'300'800, 10000, 1, 1, 0, 0, 0},
                    CivilCase{std::numeric_limits<std::int64_t>::max(), 292'277'026'596, 12, 4, 15,
                              30, 7}));

// Walks day by day across several 400-year cycles and checks that the
// calendar advances one day at a time with the right month lengths.
TEST(CivilDates, AdvanceOneDayAtATimeAcrossCenturies) {
  auto days_in_month = [](std::int64_t year, unsigned month) -> unsigned {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
  };
  std::int64_t year = 1970;
  unsigned month = 1;
  unsigned day = 1;
  for (std::int64_t d = 0; d < 366 * 1000; ++d) {
    const CivilTime t = to_civil(UtcTimestamp{d * 86'400 + 43'200, 0});
    ASSERT_EQ(t.year, year);
    ASSERT_EQ(t.month, month);
    ASSERT_EQ(t.day, day);
    ASSERT_EQ(t.hour, 12u);
    if (++day > days_in_month(year, month)) {
      day = 1;
      if (++month > 12) {
        month = 1;
        ++year;
      }
    }
  }
}

TEST(ClockReading, BeforeTheEpochIsAFault) {
  testing::internal::CaptureStderr();
  try {
    timestamp_from_clock(-1, 999'999'999);
    ADD_FAILURE() << "no fault";
  } catch (const Fault& fault) {
    EXPECT_EQ(std::string(fault.what()).rfind("system time before Unix epoch", 0), 0u)
        << fault.what();
  }
  const std::string report = testing::internal::GetCapturedStderr();
  EXPECT_EQ(report.rfind("pelnorix: internal fault: system time before Unix epoch", 0), 0u);
  EXPECT_EQ(report.back(), '\n');
  EXPECT_EQ(report.find('\n'), report.size() - 1);
}

TEST(ClockReading, KeepsNanosecondsAsGiven) {
  EXPECT_EQ(timestamp_from_clock(0, 0), (UtcTimestamp{0, 0}));
  EXPECT_EQ(timestamp_from_clock(1'700'000'000, 999'999'999),
            (UtcTimestamp{1'700'000'000, 999'999'999}));
  // Out-of-range nanoseconds are carried rather than stored as given.
  EXPECT_EQ(timestamp_from_clock(5, 1'500'000'000), (UtcTimestamp{6, 500'000'000}));
  EXPECT_EQ(timestamp_from_clock(5, -1), (UtcTimestamp{4, 999'999'999}));
  testing::internal::CaptureStderr();
  EXPECT_THROW(timestamp_from_clock(0, -1), Fault);
  testing::internal::GetCapturedStderr();
}

TEST(ClockReading, NowIsTheWallClock) {
  timespec before{};
  ::clock_gettime(CLOCK_REALTIME, &before);
  const UtcTimestamp now = now_utc();
  timespec after{};
  ::clock_gettime(CLOCK_REALTIME, &after);
  EXPECT_GE(now.unix_seconds, before.tv_sec);
  EXPECT_LE(now.unix_seconds, after.tv_sec);
  EXPECT_LT(now.nanos, 1'000'000'000u);
}

struct DurationCase {
  UtcTimestamp later;
  UtcTimestamp earlier;
  SignedDuration difference;
  std::int64_t milliseconds;
};
void PrintTo(const DurationCase& c, std::ostream* os) {
  *os << c.later.unix_seconds << "." << c.later.nanos << " - " << c.earlier.unix_seconds << "."
      << c.earlier.nanos;
}

class Durations : public testing::TestWithParam<DurationCase> {};

TEST_P(Durations, TruncateTowardZero) {
  const DurationCase& c = GetParam();
  const SignedDuration d = difference(c.later, c.earlier);
  EXPECT_EQ(d, c.difference);
  EXPECT_EQ(whole_milliseconds(d), c.milliseconds);
}

INSTANTIATE_TEST_SUITE_P(
    Clock, Durations,
    testing::Values(DurationCase{{10, 0}, {10, 0}, {0, 0}, 0},
                    DurationCase{{11, 999'900'000}, {10, 0}, {1, 999'900'000}, 1999},  // 1.9999 s
                    DurationCase{{10, 400'000}, {10, 0}, {0, 400'000}, 0},             // 0.4 ms
                    DurationCase{{10, 2'500'000}, {10, 0}, {0, 2'500'000}, 2},         // 2.5 ms
                    DurationCase{{11, 100}, {10, 999'999'900}, {0, 200}, 0},  // across a second
                    DurationCase{{10, 0}, {10, 1'500'000}, {-1, 998'500'000}, -1},  // -1.5 ms
                    DurationCase{{10, 0}, {10, 400'000}, {-1, 999'600'000}, 0},     // -0.4 ms
                    DurationCase{{10, 0}, {12, 0}, {-2, 0}, -2000},
                    DurationCase{{10, 0}, {11, 500'000'000}, {-2, 500'000'000}, -1500},
                    DurationCase{{std::numeric_limits<std::int64_t>::max(), 0},
                                 {0, 0},
                                 {std::numeric_limits<std::int64_t>::max(), 0},
                                 std::numeric_limits<std::int64_t>::max()},
                    DurationCase{{0, 0},
                                 {std::numeric_limits<std::int64_t>::max(), 0},
                                 {-std::numeric_limits<std::int64_t>::max(), 0},
                                 std::numeric_limits<std::int64_t>::min()}));

}  // namespace
}  // namespace pelnorix
