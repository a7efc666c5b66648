// The reader's number paths, as pure functions over a byte range: a fast one for the
// common shapes and an exact one that follows every rule, so that each can be driven
// against the other.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "common/platform.hpp"
#include "json/digits.hpp"
#include "json/pow10.hpp"
#include "json/reader.hpp"

namespace quor::json::detail {

// The fixed, not correctly rounded, scaling of a decimal significand.
inline bool scale(uint64_t significand, int64_t exponent, bool negative, double& out) {
  double f = static_cast<double>(significand);
  while (exponent > 308 || exponent < -308) {
    if (f == 0) break;
    if (exponent > 0) return false;
    f /= 1e308;
    exponent += 308;
  }
  if (f != 0) {
    if (exponent >= 0) {
      f *= kPow10[exponent];
      if (std::isinf(f)) return false;
    } else {
      f /= kPow10[-exponent];
    }
  }
  out = negative ? -f : f;
  return true;
}

// A number at p (a '-' or a digit): its value in `out`, or its error.
Step read_number_exact(const char* p, const char* end, JsonDocument& out);

// The value of eight digit bytes (each already minus '0'), first digit in the lowest byte.
inline uint64_t swar_value(uint64_t x) {
  x = (x * 10) + (x >> 8);
  return (((x & 0x000000ff000000ff) * (100 + (uint64_t{1000000} << 32))) +
          (((x >> 16) & 0x000000ff000000ff) * (1 + (uint64_t{10000} << 32)))) >>
         32;
}

// Accumulates a run of digits into s (wrapping; callers count the digits). Eight bytes
// are looked at together: the run's length within them is found from a mask and the
// digits are shifted to the top, so a run of up to eight costs one step.
inline const char* digits(const char* p, const char* end, uint64_t& s) {
  while (end - p >= 8) {
    uint64_t x;
    std::memcpy(&x, p, 8);
    x ^= 0x3030303030303030;  // digits become 0..9
    // High bit of each byte that is not a digit (carries only run into later bytes).
    uint64_t other = (x | (x + 0x7676767676767676)) & 0x8080808080808080;
    if (other == 0) {
      s = s * 100000000 + swar_value(x);
      p += 8;
      continue;
    }
    int n = platform::ctz64(other) >> 3;
    if (n != 0) s = s * kPow10Int[n] + swar_value(x << (64 - 8 * n));
    return p + n;
  }
  while (p != end && is_digit(*p)) {
    s = s * 10 + static_cast<unsigned>(*p - '0');
    ++p;
  }
  return p;
}

// The common shapes (at most 19 significant digits, a short exponent, no error) in one
// pass. Returns the end of the number, or nullptr for everything else, which
// read_number_exact reads again following every rule exactly; where this one gives a
// value, the exact path gives the same.
inline const char* read_number_fast(const char* const start, const char* const end,
                                    JsonDocument& out) {
  const char* p = start;
  bool negative = *p == '-';
  p += negative;
  if (p == end || !is_digit(*p)) return nullptr;
  uint64_t s = 0;
  const char* int_start = p;
  if (*p == '0') {
    ++p;
    if (p != end && is_digit(*p)) return nullptr;
  } else {
    // Integer parts are mostly short: a byte at a time until eight have been seen.
    s = static_cast<unsigned>(*p - '0');
    ++p;
    while (p != end && is_digit(*p) && p - int_start < 8) {
      s = s * 10 + static_cast<unsigned>(*p - '0');
      ++p;
    }
    if (p != end && is_digit(*p)) p = digits(p, end, s);
  }
  size_t count = static_cast<size_t>(p - int_start);
  int exponent = 0;
  bool is_float = false;
  if (p != end && *p == '.') {
    ++p;
    const char* frac_start = p;
    p = digits(p, end, s);
    int frac = static_cast<int>(p - frac_start);
    if (frac == 0) return nullptr;
    count += static_cast<size_t>(frac);
    exponent = -frac;
    is_float = true;
  }
  if (count > 19) return nullptr;
  if (p != end && (*p | 0x20) == 'e') {
    ++p;
    bool exp_negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
      exp_negative = *p == '-';
      ++p;
    }
    const char* exp_start = p;
    int e = 0;
    while (p != end && is_digit(*p) && p - exp_start < 9) {
      e = e * 10 + (*p - '0');
      ++p;
    }
    if (p == exp_start || (p != end && is_digit(*p))) return nullptr;
    exponent += exp_negative ? -e : e;
    is_float = true;
  }
  if (!is_float) {
    // Signs mix at random in real data: the two integer forms are told apart without a
    // branch, and only "-0" and magnitudes beyond the negative range take one.
    uint64_t neg = negative;
    if (neg & ((s - 1) >= (uint64_t{1} << 63))) {
      set(out, JsonDocument::real(s == 0 ? -0.0 : -static_cast<double>(s)));
      return p;
    }
    static_assert(static_cast<int>(Kind::NegInt) == static_cast<int>(Kind::UInt) + 1);
    JsonDocument v;
    v.tag = static_cast<uint64_t>(Kind::UInt) + neg;
    v.payload = (s ^ (0 - neg)) + neg;
    set(out, v);
    return p;
  }
  double d;
  if (exponent < 0 && exponent >= -308) {
    d = static_cast<double>(s) / kPow10[-exponent];
    d = negative ? -d : d;
  } else if (!scale(s, exponent, negative, d)) {
    return nullptr;
  }
  set(out, JsonDocument::real(d));
  return p;
}

}  // namespace quor::json::detail
