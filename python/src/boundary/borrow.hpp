// The borrow flag of every native object: 0 = free, n = n shared borrows,
// all ones = one exclusive borrow. Under the GIL a conflict can only come from
// re-entry (Python code run during a call that touches the same object); the
// atomics keep the rule intact even without the GIL.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <utility>

#include "boundary/error.hpp"

namespace pelnorix::python {

enum class BorrowKind { Shared, Exclusive };

class BorrowFlag {
 public:
  bool try_share() noexcept {
    std::uint64_t current = word_.load(std::memory_order_relaxed);
    do {
      if (current == kExclusive) return false;
    } while (!word_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                          std::memory_order_relaxed));
    return true;
  }
  void unshare() noexcept { word_.fetch_sub(1, std::memory_order_release); }

  bool try_exclusive() noexcept {
    std::uint64_t expected = 0;
    return word_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                         std::memory_order_relaxed);
  }
  void unexclusive() noexcept { word_.store(0, std::memory_order_release); }

 private:
  static constexpr std::uint64_t kExclusive = std::numeric_limits<std::uint64_t>::max();
  std::atomic<std::uint64_t> word_{0};
};

// Holds one borrow for the lifetime of the guard; every path releases it.
template <BorrowKind Kind>
class BorrowGuard {
 public:
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  BorrowGuard(BorrowGuard&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
  ~BorrowGuard() {
    if (flag_ == nullptr) return;
    if constexpr (Kind == BorrowKind::Shared) {
      flag_->unshare();
    } else {
      flag_->unexclusive();
    }
  }

  static Result<BorrowGuard> take(BorrowFlag& flag) {
    if constexpr (Kind == BorrowKind::Shared) {
      if (!flag.try_share()) return fail_with(PyExc_RuntimeError, "Already mutably borrowed");
    } else {
      if (!flag.try_exclusive()) return fail_with(PyExc_RuntimeError, "Already borrowed");
    }
    return BorrowGuard(&flag);
  }

 private:
  explicit BorrowGuard(BorrowFlag* flag) noexcept : flag_(flag) {}
  BorrowFlag* flag_;
};

}  // namespace pelnorix::python
