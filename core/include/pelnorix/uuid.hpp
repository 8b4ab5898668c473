// 128-bit identifiers (RFC 9562): random version-4 generation, the canonical
// text form and the parser.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "pelnorix/expected.hpp"

namespace pelnorix {

struct Uuid {
  std::array<std::uint8_t, 16> bytes{};  // network (big-endian) order

  friend bool operator==(const Uuid&, const Uuid&) = default;
};

inline constexpr std::size_t kUuidTextLength = 36;

// A fresh random version-4 identifier. Throws Fault when the random source
// fails.
Uuid generate_uuid_v4();

// Writes the 36-character lower-case hyphenated form to `out` (exactly 36
// bytes, no terminator).
void format_uuid(const Uuid& id, char* out) noexcept;
std::string to_string(const Uuid& id);

struct UuidParseError {
  std::string message;
};

// Accepts the simple (32 digits), hyphenated (36), braced (38) and URN (45)
// forms, digits of either case; anything else yields the exact error message.
Expected<Uuid, UuidParseError> parse_uuid(std::string_view text);

// The tenant (customer, application) that spans belong to.
struct TenantId {
  Uuid uuid;

  // A tenant with a fresh random version-4 identifier.
  static TenantId generate() { return TenantId{generate_uuid_v4()}; }

  friend bool operator==(const TenantId&, const TenantId&) = default;
};

inline std::string to_string(const TenantId& tenant) {
  return to_string(tenant.uuid);
}

}  // namespace pelnorix
