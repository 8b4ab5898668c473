#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <new>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "pelnorix/string_map.hpp"
#include "support.hpp"

// Counts allocations, to check that an empty map costs none.
namespace {
std::atomic<long> g_allocations{0};
}  // namespace

void* operator new(std::size_t size) {
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

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs walk(const StringMap& map) {
  Pairs pairs;
  for (const auto& entry : map)
    pairs.emplace_back(entry.key, entry.value);
  return pairs;
}

TEST(StringMap, EmptyMapAllocatesNothing) {
  StringMap warm;  // the thread's key source is drawn on first use
  const long before = g_allocations.load();
  StringMap map;
  StringMap copy = map;
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(map.find("x"), nullptr);
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
  ASSERT_NE(map.find("env"), nullptr);
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
    const std::string* found = map.find(key);
    ASSERT_NE(found, nullptr) << key;
    EXPECT_EQ(*found, value);
  }
  const Pairs pairs = walk(map);
  const std::map<std::string, std::string> walked(pairs.begin(), pairs.end());
  EXPECT_EQ(walked, reference);
  EXPECT_EQ(map.find("absent"), nullptr);
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
  StringMap before_fork;  // the thread's key source is drawn here
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
  EXPECT_EQ(map.find("a"), nullptr);
  map.insert_or_assign("b", "2");
  EXPECT_EQ(*map.find("b"), "2");
  StringMap target;
  target.insert_or_assign("old", "x");
  target = std::move(moved);
  EXPECT_EQ(walk(target), (Pairs{{"a", "1"}}));
  EXPECT_TRUE(moved.empty());  // NOLINT(bugprone-use-after-move)
}

}  // namespace
}  // namespace pelnorix
