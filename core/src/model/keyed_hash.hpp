// The keyed hash of the string map: SipHash-1-3. Keys come from callers (tag
// names), so the hash must resist chosen collisions; one compression round per
// block is ample for a hash table.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace pelnorix::detail {

constexpr std::uint64_t rotl(std::uint64_t x, int bits) noexcept {
  return (x << bits) | (x >> (64 - bits));
}

constexpr std::uint64_t mix64(std::uint64_t z) noexcept {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
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

inline std::uint64_t load_le64(const char* p) noexcept {
  std::uint64_t value = 0;
  std::memcpy(&value, p, sizeof(value));  // x86-64 is little-endian
  return value;
}

inline std::uint64_t load_le32(const char* p) noexcept {
  std::uint32_t value = 0;
  std::memcpy(&value, p, sizeof(value));
  return value;
}

inline std::uint64_t byte_at(const char* p, std::size_t i) noexcept {
  return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
}

// The last 0 to 7 bytes as a little-endian word. Tags are short, so this is
// most of a key: two overlapping loads, or three single bytes, instead of a
// loop a byte at a time. Overlapping bytes land on the same bits.
inline std::uint64_t load_tail(const char* p, std::size_t n) noexcept {
  if (n >= 4) return load_le32(p) | load_le32(p + n - 4) << (8 * (n - 4));
  if (n == 0) return 0;
  return byte_at(p, 0) | byte_at(p, n / 2) | byte_at(p, n - 1);
}

inline std::uint64_t siphash13(const std::uint64_t key[2], std::string_view data) noexcept {
  SipState s{key[0] ^ 0x736f6d6570736575ULL, key[1] ^ 0x646f72616e646f6dULL,
             key[0] ^ 0x6c7967656e657261ULL, key[1] ^ 0x7465646279746573ULL};
  const std::size_t whole = data.size() & ~std::size_t{7};
  for (std::size_t i = 0; i < whole; i += 8)
    s.absorb(load_le64(data.data() + i));
  s.absorb(static_cast<std::uint64_t>(data.size() & 0xFF) << 56 |
           load_tail(data.data() + whole, data.size() - whole));
  s.v2 ^= 0xFF;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

// The second half of a map's SipHash key is derived from its seed, so that a
// map holds one word of key instead of two.
constexpr std::uint64_t kSecondKeyTweak = 0x5851f42d4c957f2dULL;

inline std::uint64_t keyed_hash(std::uint64_t seed, std::string_view key) noexcept {
  const std::uint64_t key_halves[2] = {seed, mix64(seed ^ kSecondKeyTweak)};
  return siphash13(key_halves, key);
}

}  // namespace pelnorix::detail
