// Decimal digit text shared by the integer and float layouts. Digit strings are assembled
// in integer registers, first character in the lowest byte.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "common/platform.hpp"
#include "common/simd.hpp"

namespace quor::json::detail {

static_assert(std::endian::native == std::endian::little);

inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline constexpr uint64_t kPow10Int[20] = {1,
                                           10,
                                           100,
                                           1000,
                                           10000,
                                           100000,
                                           1000000,
                                           10000000,
                                           100000000,
                                           1000000000,
                                           10000000000,
                                           100000000000,
                                           1000000000000,
                                           10000000000000,
                                           100000000000000,
                                           1000000000000000,
                                           10000000000000000,
                                           100000000000000000,
                                           1000000000000000000,
                                           10000000000000000000u};

inline int decimal_length(uint64_t x) {
  int bits = 64 - platform::clz64(x | 1);
  int t = (bits * 1233) >> 12;
  return t + (x >= kPow10Int[t]);
}

inline void put_pair(unsigned v, char* p) { std::memcpy(p, kDigitPairs + 2 * v, 2); }

inline void put8(uint32_t v, char* p) {
  uint32_t hi = v / 10000, lo = v % 10000;
  put_pair(hi / 100, p);
  put_pair(hi % 100, p + 2);
  put_pair(lo / 100, p + 4);
  put_pair(lo % 100, p + 6);
}

// Writes the n = decimal_length(x) digits of x at out.
inline void put_digits(uint64_t x, char* out, int n) {
  char* p = out + n;
  while (x >= 100000000) {
    p -= 8;
    put8(static_cast<uint32_t>(x % 100000000), p);
    x /= 100000000;
  }
  uint32_t y = static_cast<uint32_t>(x);
  while (y >= 100) {
    p -= 2;
    put_pair(y % 100, p);
    y /= 100;
  }
  if (y >= 10) {
    put_pair(y, p - 2);
  } else {
    p[-1] = static_cast<char>('0' + y);
  }
}

#if QUOR_SSE2
// The eight digits of v < 10^8 in eight 16-bit lanes, first digit in lane 0: each lane
// divides its copy of a four-digit half by 1000, 100, 10 or 1 (a multiply-high pair that
// is exact below 10^4) and takes away ten times its left neighbour.
inline __m128i digit_lanes(uint32_t v) {
  uint32_t high = v / 10000, low = v % 10000;
  __m128i x = _mm_cvtsi32_si128(static_cast<int>((high | (low << 16)) << 2));
  x = _mm_unpacklo_epi16(x, x);
  x = _mm_unpacklo_epi32(x, x);
  x = _mm_mulhi_epu16(x, _mm_setr_epi16(8389, 5243, 13108, -32768, 8389, 5243, 13108, -32768));
  x = _mm_mulhi_epu16(
      x, _mm_setr_epi16(1 << 7, 1 << 11, 1 << 13, -32768, 1 << 7, 1 << 11, 1 << 13, -32768));
  __m128i tens = _mm_slli_epi64(_mm_mullo_epi16(x, _mm_set1_epi16(10)), 16);
  return _mm_sub_epi16(x, tens);
}
#elif QUOR_NEON
// As above, with NEON's widening multiply giving the high halves.
inline uint16x8_t digit_lanes(uint32_t v) {
  uint32_t high = v / 10000, low = v % 10000;
  uint16x8_t x = vcombine_u16(vdup_n_u16(static_cast<uint16_t>(high << 2)),
                              vdup_n_u16(static_cast<uint16_t>(low << 2)));
  auto mulhi = [](uint16x8_t a, uint16x8_t b) {
    uint32x4_t lo = vmull_u16(vget_low_u16(a), vget_low_u16(b));
    uint32x4_t hi = vmull_high_u16(a, b);
    return vuzp2q_u16(vreinterpretq_u16_u32(lo), vreinterpretq_u16_u32(hi));
  };
  static constexpr uint16_t kDivide[8] = {8389, 5243, 13108, 32768, 8389, 5243, 13108, 32768};
  static constexpr uint16_t kShift[8] = {1 << 7, 1 << 11, 1 << 13, 32768,
                                         1 << 7, 1 << 11, 1 << 13, 32768};
  x = mulhi(mulhi(x, vld1q_u16(kDivide)), vld1q_u16(kShift));
  uint16x8_t tens =
      vreinterpretq_u16_u64(vshlq_n_u64(vreinterpretq_u64_u16(vmulq_n_u16(x, 10)), 16));
  return vsubq_u16(x, tens);
}
#endif

#if QUOR_SSE2
// The n = decimal_length(x) digits of x < 10^8 as eight bytes, first digit lowest, to be
// stored whole (the bytes past the n-th are scratch).
inline uint64_t ascii8(uint32_t x, int n) {
  __m128i lanes = digit_lanes(x);
  __m128i bytes = _mm_add_epi8(_mm_packus_epi16(lanes, lanes), _mm_set1_epi8('0'));
  return static_cast<uint64_t>(_mm_cvtsi128_si64(bytes)) >> (8 * (8 - n));
}
#elif QUOR_NEON
inline uint64_t ascii8(uint32_t x, int n) {
  uint8x8_t bytes = vadd_u8(vmovn_u16(digit_lanes(x)), vdup_n_u8('0'));
  return vget_lane_u64(vreinterpret_u64_u8(bytes), 0) >> (8 * (8 - n));
}
#endif

}  // namespace quor::json::detail
