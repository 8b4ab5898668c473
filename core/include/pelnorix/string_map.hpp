// The text-to-text map of span tags, action and finding metadata and event
// data. Keys are unique; inserting a present key replaces its value. The
// iteration order is deliberately unspecified (hashed with a per-map seed), but
// it does not change between two walks of an unchanged map, and a copy walks
// in the same order as its source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

namespace pelnorix {

class StringMap {
  struct Table;

 public:
  struct Entry {
    std::string key;
    std::string value;

    friend bool operator==(const Entry&, const Entry&) = default;
  };

  class const_iterator;

  // An empty map with a fresh hash seed. Allocates nothing until the first
  // insertion.
  StringMap();

  // Copies keep the source's hash seed and slot layout, so they walk in the
  // same order. A moved-from map is empty.
  StringMap(const StringMap& other);
  StringMap& operator=(const StringMap& other);
  StringMap(StringMap&& other) noexcept;
  StringMap& operator=(StringMap&& other) noexcept;
  ~StringMap();

  // Inserts the pair, or replaces the value of a present key.
  void insert_or_assign(std::string key, std::string value);

  // The value stored under `key`, or nullptr.
  const std::string* find(std::string_view key) const noexcept;

  std::size_t size() const noexcept;
  bool empty() const noexcept { return size() == 0; }

  const_iterator begin() const noexcept;
  const_iterator end() const noexcept;

  // Same content, whatever the order.
  friend bool operator==(const StringMap& a, const StringMap& b);

  class const_iterator {
   public:
    using value_type = Entry;
    using reference = const Entry&;
    using pointer = const Entry*;
    using difference_type = std::ptrdiff_t;
    using iterator_category = std::forward_iterator_tag;

    const_iterator() = default;
    reference operator*() const noexcept;
    pointer operator->() const noexcept { return &**this; }
    const_iterator& operator++() noexcept;
    const_iterator operator++(int) noexcept {
      const_iterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) noexcept {
      return a.index_ == b.index_;
    }

   private:
    friend class StringMap;
    const_iterator(const StringMap::Table* table, std::size_t index) noexcept;

    const StringMap::Table* table_ = nullptr;
    std::size_t index_ = 0;
  };

 private:
  std::uint64_t hash_of(std::string_view key) const noexcept;
  void grow();

  // Key of the keyed hash, different for every map and unpredictable from
  // outside, so that no one can choose keys that collide.
  std::uint64_t seed_;
  // Null while the map is empty. One block: the probe slots (open addressing,
  // linear probing, a power-of-two count), then the entries, densely, in the
  // order of insertion. The walk follows the slots, so the order is the
  // hashes' and not the insertions'.
  Table* table_ = nullptr;
};

}  // namespace pelnorix
