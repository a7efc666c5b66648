// Byte-level helpers every component shares: word loads, name order and name hashing.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/platform.hpp"

namespace quor::bytes {

static_assert(std::endian::native == std::endian::little, "word loads assume a little-endian host");

// Up to eight bytes at p as a little-endian word, zero-padded, without a byte-wise copy
// through memory (whose store-to-load stall dominates short names). Reads nothing outside
// [p, p + n).
inline uint64_t load_partial(const char* p, size_t n) {
  uint64_t w;
  if (n >= 8) {
    std::memcpy(&w, p, 8);
    return w;
  }
  if (n >= 4) {
    uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + n - 4, 4);  // overlaps lo; the shared bytes agree
    return uint64_t{lo} | (uint64_t{hi} << (8 * (n - 4)));
  }
  if (n == 0) return 0;
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return uint64_t{u[0]} | (uint64_t{u[n / 2]} << (8 * (n / 2))) |
         (uint64_t{u[n - 1]} << (8 * (n - 1)));
}

// The bytes from `at` on, as load_partial reads them; zero past the end.
inline uint64_t load_at(std::string_view s, size_t at) {
  return at < s.size() ? load_partial(s.data() + at, s.size() - at) : 0;
}

// Eight bytes of a name from `at` as a big-endian number, zero-padded on the right (and
// zero past the end), so that the numbers order like the bytes.
inline uint64_t name_prefix(std::string_view s, size_t at = 0) {
  return platform::bswap64(load_at(s, at));
}

// Name order: unsigned bytes, a proper prefix first; eight bytes per step. The one
// ordering of names and keys everywhere.
inline int compare(std::string_view a, std::string_view b) {
  const size_t na = a.size(), nb = b.size();
  for (size_t i = 0;; i += 8) {
    // i never passes either length here, so the loads need no bounds check.
    uint64_t u = platform::bswap64(load_partial(a.data() + i, na - i));
    uint64_t v = platform::bswap64(load_partial(b.data() + i, nb - i));
    if (u != v) return u < v ? -1 : 1;
    // Zero padding makes a proper prefix compare equal so far: length decides.
    if (i + 8 >= na || i + 8 >= nb) return (na > nb) - (na < nb);
  }
}
inline bool name_less(std::string_view a, std::string_view b) { return compare(a, b) < 0; }

// One random seed per process for every name table: names are caller-chosen, and an
// unseeded hash would let crafted names force every lookup into one long probe chain.
uint64_t process_seed();

inline uint64_t mix(uint64_t a, uint64_t b) { return platform::mul_fold(a, b); }

inline uint64_t hash_name(std::string_view s, uint64_t seed) {
  const char* p = s.data();
  size_t n = s.size();
  uint64_t h = seed ^ (n * 0x9e3779b97f4a7c15ull);
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = mix(h ^ w, 0xbf58476d1ce4e5b9ull);
    p += 8;
    n -= 8;
  }
  // The last multiplier is the seed's own: with a fixed one, names built to collide under
  // one seed would still cluster under any other (the product moves by a near-constant).
  return mix(h ^ load_partial(p, n), (seed ^ 0x94d049bb133111ebull) | 1) ^ (h >> 29);
}

}  // namespace quor::bytes
