#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "pelnorix/optional_text.hpp"
#include "support.hpp"

// Counts allocations, and fails them on demand, to check what each operation
// costs and that a failed one leaves the text as it was.
namespace {
std::atomic<long> g_allocations{0};
std::atomic<bool> g_fail_allocations{false};
}  // namespace

void* operator new(std::size_t size) {
  if (g_fail_allocations) throw std::bad_alloc();
  ++g_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// GCC cannot see that the replaced operator new above allocates with malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
#pragma GCC diagnostic pop

namespace pelnorix {
namespace {

template <typename Operation>
long allocations_of(Operation&& operation) {
  const long before = g_allocations;
  std::forward<Operation>(operation)();
  return g_allocations - before;
}

TEST(OptionalText, AbsentCostsNothingAndAPresentTextOneBlock) {
  OptionalText absent;
  EXPECT_EQ(allocations_of([] { OptionalText none = std::nullopt; }), 0);
  EXPECT_FALSE(absent.has_value());
  EXPECT_EQ(absent.view(), "");
  EXPECT_THROW(static_cast<void>(absent.value()), std::bad_optional_access);

  const std::string long_text(5000, 'x');
  for (const std::string_view text :
       {std::string_view(""), std::string_view("a"), std::string_view("nul\0inside", 10),
        std::string_view(long_text)}) {
    SCOPED_TRACE(text.size());
    std::optional<OptionalText> made;
    EXPECT_EQ(allocations_of([&] { made.emplace(text); }), 1);
    OptionalText& present = *made;
    // An empty text is present, not absent.
    ASSERT_TRUE(present);
    EXPECT_NE(present, absent);
    EXPECT_EQ(*present, text);
    EXPECT_EQ(present.value(), text);
    EXPECT_EQ(present.view(), text);

    OptionalText copy;
    EXPECT_EQ(allocations_of([&] { copy = present; }), 1);
    EXPECT_EQ(copy, present);
    EXPECT_NE(copy.view().data(), present.view().data());

    OptionalText moved;
    EXPECT_EQ(allocations_of([&] { moved = std::move(present); }), 0);
    EXPECT_FALSE(present.has_value());  // NOLINT: a moved-from text is absent
    EXPECT_EQ(moved, copy);
    const OptionalText constructed(std::move(moved));
    EXPECT_FALSE(moved.has_value());  // NOLINT: a moved-from text is absent
    EXPECT_EQ(constructed, copy);
  }
}

TEST(OptionalText, AssignmentReplacesEvenFromItsOwnText) {
  OptionalText text = "first";
  text = std::string("second");
  EXPECT_EQ(text, "second");
  EXPECT_EQ(text.emplace(std::string_view("third")), "third");
  // A view of the text itself stays readable until the new block is made.
  text = text.view().substr(2);
  EXPECT_EQ(text, "ird");
  const OptionalText& same = text;
  text = same;
  EXPECT_EQ(text, "ird");
  OptionalText& alias = text;
  text = std::move(alias);
  EXPECT_EQ(text, "ird");
  text = std::nullopt;
  EXPECT_FALSE(text);
  text = "again";
  text.reset();
  EXPECT_FALSE(text);
}

TEST(OptionalText, FailedAllocationLeavesTheTextAsItWas) {
  const OptionalText other = "other";
  struct Case {
    const char* label;
    void (*operation)(OptionalText&, const OptionalText&);
  };
  for (const Case& c : {
           Case{"assign a view", [](OptionalText&t, const OptionalText&) { t = "new"; }},
           Case{"emplace", [](OptionalText&t, const OptionalText&) { t.emplace("new"); }},
           Case{"assign a copy", [](OptionalText&t, const OptionalText&o) { t = o; }},
           Case{"copy", [](OptionalText&, const OptionalText&o) { OptionalText copy(o); }},
       }) {
    SCOPED_TRACE(c.label);
    for (OptionalText text : {OptionalText(), OptionalText("kept")}) {
      const OptionalText before = text;
      g_fail_allocations = true;
      EXPECT_THROW(c.operation(text, other), std::bad_alloc);
      g_fail_allocations = false;
      EXPECT_EQ(text, before);
    }
  }
}

// The records' texts were std::optional<std::string>, and the reader gives
// std::optional<std::string_view>: both compare as they did, in either order.
TEST(OptionalText, ComparesAsTheOptionalTextsItReplaces) {
  struct Case {
    OptionalText text;
    std::optional<std::string_view> other;
    bool equal;
  };
  for (const Case& c : {Case{std::nullopt, std::nullopt, true}, Case{std::nullopt, "", false},
                        Case{"", std::nullopt, false}, Case{"", "", true}, Case{"a", "a", true},
                        Case{"a", "ab", false}, Case{"ab", "a", false}}) {
    SCOPED_TRACE(testing::PrintToString(c.text) + " vs " + testing::PrintToString(c.other));
    const std::optional<std::string> owned =
        c.other ? std::optional<std::string>(*c.other) : std::nullopt;
    const OptionalText other_text = c.other ? OptionalText(*c.other) : OptionalText();
    EXPECT_EQ(c.text == c.other, c.equal);
    EXPECT_EQ(c.other == c.text, c.equal);
    EXPECT_EQ(c.text == owned, c.equal);
    EXPECT_EQ(owned == c.text, c.equal);
    EXPECT_EQ(c.text == other_text, c.equal);
    EXPECT_EQ(c.text != other_text, !c.equal);
    EXPECT_EQ(c.text == std::nullopt, !c.text.has_value());
    if (c.other) {
      // Against a plain text, an absent one is never equal.
      EXPECT_EQ(c.text == *c.other, c.equal);
      EXPECT_EQ(*owned == c.text, c.equal);
      EXPECT_EQ(c.text == owned->c_str(), c.equal);
    }
  }
}

}  // namespace
}  // namespace pelnorix
