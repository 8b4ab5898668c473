// The text-to-text map of span tags, action and finding metadata and event
// data. Keys are unique; inserting a present key replaces its value. The
// iteration order is deliberately unspecified (hashed with a per-map seed), but
// it does not change between two walks of an unchanged map, and a copy walks
// in the same order as its source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>

namespace pelnorix {

class StringMap {
  struct Table;

 public:
  // One pair, as the walk yields it: views into the map, valid until the map
  // is next changed or destroyed.
  struct Entry {
    std::string_view key;
    std::string_view value;

    friend bool operator==(const Entry&, const Entry&) = default;
  };

  class const_iterator;

  // An empty map. Allocates nothing, and draws its hash seed only with the
  // first insertion: most action and event maps stay empty.
  StringMap() noexcept = default;

  // Copies keep the source's hash seed and slot layout, so they walk in the
  // same order. A moved-from map is empty.
  StringMap(const StringMap& other);
  StringMap& operator=(const StringMap& other);
  StringMap(StringMap&& other) noexcept;
  StringMap& operator=(StringMap&& other) noexcept;
  ~StringMap();

  // Inserts the pair, or replaces the value of a present key. The texts are
  // copied into the map, and may be views into it. Throws std::bad_alloc
  // (leaving the map as it was) when memory runs out or the map's texts would
  // pass 4 GiB.
  void insert_or_assign(std::string_view key, std::string_view value);

  // The value stored under `key`, valid until the map is next changed.
  std::optional<std::string_view> find(std::string_view key) const noexcept;

  std::size_t size() const noexcept;
  bool empty() const noexcept { return table_ == nullptr; }

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
    // The entry lives in the iterator, made from the packed texts as it
    // steps: a forward range, not a legacy forward iterator.
    using iterator_category = std::input_iterator_tag;
    using iterator_concept = std::forward_iterator_tag;

    const_iterator() = default;
    reference operator*() const noexcept { return entry_; }
    pointer operator->() const noexcept { return &entry_; }
    const_iterator& operator++() noexcept {
      step(index_ + 1);
      return *this;
    }
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
    // Every walk ends at the same index, so that end() needs no table.
    static constexpr std::uint32_t kEnd = UINT32_MAX;

    explicit const_iterator(const StringMap::Table& table) noexcept;
    // To the first taken slot from `index` on, or to the end.
    void step(std::uint32_t index) noexcept;

    // The walked table's layout, worked out once by begin().
    const unsigned char* slots_ = nullptr;
    const void* entries_ = nullptr;
    const char* text_ = nullptr;
    std::uint32_t slot_count_ = 0;
    std::uint32_t index_ = kEnd;
    std::uint8_t slot_width_shift_ = 0;
    Entry entry_;
  };

 private:
  const_iterator walk() const noexcept;
  void insert_first(std::string_view key, std::string_view value);

  // Null while the map is empty, so an empty map costs one word. Otherwise
  // one block holding the seed, the probe slots and the packed texts: see
  // string_map.cpp.
  Table* table_ = nullptr;
};

// Inline, so that walking an empty map, as most action and event maps are,
// costs nothing.
inline StringMap::const_iterator StringMap::begin() const noexcept {
  return table_ == nullptr ? end() : walk();
}

inline StringMap::const_iterator StringMap::end() const noexcept {
  return {};
}

}  // namespace pelnorix
