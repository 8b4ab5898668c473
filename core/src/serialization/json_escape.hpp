// Escaping of string bytes for JSON text. Internal to the writer.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "pelnorix/hex.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pelnorix::json_detail {

// For each byte: 0 when it is written as itself, otherwise the character that
// follows the backslash of its escape ('u' for the \u00XX form).
inline constexpr std::array<char, 256> kEscapeTable = [] {
  std::array<char, 256> table{};
  for (std::size_t byte = 0; byte < 0x20; ++byte)
    table[byte] = 'u';
  table['"'] = '"';
  table['\\'] = '\\';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  return table;
}();

inline constexpr std::size_t kMaxEscapeLength = 6;  // \u00XX

// Spare room beyond the text that the scan may store into: a whole block or
// word is stored before it is known how many of its bytes belong.
inline constexpr std::size_t kEscapeSlack = 64;

// Writes the escape sequence of a byte that needs one and returns its length.
inline std::size_t write_escape(char c, char* out) noexcept {
  const auto byte = static_cast<unsigned char>(c);
  const char code = kEscapeTable[byte];
  out[0] = '\\';
  out[1] = code;
  if (code != 'u') return 2;
  out[2] = '0';
  out[3] = '0';
  out[4] = kHexDigits[byte >> 4];
  out[5] = kHexDigits[byte & 0xF];
  return kMaxEscapeLength;
}

// Eight bytes tested at once (SWAR). Only the lowest marked byte of a word is
// reliable, and it is exactly the first byte that needs an escape: a borrow
// can only mark bytes above a byte that truly matched.
inline constexpr std::size_t kWordBytes = 8;

// Eight bytes that need no escape.
inline constexpr std::uint64_t kPlainWord = 0x6161616161616161ULL;

inline std::uint64_t load_word(const char* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

inline void store_word(char* p, std::uint64_t word) noexcept {
  std::memcpy(p, &word, sizeof word);
}

// The last `remaining` (1 to 7) bytes before `end` as a word, padded with
// bytes that need no escape. Built from registers, not through memory: a
// narrow copy followed by a wide load stalls store-to-load forwarding.
// `look_back` says that the 8 bytes before `end` may be read.
inline std::uint64_t tail_word(const char* end, std::size_t remaining, bool look_back) noexcept {
  constexpr bool kLittle = std::endian::native == std::endian::little;
  const std::size_t dropped_bits = 8 * (kWordBytes - remaining);
  const std::size_t kept_bits = 8 * remaining;
  if (look_back) {
    const std::uint64_t last = load_word(end - kWordBytes);
    return kLittle ? (last >> dropped_bits) | (kPlainWord << kept_bits)
                   : (last << dropped_bits) | (kPlainWord >> kept_bits);
  }
  const char* const start = end - remaining;
  if constexpr (kLittle) {
    // A text shorter than a word: two loads that may overlap, which agree on
    // the bytes they share, so OR-ing them leaves those bytes as they are.
    std::uint64_t low = static_cast<unsigned char>(start[0]);
    std::uint64_t high = 0;
    std::size_t high_at = 0;  // where in the text the bytes of `high` begin
    // The first and the last sizeof(Part) bytes of the text.
    const auto load_ends = [&]<typename Part>(Part part) {
      std::memcpy(&part, start, sizeof part);
      low = part;
      std::memcpy(&part, end - sizeof part, sizeof part);
      high = part;
      high_at = remaining - sizeof part;
    };
    if (remaining >= 4) {
      load_ends(std::uint32_t{});
    } else if (remaining >= 2) {
      load_ends(std::uint16_t{});
    }
    return low | (high << (8 * high_at)) | (kPlainWord << kept_bits);
  } else {
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < remaining; ++i) {
      const std::uint64_t byte = static_cast<unsigned char>(start[i]);
      word |= byte << (56 - 8 * i);
    }
    return word | (kPlainWord >> kept_bits);
  }
}

// High bit set in the bytes below 0x20 and in the double quotes and
// backslashes of `word` (and possibly in bytes after the first of them).
inline std::uint64_t escape_marks(std::uint64_t word) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  const auto zero_bytes = [](std::uint64_t w) { return (w - kOnes) & ~w & kHighBits; };
  const std::uint64_t control = (word - kOnes * 0x20) & ~word & kHighBits;
  return control | zero_bytes(word ^ (kOnes * '"')) | zero_bytes(word ^ (kOnes * '\\'));
}

// Index of the first marked byte; `marks` is not zero.
inline std::size_t first_marked_byte(std::uint64_t marks) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<std::size_t>(std::countr_zero(marks)) / 8;
  } else {
    return static_cast<std::size_t>(std::countl_zero(marks)) / 8;
  }
}

#if defined(__SSE2__)
// Sixteen bytes tested at once where SSE2 is available (every x86-64), and
// four such blocks at once while the text is long.
inline constexpr bool kHasBlockScan = true;
inline constexpr std::size_t kBlockBytes = 16;
inline constexpr std::size_t kWideBlockBytes = 64;

