// Helpers shared by the core's test programs.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>
#include <utility>

#include "pelnorix/clock.hpp"
#include "pelnorix/fault.hpp"
#include "pelnorix/json_writer.hpp"
#include "pelnorix/optional_text.hpp"

namespace pelnorix {

// Failure messages and parameter names show timestamps as seconds.nanos
// instead of raw bytes.
inline void PrintTo(const UtcTimestamp& t, std::ostream* os) {
  *os << t.unix_seconds << '.' << t.nanos;
}
inline void PrintTo(const JsonText& text, std::ostream* os) {
  *os << text.view();
}
inline void PrintTo(const OptionalText& text, std::ostream* os) {
  if (text) {
    *os << '"' << *text << '"';
  } else {
    *os << "(absent)";
  }
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
  return text.has_value() ? std::string(text->view()) : std::string();
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

// Forks. The child runs `child` and sends the bytes it returns to the parent,
// which meanwhile runs `parent`; returns what the child sent. The parent reads
// only after `parent`, so the child's bytes must fit in a pipe's buffer. A
// child that cannot send them all, or does not exit cleanly, fails the
// calling test.
template <typename Child, typename Parent>
std::string child_output(Child&& child, Parent&& parent) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) {
    ADD_FAILURE() << "pipe failed";
    return {};
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipe_fds[0]);
    const std::string sent = std::forward<Child>(child)();
    const bool whole =
        ::write(pipe_fds[1], sent.data(), sent.size()) == static_cast<ssize_t>(sent.size());
    ::_exit(whole ? 0 : 1);
  }
  ::close(pipe_fds[1]);
  std::string received;
  if (pid < 0) {
    ADD_FAILURE() << "fork failed";
  } else {
    std::forward<Parent>(parent)();
    char chunk[256];
    for (ssize_t got; (got = ::read(pipe_fds[0], chunk, sizeof chunk)) > 0;)
      received.append(chunk, static_cast<std::size_t>(got));
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  ::close(pipe_fds[0]);
  return received;
}

}  // namespace test
}  // namespace pelnorix
