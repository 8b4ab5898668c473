#include <time.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "pelnorix/clock.hpp"
#include "support.hpp"

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

// Time of day, the far years and the int64 limit; the day-by-day walk below
// covers month lengths and leap years.
INSTANTIATE_TEST_SUITE_P(Clock, CivilDates,
                         testing::Values(CivilCase{0, 1970, 1, 1, 0, 0, 0},
                                         CivilCase{86'399, 1970, 1, 1, 23, 59, 59},
                                         CivilCase{951'868'799, 2000, 2, 29, 23, 59, 59},
                                         CivilCase{2'147'483'647, 2038, 1, 19, 3, 14, 7},
                                         CivilCase{253'402'300'799, 9999, 12, 31, 23, 59, 59},
                                         CivilCase{253'402'300'800, 10000, 1, 1, 0, 0, 0},
                                         CivilCase{std::numeric_limits<std::int64_t>::max(),
                                                   292'277'026'596, 12, 4, 15, 30, 7}));

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

// Days up to about the year 2.7 million take a 32-bit way, later ones the
// general one: where they meet, the calendar still advances by one day.
TEST(CivilDates, AdvanceOneDayAtATimeWhereTheFastWayEnds) {
  constexpr std::int64_t kMeeting = 1'000'000'000;
  CivilTime previous = to_civil(UtcTimestamp{(kMeeting - 1000) * 86'400, 0});
  for (std::int64_t d = kMeeting - 999; d < kMeeting + 1000; ++d) {
    const CivilTime t = to_civil(UtcTimestamp{d * 86'400, 0});
    const bool next_day =
        t.year == previous.year && t.month == previous.month && t.day == previous.day + 1;
    const bool next_month = t.year == previous.year && t.month == previous.month + 1 && t.day == 1;
    const bool next_year = t.year == previous.year + 1 && t.month == 1 && t.day == 1 &&
                           previous.month == 12 && previous.day == 31;
    ASSERT_TRUE(next_day || next_month || next_year) << "day " << d;
    previous = t;
  }
}

TEST(ClockReading, CarriesOutOfRangeNanoseconds) {
  const std::pair<std::pair<std::int64_t, std::int64_t>, UtcTimestamp> cases[] = {
      {{0, 0}, {0, 0}},
      {{1'700'000'000, 999'999'999}, {1'700'000'000, 999'999'999}},
      {{5, 1'500'000'000}, {6, 500'000'000}},
      {{5, -1}, {4, 999'999'999}},
  };
  for (const auto& [reading, expected] : cases)
    EXPECT_EQ(timestamp_from_clock(reading.first, reading.second), expected);
}

TEST(ClockReading, BeforeTheEpochIsAFaultWithAOneLineReport) {
  // A negative nanosecond count at the epoch borrows a second, so it is before 1970 too.
  for (const auto& [seconds, nanos] : {std::pair<std::int64_t, std::int64_t>{-1, 999'999'999},
                                       std::pair<std::int64_t, std::int64_t>{0, -1}}) {
    SCOPED_TRACE(std::to_string(seconds) + " s " + std::to_string(nanos) + " ns");
    const auto raised = test::fault_raised_by([&] { timestamp_from_clock(seconds, nanos); });
    EXPECT_EQ(raised.message.rfind("system time before Unix epoch", 0), 0u) << raised.message;
    EXPECT_EQ(raised.report.rfind("pelnorix: internal fault: system time before Unix epoch", 0),
              0u);
    EXPECT_EQ(raised.report.find('\n'), raised.report.size() - 1) << raised.report;
  }
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

}  // namespace
}  // namespace pelnorix