// 0xFF in the bytes of `block` that need an escape. Flipping bit 1 maps the
// control bytes onto themselves and '"' (0x22) onto 0x20, and nothing else
// into 0x00..0x20, so one unsigned comparison finds both; a second finds the
// backslashes. (Unsigned x <= 0x20 exactly when max(x, 0x20) is 0x20.)
inline __m128i escape_lanes(__m128i block) noexcept {
  const __m128i flipped = _mm_xor_si128(block, _mm_set1_epi8(0x02));
  const __m128i low =
      _mm_cmpeq_epi8(_mm_max_epu8(flipped, _mm_set1_epi8(0x20)), _mm_set1_epi8(0x20));
  return _mm_or_si128(low, _mm_cmpeq_epi8(block, _mm_set1_epi8('\\')));
}

// Copies 16 bytes from `in` to `out` and returns a bit mask with bit i set
// when byte i needs an escape.
inline unsigned copy_block_and_mark(const char* in, char* out) noexcept {
  const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), block);
  return static_cast<unsigned>(_mm_movemask_epi8(escape_lanes(block)));
}

// The same for 64 bytes, with one test for the common case that none of them
// needs an escape; the mask is only assembled when one does.
inline std::uint64_t copy_wide_block_and_mark(const char* in, char* out) noexcept {
  const auto* from = reinterpret_cast<const __m128i*>(in);
  auto* to = reinterpret_cast<__m128i*>(out);
  const __m128i b0 = _mm_loadu_si128(from);
  const __m128i b1 = _mm_loadu_si128(from + 1);
  const __m128i b2 = _mm_loadu_si128(from + 2);
  const __m128i b3 = _mm_loadu_si128(from + 3);
  _mm_storeu_si128(to, b0);
  _mm_storeu_si128(to + 1, b1);
  _mm_storeu_si128(to + 2, b2);
  _mm_storeu_si128(to + 3, b3);
  const __m128i m0 = escape_lanes(b0);
  const __m128i m1 = escape_lanes(b1);
  const __m128i m2 = escape_lanes(b2);
  const __m128i m3 = escape_lanes(b3);
  if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(m0, m1), _mm_or_si128(m2, m3))) == 0) return 0;
  const auto mask = [](__m128i m) {
    return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(m)));
  };
  return mask(m0) | (mask(m1) << 16) | (mask(m2) << 32) | (mask(m3) << 48);
}
#else
inline constexpr bool kHasBlockScan = false;
inline constexpr std::size_t kBlockBytes = 16;
inline constexpr std::size_t kWideBlockBytes = 64;
inline unsigned copy_block_and_mark(const char*, char*) noexcept {
  return 0;
}
inline std::uint64_t copy_wide_block_and_mark(const char*, char*) noexcept {
  return 0;
}
#endif

// Copies the bytes from `in` up to the first one that needs an escape, or up
// to `end`, to `out`, and returns how many that were. Whole blocks and words
// are stored, so up to kEscapeSlack bytes past the run may be written.
// `look_back` says that the eight bytes before `end` may be read.
inline std::size_t copy_plain_run(const char* const in, const char* const end, char* out,
                                  bool look_back) noexcept {
  const char* p = in;
  if constexpr (kHasBlockScan) {
    while (end - p >= static_cast<std::ptrdiff_t>(kWideBlockBytes)) {
      const std::uint64_t marks = copy_wide_block_and_mark(p, out);
      if (marks != 0) return static_cast<std::size_t>(p - in + std::countr_zero(marks));
      p += kWideBlockBytes;
      out += kWideBlockBytes;
    }
    while (end - p >= static_cast<std::ptrdiff_t>(kBlockBytes)) {
      const unsigned marks = copy_block_and_mark(p, out);
      if (marks != 0) return static_cast<std::size_t>(p - in + std::countr_zero(marks));
      p += kBlockBytes;
      out += kBlockBytes;
    }
  }
  // Whole words, then the last bytes padded to a word.
  while (end - p >= static_cast<std::ptrdiff_t>(kWordBytes)) {
    const std::uint64_t word = load_word(p);
    store_word(out, word);
    const std::uint64_t marks = escape_marks(word);
    if (marks != 0) return static_cast<std::size_t>(p - in) + first_marked_byte(marks);
    p += kWordBytes;
    out += kWordBytes;
  }
  const auto remaining = static_cast<std::size_t>(end - p);
  if (remaining == 0) return static_cast<std::size_t>(end - in);
  const std::uint64_t word = tail_word(end, remaining, look_back);
  store_word(out, word);
  const std::uint64_t marks = escape_marks(word);
  if (marks != 0) return static_cast<std::size_t>(p - in) + first_marked_byte(marks);
  return static_cast<std::size_t>(end - in);
}

}  // namespace pelnorix::json_detail
