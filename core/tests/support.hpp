// Helpers shared by the core's test programs.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>
#include <utility>

#include "pelnorix/clock.hpp"
#include "pelnorix/fault.hpp"
#include "pelnorix/json_writer.hpp"

namespace pelnorix {

// Failure messages and parameter names show timestamps as seconds.nanos
// instead of raw bytes.
inline void PrintTo(const UtcTimestamp& t, std::ostream* os) {
  *os << t.unix_seconds << '.' << t.nanos;
}

namespace test {

// Runs `ops` (JsonWriter& -> JsonStatus) on `writer` and returns the finished
// text; a refused operation or an incomplete text fails the calling test.
template <typename Ops>
std::string render(JsonWriter writer, Ops&& ops) {
  const JsonStatus status = std::forward<Ops>(ops)(writer);
  EXPECT_TRUE(status.ok()) << status.error().message;
  auto text = std::move(writer).take_text();
  EXPECT_TRUE(text.has_value()) << text.error().message;
  return text.has_value() ? *std::move(text) : std::string();
}

template <typename Ops>
std::string compact(Ops&& ops) {
  return render(JsonWriter::compact(), std::forward<Ops>(ops));
}

template <typename Ops>
std::string pretty(Ops&& ops) {
  return render(JsonWriter::pretty(), std::forward<Ops>(ops));
}

// What a fault raised by `action` said: its message, and the report it wrote
// to standard error. Both stay empty when nothing was raised.
struct RaisedFault {
  std::string message;
  std::string report;
};

template <typename Action>
RaisedFault fault_raised_by(Action&& action) {
  RaisedFault raised;
  testing::internal::CaptureStderr();
  try {
    std::forward<Action>(action)();
  } catch (const Fault& fault) {
    raised.message = fault.what();
  }
  raised.report = testing::internal::GetCapturedStderr();
  return raised;
}

}  // namespace test
}  // namespace pelnorix
