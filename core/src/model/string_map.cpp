#include "pelnorix/string_map.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "keyed_hash.hpp"
#include "map_seed.hpp"
#include "packed_pair.hpp"

namespace pelnorix {
namespace {

// A map's first block: 8 slots and room for 6 entries and 80 bytes of texts,
// 160 bytes in all, which holds the usual handful of short tags without
// regrowing.
constexpr std::uint8_t kInitialSlotShift = 3;
constexpr std::uint32_t kInitialTextBytes = 80;
// Entry numbers must fit the slots' 32 bits; far beyond any real map.
constexpr std::uint8_t kMaxSlotShift = 31;

constexpr std::uint32_t kTextLimit = std::numeric_limits<std::uint32_t>::max();

template <typename Slot>
std::uint32_t read_slot(const unsigned char* slots, std::uint32_t at) noexcept {
  Slot taken;
  std::memcpy(&taken, slots + sizeof(Slot) * at, sizeof(Slot));
  return taken;
}

}  // namespace

// The block behind a non-empty map, one allocation:
//
//   this header
//   slot_count probe slots (open addressing, linear probing), each 0 when
//     free and otherwise 1 + the number of its entry; 1 byte wide while the
//     entry numbers fit, then 2, then 4
//   room for three entries per four slots, the first `size` in use, in the
//     order of insertion
//   text_capacity bytes of packed pairs (packed_pair.hpp), the first
//     `text_used` written
//
// A replaced value takes its old one's place when it is no longer; otherwise
// the pair is packed anew at the end of the texts and its old one is left
// dead. Regrowing copies only the live pairs. The walk follows the slots,
// so the order is the hashes' and not the insertions'.
struct StringMap::Table {
  std::uint64_t seed;
  std::uint32_t size;
  std::uint32_t text_used;
  std::uint32_t text_capacity;
  std::uint8_t slot_shift;
  // log2 of the slot width, stored so that the hot paths need not work it out.
  std::uint8_t slot_width_shift;

  // Enough of the hash to place the entry in any table a map can have, and
  // to tell most unequal keys apart without reading them.
  struct Stored {
    std::uint32_t hash;
    std::uint32_t offset;  // of its pair in the texts
  };

  static constexpr std::uint32_t capacity_for(std::uint8_t slot_shift) noexcept {
    return (std::uint32_t{1} << slot_shift) / 4 * 3;
  }
  // Slots are 1, 2 or 4 bytes wide: the narrowest that holds every entry number.
  static constexpr std::uint8_t slot_width_shift_for(std::uint8_t slot_shift) noexcept {
    const std::uint32_t largest = capacity_for(slot_shift);
    return largest <= 0xFF ? 0 : largest <= 0xFFFF ? 1 : 2;
  }
  static constexpr std::size_t bytes_for(std::uint8_t slot_shift, std::uint32_t text) noexcept {
    return sizeof(Table) + (std::size_t{1} << (slot_shift + slot_width_shift_for(slot_shift))) +
           std::size_t{capacity_for(slot_shift)} * sizeof(Stored) + text;
  }

  std::uint32_t slot_count() const noexcept { return std::uint32_t{1} << slot_shift; }
  std::uint32_t capacity() const noexcept { return capacity_for(slot_shift); }
  std::size_t slot_bytes_size() const noexcept {
    return std::size_t{1} << (slot_shift + slot_width_shift);
  }

  unsigned char* slot_bytes() noexcept { return reinterpret_cast<unsigned char*>(this + 1); }
  const unsigned char* slot_bytes() const noexcept {
    return reinterpret_cast<const unsigned char*>(this + 1);
  }
  // Slot bytes come in multiples of 8, so the entries after them are aligned.
  Stored* entries() noexcept { return reinterpret_cast<Stored*>(slot_bytes() + slot_bytes_size()); }
  const Stored* entries() const noexcept {
    return reinterpret_cast<const Stored*>(slot_bytes() + slot_bytes_size());
  }
  char* text() noexcept { return reinterpret_cast<char*>(entries() + capacity()); }
  const char* text() const noexcept {
    return reinterpret_cast<const char*>(entries() + capacity());
  }

  std::uint32_t slot(std::uint32_t at) const noexcept {
    switch (slot_width_shift) {
      case 0:
        return read_slot<std::uint8_t>(slot_bytes(), at);
      case 1:
        return read_slot<std::uint16_t>(slot_bytes(), at);
      default:
        return read_slot<std::uint32_t>(slot_bytes(), at);
    }
  }

  void set_slot(std::uint32_t at, std::uint32_t taken) noexcept {
    unsigned char* p = slot_bytes();
    switch (slot_width_shift) {
      case 0:
        p[at] = static_cast<unsigned char>(taken);
        break;
      case 1: {
        const auto narrow = static_cast<std::uint16_t>(taken);
        std::memcpy(p + 2 * std::size_t{at}, &narrow, sizeof(narrow));
        break;
      }
      default:
        std::memcpy(p + 4 * std::size_t{at}, &taken, sizeof(taken));
    }
  }

