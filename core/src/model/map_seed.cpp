#include "map_seed.hpp"

#include <pthread.h>

#include <cstring>
#include <mutex>
#include <span>

#include "keyed_hash.hpp"
#include "pelnorix/random_source.hpp"

namespace pelnorix::detail {
namespace {

// Drawing OS randomness for every map would dominate the cost of creating a
// span, so each thread draws one secret once and derives a distinct key for
// every map from it and a counter.
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

}  // namespace

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

}  // namespace pelnorix::detail
