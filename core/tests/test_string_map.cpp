#include <malloc.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "pelnorix/string_map.hpp"
#include "support.hpp"

// Counts allocations and the bytes they hold, to check what a map costs, and
// can refuse the next one, to check what a failed allocation leaves.
namespace {
std::atomic<long> g_allocations{0};
std::atomic<long> g_live_bytes{0};
std::atomic<std::size_t> g_last_request{0};
std::atomic<bool> g_refuse_next{false};
}  // namespace

void* operator new(std::size_t size) {
  if (g_refuse_next.exchange(false)) throw std::bad_alloc();
  ++g_allocations;
  g_last_request = size;
  if (void* p = std::malloc(size == 0 ? 1 : size)) {
    g_live_bytes += static_cast<long>(malloc_usable_size(p));
    return p;
  }
  throw std::bad_alloc();
}
// GCC cannot see that the replaced operator new above allocates with malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
  if (p != nullptr) g_live_bytes -= static_cast<long>(malloc_usable_size(p));
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  operator delete(p);
}
#pragma GCC diagnostic pop

namespace pelnorix {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs walk(const StringMap& map) {
  Pairs pairs;
  for (const auto& entry : map)
    pairs.emplace_back(entry.key, entry.value);
  return pairs;
}

// `count` short tags, tag0 -> value0 and on.
StringMap tags(int count) {
  StringMap map;
  for (int i = 0; i < count; ++i)
    map.insert_or_assign("tag" + std::to_string(i), "value" + std::to_string(i));
  return map;
}

TEST(StringMap, EmptyMapAllocatesNothing) {
  StringMap warm = tags(1);  // the thread's key source is drawn on first use
  const long before = g_allocations.load();
  StringMap map;
  StringMap copy = map;
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(map.find("x"), std::nullopt);
  EXPECT_EQ(map.begin(), map.end());
  EXPECT_EQ(g_allocations.load(), before);
  map.insert_or_assign("k", "v");
  EXPECT_GT(g_allocations.load(), before);
}

TEST(StringMap, InsertingAPresentKeyReplacesItsValue) {
  StringMap map;
  map.insert_or_assign("env", "dev");
  map.insert_or_assign("region", "eu");
  map.insert_or_assign("env", "prod");
  EXPECT_EQ(map.size(), 2u);
  ASSERT_TRUE(map.find("env"));
  EXPECT_EQ(*map.find("env"), "prod");
  EXPECT_EQ(*map.find("region"), "eu");
  EXPECT_EQ(walk(map).size(), 2u);
}

TEST(StringMap, KeepsAnyBytesAndManyEntries) {
  // Checked against a reference map, through several growths, with keys that
  // share prefixes, contain NUL bytes, are empty, or are long.
  StringMap map;
  std::map<std::string, std::string> reference;
  std::mt19937 rng(5);
  for (int i = 0; i < 3000; ++i) {
    std::string key;
    switch (i % 4) {
      case 0:
        key = "key" + std::to_string(i % 1500);
        break;
      case 1:
        key = std::string("\0\xFF", 2) + std::to_string(rng() % 700);
        break;
      case 2:
        key = std::string(rng() % 40, static_cast<char>('a' + rng() % 3));
        break;
      default:
        key = std::string(300, 'z') + std::to_string(i);
    }
    const std::string value =
        std::string(static_cast<std::size_t>(i % 3), '\0') + std::to_string(i);
    map.insert_or_assign(key, value);
    reference[key] = value;
  }
  ASSERT_EQ(map.size(), reference.size());
  for (const auto& [key, value] : reference) {
    const auto found = map.find(key);
    ASSERT_TRUE(found) << key;
    EXPECT_EQ(*found, value);
  }
  const Pairs pairs = walk(map);
  const std::map<std::string, std::string> walked(pairs.begin(), pairs.end());
  EXPECT_EQ(walked, reference);
  EXPECT_EQ(map.find("absent"), std::nullopt);
}

TEST(StringMap, CopyWalksInTheSameOrderAndComparesEqual) {
  StringMap map;
  for (int i = 0; i < 50; ++i)
    map.insert_or_assign("tag" + std::to_string(i), std::to_string(i));
  const StringMap copy = map;
  EXPECT_EQ(walk(copy), walk(map));
  EXPECT_EQ(copy, map);
  StringMap assigned;
  assigned = map;
  EXPECT_EQ(walk(assigned), walk(map));
  // Inserting into the copy does not touch the source.
  StringMap changed = map;
  changed.insert_or_assign("tag0", "other");
  EXPECT_EQ(*map.find("tag0"), "0");
  EXPECT_NE(changed, map);
}

TEST(StringMap, EqualityIsContentEquality) {
  StringMap forward;
  StringMap backward;
  for (int i = 0; i < 20; ++i)
    forward.insert_or_assign(std::to_string(i), "v");
  for (int i = 19; i >= 0; --i)
    backward.insert_or_assign(std::to_string(i), "v");
  EXPECT_EQ(forward, backward);
  backward.insert_or_assign("7", "w");
  EXPECT_NE(forward, backward);
  StringMap shorter;
  EXPECT_NE(forward, shorter);
  EXPECT_EQ(StringMap(), StringMap());
}

TEST(StringMap, OrderDependsOnTheMapNotOnlyOnTheContent) {
  // Each map has its own hash key, so equal maps rarely walk alike.
  const auto fill = [] {
    StringMap map;
    for (int i = 0; i < 8; ++i)
      map.insert_or_assign("k" + std::to_string(i), "");
    return walk(map);
  };
  const Pairs first = fill();
  int differing = 0;
  for (int i = 0; i < 20; ++i)
    differing += fill() != first;
  EXPECT_GT(differing, 0);
}

// The order in which a fresh map of 16 one-byte keys walks them, as bytes.
std::string walk_order_of_a_fresh_map() {
  StringMap map;
  for (char key = 'a'; key < 'a' + 16; ++key)
    map.insert_or_assign(std::string(1, key), "");
  std::string order;
  for (const auto& entry : map)
    order += entry.key;
  return order;
}

TEST(StringMap, ForkedChildDoesNotDeriveItsParentsKeys) {
  StringMap before_fork;
  before_fork.insert_or_assign("k", "v");  // the thread's key source is drawn here
  constexpr int kMaps = 4;
  const auto orders_of_fresh_maps = [] {
    std::string orders;
    for (int i = 0; i < kMaps; ++i)
      orders += walk_order_of_a_fresh_map();
    return orders;
  };
  std::string parent_orders;
  const std::string child_orders =
      test::child_output(orders_of_fresh_maps, [&] { parent_orders = orders_of_fresh_maps(); });
  ASSERT_EQ(child_orders.size(), parent_orders.size());
  // With keys of their own, four maps in a row walking alike in both
  // processes is as good as impossible.
  EXPECT_NE(child_orders, parent_orders);
}

TEST(StringMap, MovedFromMapIsEmptyAndUsable) {
  StringMap map;
  map.insert_or_assign("a", "1");
  StringMap moved = std::move(map);
  EXPECT_EQ(moved.size(), 1u);
  EXPECT_TRUE(map.empty());  // NOLINT(bugprone-use-after-move): checking the moved-from state
  EXPECT_EQ(map.begin(), map.end());
  EXPECT_EQ(map.find("a"), std::nullopt);
  map.insert_or_assign("b", "2");
  EXPECT_EQ(*map.find("b"), "2");
  StringMap target;
  target.insert_or_assign("old", "x");
  target = std::move(moved);
  EXPECT_EQ(walk(target), (Pairs{{"a", "1"}}));
  EXPECT_TRUE(moved.empty());  // NOLINT(bugprone-use-after-move)
}

TEST(StringMap, FiveShortTagsTakeOneSmallBlock) {
  StringMap warm = tags(1);  // the thread's key source is drawn on first use
  const long before = g_allocations.load();
  const StringMap map = tags(5);
  EXPECT_EQ(g_allocations.load(), before + 1);
  EXPECT_LE(g_last_request.load(), 160u);
}

TEST(StringMap, FailedAllocationLeavesTheMapAsItWas) {
  struct Case {
    const char* name;
    int tags_before;
    std::string key;
    std::string value;
  };
  const Case cases[] = {
      {"the first insertion", 0, "k", "v"},
      {"a seventh key outgrowing the slots", 6, "tag6", "value6"},
      {"a long value outgrowing the texts", 1, "long", std::string(200, 'x')},
      {"a present key's longer value outgrowing the texts", 5, "tag0", std::string(200, 'x')},
  };
  StringMap warm = tags(1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StringMap map = tags(c.tags_before);
    const Pairs before = walk(map);
    g_refuse_next = true;
    EXPECT_THROW(map.insert_or_assign(c.key, c.value), std::bad_alloc);
    g_refuse_next = false;
    EXPECT_EQ(walk(map), before);
    EXPECT_EQ(map.size(), before.size());
    map.insert_or_assign(c.key, c.value);
    EXPECT_EQ(map.find(c.key), c.value);
  }
}

TEST(StringMap, ReplacedValuesReadBackAndTheirDeadTextsAreReclaimed) {
  // Values shorter, as long and longer than the one they replace, with one-
  // and two-byte lengths: replaced in place, appended, and regrown.
  const std::string values[] = {"",
                                "a",
                                "abc",
                                "ab",
                                std::string(127, 'x'),
                                std::string(128, 'y'),
                                std::string(5000, 'z'),
                                "short",
                                std::string(300, 'w')};
  const long before = g_live_bytes.load();
  StringMap map = tags(5);
  for (int round = 0; round < 3000; ++round) {
    const std::string& value = values[static_cast<std::size_t>(round) % std::size(values)];
    map.insert_or_assign("k", value);
    ASSERT_EQ(map.find("k"), value) << round;
  }
  // In place, from a part of itself.
  map.insert_or_assign("k", "0123456789");
  map.insert_or_assign("k", map.find("k")->substr(3));
  EXPECT_EQ(map.find("k"), "3456789");
  EXPECT_EQ(map.size(), 6u);
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(map.find("tag" + std::to_string(i)), "value" + std::to_string(i));
  // 3000 values appended and never reclaimed would hold megabytes.
  EXPECT_LT(g_live_bytes.load() - before, 16 * 1024);
}

TEST(StringMap, AgreesWithAReferenceWhenTextsAreViewsIntoTheMapItself) {
  // Keys and values taken from the map's own texts, whole or in part, while
  // it replaces in place, appends and regrows around them.
  StringMap map;
  std::map<std::string, std::string> reference;
  std::mt19937 rng(11);
  // A view of `fresh`, newly filled, or of one of the map's keys or values,
  // whole (present keys get replaced) or in part.
  const auto some_text = [&](const StringMap& from, std::string& fresh) -> std::string_view {
    const unsigned pick = from.empty() ? 0 : rng() % 4;
    if (pick == 0) {
      fresh = std::string(rng() % 200, static_cast<char>('a' + rng() % 26));
      return fresh;
    }
    auto it = from.begin();
    for (std::size_t skip = rng() % from.size(); skip > 0; --skip)
      ++it;
    if (pick == 1) return it->key;
    if (pick == 2) return it->value;
    const std::string_view text = rng() % 2 == 0 ? it->key : it->value;
    const std::size_t start = rng() % (text.size() + 1);
    return text.substr(start, rng() % (text.size() - start + 1));
  };
  std::string fresh_key;
  std::string fresh_value;
  for (int i = 0; i < 3000; ++i) {
    const std::string_view key = some_text(map, fresh_key);
    const std::string expected_key(key);
    const std::string_view value = some_text(map, fresh_value);
    const std::string expected_value(value);
    map.insert_or_assign(key, value);
    reference[expected_key] = expected_value;
    ASSERT_EQ(map.find(expected_key), expected_value) << i;
  }
  const Pairs pairs = walk(map);
  const std::map<std::string, std::string> walked(pairs.begin(), pairs.end());
  EXPECT_EQ(walked, reference);
}

TEST(StringMap, FindsEveryKeyThroughEverySlotWidth) {
  // Past 192 entries the slots take two bytes, past 49152 four.
  constexpr int kCount = 70'000;
  StringMap map;
  for (int i = 0; i < kCount; ++i)
    map.insert_or_assign(std::to_string(i), std::to_string(i * 7));
  ASSERT_EQ(map.size(), std::size_t{kCount});
  for (int i = 0; i < kCount; ++i)
    ASSERT_EQ(map.find(std::to_string(i)), std::to_string(i * 7)) << i;
  std::size_t walked = 0;
  for (const auto& entry : map)
    walked += entry.value == std::to_string(std::stoi(std::string(entry.key)) * 7);
  EXPECT_EQ(walked, std::size_t{kCount});
}

}  // namespace
}  // namespace pelnorix
