#include "pelnorix/string_map.hpp"

#include <pthread.h>

#include <cstring>
#include <mutex>
#include <span>
#include <utility>

#include "pelnorix/random_source.hpp"

namespace pelnorix {
namespace {

// --- Keyed hash: SipHash-1-3 --------------------------------------------------
// Keys come from callers (tag names), so the hash must resist chosen
// collisions; one compression round per block is ample for a hash table.

constexpr std::uint64_t rotl(std::uint64_t x, int bits) noexcept {
  return (x << bits) | (x >> (64 - bits));
}

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() noexcept {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }

  void absorb(std::uint64_t block) noexcept {
    v3 ^= block;
    round();
    v0 ^= block;
  }
};

std::uint64_t load_le64(const char* p) noexcept {
  std::uint64_t value = 0;
  std::memcpy(&value, p, sizeof(value));  // x86-64 is little-endian
  return value;
}

std::uint64_t siphash13(const std::uint64_t key[2], std::string_view data) noexcept {
  SipState s{key[0] ^ 0x736f6d6570736575ULL, key[1] ^ 0x646f72616e646f6dULL,
             key[0] ^ 0x6c7967656e657261ULL, key[1] ^ 0x7465646279746573ULL};
  const std::size_t whole = data.size() & ~std::size_t{7};
  for (std::size_t i = 0; i < whole; i += 8)
    s.absorb(load_le64(data.data() + i));
  std::uint64_t last = static_cast<std::uint64_t>(data.size() & 0xFF) << 56;
  for (std::size_t i = whole; i < data.size(); ++i) {
    last |= static_cast<std::uint64_t>(static_cast<unsigned char>(data[i])) << (8 * (i - whole));
  }
  s.absorb(last);
  s.v2 ^= 0xFF;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

// --- Per-map keys -------------------------------------------------------------
// Drawing OS randomness for every map would dominate the cost of creating a
// span, so each thread draws one secret once and derives a distinct key for
// every map from it and a counter.

constexpr std::uint64_t mix64(std::uint64_t z) noexcept {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

struct ThreadKeySource {
  std::uint64_t secret[2] = {0, 0};
  std::uint64_t counter = 0;
  bool drawn = false;
};

thread_local ThreadKeySource t_keys;

// A forked child would otherwise derive the very keys its parent goes on to
// derive; only the forking thread survives there, so its source is the one to
// forget.
void forget_keys_in_child() {
  t_keys = ThreadKeySource{};
}

std::once_flag g_atfork_once;

std::uint64_t next_map_seed() {
  ThreadKeySource& source = t_keys;
  if (!source.drawn) {
    std::call_once(g_atfork_once, [] {
      if (::pthread_atfork(nullptr, nullptr, forget_keys_in_child) != 0) {
        // Without the handler a child shares its parent's keys: still secret,
        // just not its own.
      }
    });
    std::uint8_t bytes[sizeof(source.secret)];
    fill_os_random(std::span<std::uint8_t>(bytes));
    std::memcpy(source.secret, bytes, sizeof(bytes));
    source.drawn = true;
  }
  const std::uint64_t n = ++source.counter;
  return mix64(source.secret[0] + n * 0x9e3779b97f4a7c15ULL) ^ source.secret[1];
}

// The second half of a map's SipHash key is derived from its seed, so that a
// map holds one word of key instead of two.
constexpr std::uint64_t kSecondKeyTweak = 0x5851f42d4c957f2dULL;

constexpr std::uint32_t kInitialSlots = 8;

}  // namespace

// The block behind a non-empty map: this header, `slot_count` probe slots
// (0 for a free slot, otherwise 1 + the index of its entry), then room for
// three entries per four slots, the first `size` of them in use.
struct StringMap::Table {
  std::uint32_t size;
  std::uint32_t slot_count;

  struct Stored {
    std::uint64_t hash;
    Entry entry;
  };

  static constexpr std::uint32_t capacity_for(std::uint32_t slot_count) noexcept {
    return slot_count / 4 * 3;
  }
  static std::size_t bytes_for(std::uint32_t slot_count) noexcept {
    return sizeof(Table) + slot_count * sizeof(std::uint32_t) +
           capacity_for(slot_count) * sizeof(Stored);
  }

  std::uint32_t* slots() noexcept { return reinterpret_cast<std::uint32_t*>(this + 1); }
  const std::uint32_t* slots() const noexcept {
    return reinterpret_cast<const std::uint32_t*>(this + 1);
  }
  Stored* entries() noexcept { return reinterpret_cast<Stored*>(slots() + slot_count); }
  const Stored* entries() const noexcept {
    return reinterpret_cast<const Stored*>(slots() + slot_count);
  }
  std::uint32_t capacity() const noexcept { return capacity_for(slot_count); }

  // A table with every slot free.
  static Table* allocate(std::uint32_t slot_count) {
    void* memory = ::operator new(bytes_for(slot_count));
    Table* table = new (memory) Table{0, slot_count};
    std::memset(table->slots(), 0, slot_count * sizeof(std::uint32_t));
    return table;
  }

  static void release(Table* table) noexcept {
    if (table == nullptr) return;
    Stored* stored = table->entries();
    for (std::uint32_t i = 0; i < table->size; ++i)
      stored[i].~Stored();
    table->~Table();
    ::operator delete(table);
  }

  // The slot holding `key`, or the free slot where it would go. Three
  // entries per four slots leave a free slot, so the walk ends.
  std::uint32_t probe(std::uint64_t hash, std::string_view key) const noexcept {
    const std::uint32_t mask = slot_count - 1;
    auto at = static_cast<std::uint32_t>(hash) & mask;
    const std::uint32_t* slot = slots();
    const Stored* stored = entries();
    for (;;) {
      const std::uint32_t taken = slot[at];
      if (taken == 0) return at;
      const Stored& candidate = stored[taken - 1];
      if (candidate.hash == hash && candidate.entry.key == key) return at;
      at = (at + 1) & mask;
    }
  }
};

StringMap::StringMap() : seed_(next_map_seed()) {}

StringMap::StringMap(const StringMap& other) : seed_(other.seed_) {
  const Table* source = other.table_;
  if (source == nullptr) return;
  // The same slot count and slot contents, so the copy walks like its source.
  Table* copy = Table::allocate(source->slot_count);
  std::memcpy(copy->slots(), source->slots(), source->slot_count * sizeof(std::uint32_t));
  try {
    for (; copy->size < source->size; ++copy->size) {
      new (&copy->entries()[copy->size]) Table::Stored(source->entries()[copy->size]);
    }
  } catch (...) {
    Table::release(copy);
    throw;
  }
  table_ = copy;
}

StringMap& StringMap::operator=(const StringMap& other) {
  if (this != &other) *this = StringMap(other);
  return *this;
}

StringMap::StringMap(StringMap&& other) noexcept
    : seed_(other.seed_), table_(std::exchange(other.table_, nullptr)) {}

StringMap& StringMap::operator=(StringMap&& other) noexcept {
  if (this != &other) {
    Table::release(table_);
    seed_ = other.seed_;
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

std::uint64_t StringMap::hash_of(std::string_view key) const noexcept {
  const std::uint64_t key_halves[2] = {seed_, mix64(seed_ ^ kSecondKeyTweak)};
  return siphash13(key_halves, key);
}

void StringMap::grow() {
  const std::uint32_t slot_count = table_ == nullptr ? kInitialSlots : table_->slot_count * 2;
  Table* grown = Table::allocate(slot_count);
  if (table_ != nullptr) {
    // Moving strings cannot fail, so nothing can be left half moved.
    Table::Stored* from = table_->entries();
    for (std::uint32_t i = 0; i < table_->size; ++i) {
      new (&grown->entries()[i]) Table::Stored(std::move(from[i]));
      grown->slots()[grown->probe(from[i].hash, grown->entries()[i].entry.key)] = i + 1;
      ++grown->size;
    }
    Table::release(table_);
  }
  table_ = grown;
}

void StringMap::insert_or_assign(std::string key, std::string value) {
  const std::uint64_t hash = hash_of(key);
  if (table_ != nullptr) {
    const std::uint32_t at = table_->probe(hash, key);
    if (const std::uint32_t taken = table_->slots()[at]; taken != 0) {
      table_->entries()[taken - 1].entry.value = std::move(value);
      return;
    }
  }
  if (table_ == nullptr || table_->size == table_->capacity()) grow();
  // Growing moves every entry, so the free slot is looked up only now.
  const std::uint32_t at = table_->probe(hash, key);
  new (&table_->entries()[table_->size])
      Table::Stored{hash, Entry{std::move(key), std::move(value)}};
  table_->slots()[at] = ++table_->size;
}

const std::string* StringMap::find(std::string_view key) const noexcept {
  if (table_ == nullptr) return nullptr;
  const std::uint32_t taken = table_->slots()[table_->probe(hash_of(key), key)];
  return taken == 0 ? nullptr : &table_->entries()[taken - 1].entry.value;
}

StringMap::const_iterator StringMap::begin() const noexcept {
  return const_iterator(table_, 0);
}

StringMap::const_iterator StringMap::end() const noexcept {
  return const_iterator(table_, table_ == nullptr ? 0 : table_->slot_count);
}

bool operator==(const StringMap& a, const StringMap& b) {
  if (a.size() != b.size()) return false;
  for (const StringMap::Entry& entry : a) {
    const std::string* other = b.find(entry.key);
    if (other == nullptr || *other != entry.value) return false;
  }
  return true;
}

StringMap::const_iterator::const_iterator(const StringMap::Table* table, std::size_t index) noexcept
    : table_(table), index_(index) {
  while (table_ != nullptr && index_ < table_->slot_count && table_->slots()[index_] == 0)
    ++index_;
}

const StringMap::Entry& StringMap::const_iterator::operator*() const noexcept {
  return table_->entries()[table_->slots()[index_] - 1].entry;
}

StringMap::const_iterator& StringMap::const_iterator::operator++() noexcept {
  ++index_;
  while (index_ < table_->slot_count && table_->slots()[index_] == 0)
    ++index_;
  return *this;
}

}  // namespace pelnorix
