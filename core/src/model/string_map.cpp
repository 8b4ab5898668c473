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

void next_map_key(std::uint64_t out[2]) {
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
  out[0] = mix64(source.secret[0] + n * 0x9e3779b97f4a7c15ULL);
  out[1] = mix64(source.secret[1] ^ mix64(n));
}

constexpr std::size_t kInitialCapacity = 8;

}  // namespace

StringMap::StringMap() : seed_{0, 0} {
  next_map_key(seed_);
}

StringMap::StringMap(StringMap&& other) noexcept
    : seed_{other.seed_[0], other.seed_[1]},
      slots_(std::move(other.slots_)),
      size_(std::exchange(other.size_, 0)) {
  other.slots_.clear();
}

StringMap& StringMap::operator=(StringMap&& other) noexcept {
  if (this != &other) {
    seed_[0] = other.seed_[0];
    seed_[1] = other.seed_[1];
    slots_ = std::move(other.slots_);
    size_ = std::exchange(other.size_, 0);
    other.slots_.clear();
  }
  return *this;
}

std::uint64_t StringMap::hash_of(std::string_view key) const noexcept {
  const std::uint64_t hash = siphash13(seed_, key);
  return hash == 0 ? 1 : hash;  // 0 marks an empty slot
}

// The slot holding `key`, or the empty slot where it would go. The table is
// never full, so the walk ends.
std::size_t StringMap::probe_for(std::uint64_t hash, std::string_view key) const noexcept {
  const std::size_t mask = slots_.size() - 1;
  std::size_t index = static_cast<std::size_t>(hash) & mask;
  for (;;) {
    const Slot& slot = slots_[index];
    if (slot.hash == 0 || (slot.hash == hash && slot.entry.key == key)) return index;
    index = (index + 1) & mask;
  }
}

void StringMap::grow() {
  const std::size_t capacity = slots_.empty() ? kInitialCapacity : slots_.size() * 2;
  std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(capacity));
  for (Slot& slot : old) {
    if (slot.hash == 0) continue;
    Slot& target = slots_[probe_for(slot.hash, slot.entry.key)];
    target.hash = slot.hash;
    target.entry = std::move(slot.entry);
  }
}

void StringMap::insert_or_assign(std::string key, std::string value) {
  const std::uint64_t hash = hash_of(key);
  std::size_t index = 0;
  if (!slots_.empty()) {
    index = probe_for(hash, key);
    if (slots_[index].hash != 0) {
      slots_[index].entry.value = std::move(value);
      return;
    }
  }
  // Keep the load at most 3/4 so that linear probes stay short. Growing
  // moves every slot, so only then is the free slot looked up again.
  if ((size_ + 1) * 4 > slots_.size() * 3) {
    grow();
    index = probe_for(hash, key);
  }
  Slot& slot = slots_[index];
  slot.hash = hash;
  slot.entry.key = std::move(key);
  slot.entry.value = std::move(value);
  ++size_;
}

const std::string* StringMap::find(std::string_view key) const noexcept {
  if (size_ == 0) return nullptr;
  const Slot& slot = slots_[probe_for(hash_of(key), key)];
  return slot.hash == 0 ? nullptr : &slot.entry.value;
}

StringMap::const_iterator StringMap::begin() const noexcept {
  return const_iterator(slots_.data(), 0, slots_.size());
}

StringMap::const_iterator StringMap::end() const noexcept {
  return const_iterator(slots_.data(), slots_.size(), slots_.size());
}

bool operator==(const StringMap& a, const StringMap& b) {
  if (a.size() != b.size()) return false;
  for (const StringMap::Entry& entry : a) {
    const std::string* other = b.find(entry.key);
    if (other == nullptr || *other != entry.value) return false;
  }
  return true;
}

StringMap::const_iterator::const_iterator(const StringMap::Slot* slots, std::size_t index,
                                          std::size_t count) noexcept
    : slots_(slots), index_(index), count_(count) {
  while (index_ < count_ && slots_[index_].hash == 0)
    ++index_;
}

StringMap::const_iterator& StringMap::const_iterator::operator++() noexcept {
  ++index_;
  while (index_ < count_ && slots_[index_].hash == 0)
    ++index_;
  return *this;
}

}  // namespace pelnorix
