#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "pelnorix/detail/os_random.hpp"
#include "pelnorix/fault.hpp"
#include "pelnorix/random_source.hpp"
#include "support.hpp"

namespace pelnorix {
namespace {

using Block = std::array<std::uint8_t, 16>;

Block draw_block() {
  Block block{};
  fill_os_random(block);
  return block;
}

struct CauseCase {
  ssize_t result;
  int err;
  const char* cause;
};
void PrintTo(const CauseCase& c, std::ostream* os) {
  *os << c.result << " errno " << c.err;
}

class FailureCause : public testing::TestWithParam<CauseCase> {};

TEST_P(FailureCause, NamesTheCause) {
  EXPECT_EQ(detail::random_failure_cause(GetParam().result, GetParam().err, 16), GetParam().cause);
}

INSTANTIATE_TEST_SUITE_P(
    RandomSource, FailureCause,
    testing::Values(CauseCase{-1, EIO, "OS Error: 5"}, CauseCase{-1, EFAULT, "OS Error: 14"},
                    CauseCase{-1, 0, "errno: did not return a positive value"},
                    CauseCase{-1, -3, "errno: did not return a positive value"},
                    CauseCase{0, 0, "unexpected situation"},
                    CauseCase{17, 0, "unexpected situation"}));

test::RaisedFault fault_from_reading(int fd) {
  std::array<std::uint8_t, 8> out{};
  return test::fault_raised_by([&] { detail::read_fully_from_fd(fd, out); });
}

TEST(RandomSourceFailure, FailedReadsAreFaultsNamingTheCause) {
  const int empty = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(empty, 0);
  const auto at_end = fault_from_reading(empty);
  ::close(empty);
  EXPECT_EQ(at_end.message, "could not retrieve random bytes for uuid: unexpected situation");
  EXPECT_EQ(at_end.report,
            "pelnorix: internal fault: could not retrieve random bytes for uuid: unexpected "
            "situation\n");

  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  ::close(pipe_fds[0]);
  // Reading from the write end of a pipe fails with EBADF.
  EXPECT_EQ(fault_from_reading(pipe_fds[1]).message,
            "could not retrieve random bytes for uuid: OS Error: " + std::to_string(EBADF));
  ::close(pipe_fds[1]);
}

TEST(RandomSourceFailure, ShortReadsAreContinued) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  std::thread writer([&] {
    for (std::uint8_t i = 0; i < 8; ++i) {
      ASSERT_EQ(::write(pipe_fds[1], &i, 1), 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::array<std::uint8_t, 8> out{};
  detail::read_fully_from_fd(pipe_fds[0], out);
  writer.join();
  EXPECT_EQ(out, (std::array<std::uint8_t, 8>{0, 1, 2, 3, 4, 5, 6, 7}));
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
}

TEST(RandomSource, UsesGetrandomWhereAvailable) {
  EXPECT_EQ(detail::random_backend(), detail::RandomBackend::GetRandom);
}

// Makes every getrandom call of this process fail with `err`, as a sandbox
// or an old kernel would. Returns false where seccomp is unavailable.
bool fail_getrandom_with(int err) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
      BPF_STMT(BPF_RET | BPF_K,
               SECCOMP_RET_ERRNO | (static_cast<unsigned>(err) & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
}

bool seccomp_available() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(fail_getrandom_with(EPERM) ? 0 : 1);
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The choice of source is made once per process, so each case runs in a
// freshly started copy of this program (the "threadsafe" death-test style).
class UnusableGetrandom : public testing::TestWithParam<int> {};

TEST_P(UnusableGetrandom, FallsBackToTheDevice) {
  if (!seccomp_available()) GTEST_SKIP() << "seccomp filters are not permitted here";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        if (!fail_getrandom_with(GetParam())) ::_exit(3);
        std::set<Block> blocks;
        for (int i = 0; i < 1000; ++i)
          blocks.insert(draw_block());
        const bool fell_back = detail::random_backend() == detail::RandomBackend::DevURandom;
        ::_exit(fell_back && blocks.size() == 1000 ? 0 : 4);
      },
      testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(RandomSource, UnusableGetrandom, testing::Values(ENOSYS, EPERM));

TEST(RandomSourceFailure, OtherGetrandomErrorsAreReported) {
  if (!seccomp_available()) GTEST_SKIP() << "seccomp filters are not permitted here";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        if (!fail_getrandom_with(EIO)) ::_exit(3);
        try {
          draw_block();
        } catch (const Fault& fault) {
          const bool exact =
              std::string(fault.what()) == "could not retrieve random bytes for uuid: OS Error: 5";
          ::_exit(exact && detail::random_backend() == detail::RandomBackend::GetRandom ? 0 : 4);
        }
        ::_exit(5);
      },
      testing::ExitedWithCode(0),
      "pelnorix: internal fault: could not retrieve random bytes for uuid: OS Error: 5");
}

TEST(RandomSource, FillsRequestsOfEverySize) {
  // Sizes around the buffered limit and the page size, each split across
  // refills; all-zero output of 32 bytes or more would mean nothing was written.
  for (const std::size_t size :
       {1u, 15u, 16u, 32u, 255u, 256u, 257u, 4087u, 4088u, 4089u, 10000u}) {
    std::vector<std::uint8_t> out(size, 0);
    fill_os_random(out);
    if (size >= 32) {
      EXPECT_NE(std::count(out.begin(), out.end(), 0), static_cast<std::ptrdiff_t>(size)) << size;
    }
  }
  fill_os_random({});
}

TEST(RandomSource, NoBlockIsHandedOutTwiceAcrossThreads) {
  constexpr int kThreads = 8;
  constexpr int kBlocksPerThread = 20000;  // several page refills per thread
  std::vector<std::vector<Block>> drawn(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&drawn, t] {
      drawn[static_cast<std::size_t>(t)].reserve(kBlocksPerThread);
      for (int i = 0; i < kBlocksPerThread; ++i) {
        // Odd sizes shift the block boundaries against the buffer's.
        if (i % 97 == 0) {
          std::array<std::uint8_t, 5> odd{};
          fill_os_random(odd);
        }
        drawn[static_cast<std::size_t>(t)].push_back(draw_block());
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  std::set<Block> seen;
  for (const auto& blocks : drawn) {
    for (const Block& block : blocks)
      ASSERT_TRUE(seen.insert(block).second);
  }
}

void expect_child_does_not_repeat_parent(int blocks_before_fork) {
  for (int i = 0; i < blocks_before_fork; ++i)
    draw_block();  // parent's buffer is now part-used
  constexpr int kBlocks = 64;
  std::set<Block> parent_blocks;
  const std::string from_child = test::child_output(
      [] {
        std::string blocks;
        for (int i = 0; i < kBlocks; ++i) {
          const Block block = draw_block();
          blocks.append(block.begin(), block.end());
        }
        return blocks;
      },
      [&] {
        for (int i = 0; i < kBlocks; ++i)
          parent_blocks.insert(draw_block());
      });
  ASSERT_EQ(from_child.size(), kBlocks * sizeof(Block));
  for (std::size_t at = 0; at < from_child.size(); at += sizeof(Block)) {
    Block block{};
    std::memcpy(block.data(), from_child.data() + at, block.size());
    EXPECT_EQ(parent_blocks.count(block), 0u) << "child repeated a block of its parent";
  }
}

TEST(RandomSource, ForkedChildDoesNotRepeatItsParent) {
  expect_child_does_not_repeat_parent(1);
  expect_child_does_not_repeat_parent(100);
}

TEST(RandomSource, ForkFromAnotherThreadDoesNotRepeat) {
  // The forking thread's own buffer is the one that survives in the child.
  std::thread forker([] { expect_child_does_not_repeat_parent(3); });
  forker.join();
}

}  // namespace
}  // namespace pelnorix
