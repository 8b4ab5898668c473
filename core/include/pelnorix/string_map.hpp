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
#include <vector>

namespace pelnorix {

class StringMap {
  struct Slot;

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

  // Copies keep the source's hash key and slot layout, so they walk in the
  // same order. A moved-from map is empty.
  StringMap(const StringMap&) = default;
  StringMap& operator=(const StringMap&) = default;
  StringMap(StringMap&& other) noexcept;
  StringMap& operator=(StringMap&& other) noexcept;
  ~StringMap() = default;

  // Inserts the pair, or replaces the value of a present key.
  void insert_or_assign(std::string key, std::string value);

  // The value stored under `key`, or nullptr.
  const std::string* find(std::string_view key) const noexcept;

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

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
    reference operator*() const noexcept { return slots_[index_].entry; }
    pointer operator->() const noexcept { return &slots_[index_].entry; }
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
    const_iterator(const StringMap::Slot* slots, std::size_t index, std::size_t count) noexcept;

    const StringMap::Slot* slots_ = nullptr;
    std::size_t index_ = 0;
    std::size_t count_ = 0;
  };

 private:
  struct Slot {
    std::uint64_t hash = 0;  // 0 marks an empty slot
    Entry entry;
  };

  std::uint64_t hash_of(std::string_view key) const noexcept;
  std::size_t probe_for(std::uint64_t hash, std::string_view key) const noexcept;
  void grow();

  // Key of the keyed hash, different for every map and unpredictable from
  // outside, so that no one can choose keys that collide.
  std::uint64_t seed_[2];
  std::vector<Slot> slots_;  // open addressing, linear probing, power-of-two capacity
  std::size_t size_ = 0;
};

}  // namespace pelnorix