  detail::PackedPair pair(std::uint32_t entry) const noexcept {
    return detail::read_packed_pair(text() + entries()[entry].offset);
  }

  // A table with every slot free and no entries.
  static Table* allocate(std::uint64_t seed, std::uint8_t slot_shift, std::uint32_t text) {
    void* memory = ::operator new(bytes_for(slot_shift, text));
    auto* table =
        new (memory) Table{seed, 0, 0, text, slot_shift, slot_width_shift_for(slot_shift)};
    std::memset(table->slot_bytes(), 0, table->slot_bytes_size());
    return table;
  }

  // Everything in the block is trivially destructible.
  static void release(Table* table) noexcept { ::operator delete(table); }

  struct Probed {
    std::uint32_t at;     // the slot
    std::uint32_t taken;  // its content: 0 when `key` is absent
  };

  // The slot holding `key`, or the free slot where it would go. Three
  // entries per four slots leave a free slot, so the walk ends.
  Probed probe(std::uint32_t hash, std::string_view key) const noexcept {
    const std::uint32_t mask = slot_count() - 1;
    std::uint32_t at = hash & mask;
    for (;;) {
      const std::uint32_t taken = slot(at);
      if (taken == 0) return {at, 0};
      const Stored& candidate = entries()[taken - 1];
      if (candidate.hash == hash && detail::read_packed_key(text() + candidate.offset) == key) {
        return {at, taken};
      }
      at = (at + 1) & mask;
    }
  }

  // Packs the pair at the end of the texts, which must have room for it, and
  // returns its offset.
  std::uint32_t append(std::string_view key, std::string_view value) noexcept {
    const std::uint32_t offset = text_used;
    text_used += static_cast<std::uint32_t>(detail::write_packed_pair(text() + offset, key, value) -
                                            (text() + offset));
    return offset;
  }

  // Puts entry `entry` in the first free slot from its hash's. Keys are
  // unique, so no key is compared: for a new key, or when regrowing.
  void place(std::uint32_t entry, std::uint32_t hash) noexcept {
    const std::uint32_t mask = slot_count() - 1;
    std::uint32_t at = hash & mask;
    while (slot(at) != 0)
      at = (at + 1) & mask;
    set_slot(at, entry + 1);
  }

  // A copy of this table with 2^`new_shift` slots, the live pairs only and
  // room for `extra` more bytes of texts. The pair of `replaced` (an entry
  // number, or `size` for none) is left out, for the caller to pack anew.
  // Throws std::bad_alloc, leaving this table as it was.
  Table* regrown(std::uint8_t new_shift, std::uint64_t extra, std::uint32_t replaced) const {
    std::uint64_t live = extra;
    for (std::uint32_t i = 0; i < size; ++i) {
      if (i != replaced) live += pair(i).packed_size;
    }
    if (live > kTextLimit || new_shift > kMaxSlotShift) throw std::bad_alloc();
    // Half again the live texts: room to append without regrowing at once,
    // so each byte is copied a bounded number of times on average.
    const std::uint64_t wanted = std::max<std::uint64_t>(text_capacity, live + live / 2);
    Table* grown = allocate(
        seed, new_shift, static_cast<std::uint32_t>(std::min<std::uint64_t>(wanted, kTextLimit)));
    for (std::uint32_t i = 0; i < size; ++i) {
      const Stored& from = entries()[i];
      std::uint32_t offset = 0;
      if (i != replaced) {
        offset = grown->text_used;
        const std::uint32_t bytes = pair(i).packed_size;
        std::memcpy(grown->text() + offset, text() + from.offset, bytes);
        grown->text_used += bytes;
      }
      grown->entries()[i] = Stored{from.hash, offset};
      grown->place(i, from.hash);
    }
    grown->size = size;
    return grown;
  }
};

StringMap::StringMap(const StringMap& other) {
  const Table* source = other.table_;
  if (source == nullptr) return;
  // The same seed and slot contents, so the copy walks like its source.
  Table* copy = Table::allocate(source->seed, source->slot_shift, source->text_capacity);
  copy->size = source->size;
  copy->text_used = source->text_used;
  std::memcpy(copy->slot_bytes(), source->slot_bytes(), source->slot_bytes_size());
  std::memcpy(copy->entries(), source->entries(), source->size * sizeof(Table::Stored));
  std::memcpy(copy->text(), source->text(), source->text_used);
  table_ = copy;
}

StringMap& StringMap::operator=(const StringMap& other) {
  if (this != &other) *this = StringMap(other);
  return *this;
}

StringMap::StringMap(StringMap&& other) noexcept : table_(std::exchange(other.table_, nullptr)) {}

StringMap& StringMap::operator=(StringMap&& other) noexcept {
  if (this != &other) {
    Table::release(table_);
    table_ = std::exchange(other.table_, nullptr);
  }
  return *this;
}

StringMap::~StringMap() {
  Table::release(table_);
}

std::size_t StringMap::size() const noexcept {
  return table_ == nullptr ? 0 : table_->size;
}

void StringMap::insert_first(std::string_view key, std::string_view value) {
  const std::uint64_t size = detail::packed_pair_size(key, value);
  if (size > kTextLimit) throw std::bad_alloc();
  const std::uint64_t seed = detail::next_map_seed();
  Table* table = Table::allocate(seed, kInitialSlotShift,
                                 std::max(kInitialTextBytes, static_cast<std::uint32_t>(size)));
  const auto hash = static_cast<std::uint32_t>(detail::keyed_hash(seed, key));
  table->entries()[0] = Table::Stored{hash, table->append(key, value)};
  table->place(0, hash);
  table->size = 1;
  table_ = table;
}

void StringMap::insert_or_assign(std::string_view key, std::string_view value) {
  if (table_ == nullptr) return insert_first(key, value);
  Table& table = *table_;
  const auto hash = static_cast<std::uint32_t>(detail::keyed_hash(table.seed, key));
  const Table::Probed found = table.probe(hash, key);
  const std::uint64_t size = detail::packed_pair_size(key, value);
  const bool text_fits = size <= table.text_capacity - table.text_used;

  if (found.taken != 0) {
    const std::uint32_t entry = found.taken - 1;
    if (detail::overwrite_packed_value(table.text() + table.entries()[entry].offset, value)) {
      return;
    }
    if (text_fits) {
      table.entries()[entry].offset = table.append(key, value);
      return;
    }
    Table* grown = table.regrown(table.slot_shift, size, entry);
    // The texts may be views into the old block: it goes only once they are
    // copied.
    grown->entries()[entry].offset = grown->append(key, value);
    Table::release(table_);
    table_ = grown;
    return;
  }

  if (text_fits && table.size < table.capacity()) {
    table.entries()[table.size] = Table::Stored{hash, table.append(key, value)};
    table.set_slot(found.at, ++table.size);
    return;
  }
  const bool full = table.size == table.capacity();
  Table* grown =
      table.regrown(static_cast<std::uint8_t>(table.slot_shift + (full ? 1 : 0)), size, table.size);
  const std::uint32_t entry = grown->size++;
  grown->entries()[entry] = Table::Stored{hash, grown->append(key, value)};
  grown->place(entry, hash);
  Table::release(table_);
  table_ = grown;
}

std::optional<std::string_view> StringMap::find(std::string_view key) const noexcept {
  if (table_ == nullptr) return std::nullopt;
  const auto hash = static_cast<std::uint32_t>(detail::keyed_hash(table_->seed, key));
  const std::uint32_t taken = table_->probe(hash, key).taken;
  if (taken == 0) return std::nullopt;
  return table_->pair(taken - 1).value;
}

StringMap::const_iterator StringMap::walk() const noexcept {
  return const_iterator(*table_);
}

bool operator==(const StringMap& a, const StringMap& b) {
  if (a.size() != b.size()) return false;
  for (const StringMap::Entry& entry : a) {
    if (b.find(entry.key) != entry.value) return false;
  }
  return true;
}

StringMap::const_iterator::const_iterator(const StringMap::Table& table) noexcept
    : slots_(table.slot_bytes()),
      entries_(table.entries()),
      text_(table.text()),
      slot_count_(table.slot_count()),
      slot_width_shift_(table.slot_width_shift) {
  step(0);
}

namespace {

struct Taken {
  std::uint32_t at;
  std::uint32_t taken;  // 0 when the walk is over
};

// The first taken slot from `at` on. One loop per slot width, so that the
// width is not looked at for every slot.
template <typename Slot>
Taken first_taken(const unsigned char* slots, std::uint32_t at, std::uint32_t end) noexcept {
  for (; at < end; ++at) {
    if (const std::uint32_t taken = read_slot<Slot>(slots, at); taken != 0) {
      return {at, taken};
    }
  }
  return {end, 0};
}

}  // namespace

void StringMap::const_iterator::step(std::uint32_t index) noexcept {
  const Taken next = slot_width_shift_ == 0 ? first_taken<std::uint8_t>(slots_, index, slot_count_)
                     : slot_width_shift_ == 1
                         ? first_taken<std::uint16_t>(slots_, index, slot_count_)
                         : first_taken<std::uint32_t>(slots_, index, slot_count_);
  if (next.taken == 0) {
    index_ = kEnd;
    return;
  }
  index_ = next.at;
  const auto* entries = static_cast<const Table::Stored*>(entries_);
  const detail::PackedPair p = detail::read_packed_pair(text_ + entries[next.taken - 1].offset);
  entry_ = {p.key, p.value};
}

}  // namespace pelnorix
