#include "json/float_text.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "common/platform.hpp"
#include "json/digits.hpp"
#include "json/pow10.hpp"

namespace quor::json::detail {
namespace {

using platform::mul_high;
using platform::u128;

// The sixteen decimal digits of v < 10^16 (leading zeros included) as ASCII, first digit in
// the lowest byte.
inline u128 ascii16(uint64_t v) {
  uint32_t upper = static_cast<uint32_t>(v / 100000000);
  uint32_t lower = static_cast<uint32_t>(v % 100000000);
#if QUOR_SSE2
  __m128i digits =
      _mm_add_epi8(_mm_packus_epi16(digit_lanes(upper), digit_lanes(lower)), _mm_set1_epi8('0'));
  uint64_t first = static_cast<uint64_t>(_mm_cvtsi128_si64(digits));
  uint64_t second = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(digits, digits)));
  return first | (static_cast<u128>(second) << 64);
#elif QUOR_NEON
  uint8x16_t digits = vaddq_u8(
      vcombine_u8(vmovn_u16(digit_lanes(upper)), vmovn_u16(digit_lanes(lower))), vdupq_n_u8('0'));
  uint64_t first = vgetq_lane_u64(vreinterpretq_u64_u8(digits), 0);
  uint64_t second = vgetq_lane_u64(vreinterpretq_u64_u8(digits), 1);
  return first | (static_cast<u128>(second) << 64);
#else
  char text[16];
  for (int i = 7; i >= 0; --i) {
    text[i] = static_cast<char>('0' + upper % 10);
    text[i + 8] = static_cast<char>('0' + lower % 10);
    upper /= 10;
    lower /= 10;
  }
  u128 r;
  std::memcpy(&r, text, 16);
  return r;
#endif
}

inline void store16(char* p, u128 v) { std::memcpy(p, &v, 16); }

// floor(g * cp / 2^127), g = g1 * 2^63 + g0, with the lowest bit set when the quotient is
// inexact ("round to odd"), so that the comparisons below see exact answers.
inline uint64_t round_odd(uint64_t g1, uint64_t g0, uint64_t cp) {
  constexpr uint64_t kMask63 = (uint64_t{1} << 63) - 1;
  uint64_t x1 = mul_high(g0, cp);
  u128 y = static_cast<u128>(g1) * cp;
  uint64_t z = (static_cast<uint64_t>(y) >> 1) + x1;
  uint64_t vbp = static_cast<uint64_t>(y >> 64) + (z >> 63);
  return vbp | (((z & kMask63) + kMask63) >> 63);
}

inline int floor_log10_pow2(int q) { return static_cast<int>((int64_t{q} * 661971961083) >> 41); }
inline int floor_log10_three_quarters_pow2(int q) {
  return static_cast<int>((int64_t{q} * 661971961083 - 274743187321) >> 41);
}

struct Decimal {
  uint64_t digits;
  int exponent;  // value = digits * 10^exponent
  int length;    // decimal digits in `digits`
};

inline Decimal strip_zeros(Decimal d) {
  while (d.digits % 10 == 0) {
    d.digits /= 10;
    ++d.exponent;
  }
  d.length = decimal_length(d.digits);
  return d;
}

// Shortest digits that read back as c * 2^q (a normal double), the nearest of those, and
// the even one on a tie. At scale 10^(k+1) at most one candidate lies in the rounding
// interval, and when none does, the nearer of floor and ceil at scale 10^k is the answer.
// Inlined into both callers, so that the normal path is the code it was before subnormals
// took it too.
QUOR_ALWAYS_INLINE Decimal shortest(uint64_t c, int q) {
  uint64_t out = c & 1;  // an odd significand excludes the interval's ends
  uint64_t cb = c << 2;
  uint64_t cbl;
  int k;
  if (c != (uint64_t{1} << 52) || q == -1074) {
    cbl = cb - 2;
    k = floor_log10_pow2(q);
  } else {
    cbl = cb - 1;  // the gap below a power of two is half as wide
    k = floor_log10_three_quarters_pow2(q);
  }
  int h = q + floor_log2_pow10(-k) + 2;
  const uint64_t* g = kPow10Wide.v[-k - kPow10WideMin];
  uint64_t vb = round_odd(g[0], g[1], cb << h);
  uint64_t vbl = round_odd(g[0], g[1], cbl << h);
  uint64_t vbr = round_odd(g[0], g[1], (cb + 2) << h);
  uint64_t s = vb >> 2;  // at least 2^52 for a normal double
  // Every candidate is tested and the pick is made with masks, not branches: which one
  // wins is as good as random.
  uint64_t s10 = s / 10;
  unsigned upin = vbl + out <= (s10 * 10) << 2;
  unsigned wpin = ((s10 * 10 + 10) << 2) + out <= vbr;
  uint64_t t = s + 1;
  unsigned uin = vbl + out <= s << 2;
  unsigned win = (t << 2) + out <= vbr;
  int64_t cmp = static_cast<int64_t>(vb - ((s + t) << 1));
  unsigned tie = (cmp < 0) | ((cmp == 0) & ~static_cast<unsigned>(s));
  unsigned pick_s = (uin & (win ^ 1)) | ((uin ^ win ^ 1) & tie & 1);
  unsigned shorter = upin ^ wpin;  // at most one multiple of ten lies in the interval
  uint64_t mask = 0 - static_cast<uint64_t>(shorter);
  uint64_t digits = ((s10 + (upin ^ 1)) & mask) | ((s + (pick_s ^ 1)) & ~mask);
  // s has 16 or 17 digits (v * 10^-k lies in [2^52, 10 * 2^53)), a shorter pick one less.
  uint64_t ten_to_length_floor = shorter ? 1000000000000000 : 10000000000000000;
  Decimal r{digits, k + static_cast<int>(shorter),
            15 + static_cast<int>(!shorter) + (digits >= ten_to_length_floor)};
  // Only a pick from the shorter scale may end in further zeros.
  if (shorter && digits % 10 == 0) r = strip_zeros(r);
  return r;
}

// The same answer as shortest() for most inputs, from one product: z, the interval's
// upper end scaled by 10^k so that the interval is delta in [100, 1000) units wide. Both
// come out within one unit of the exact values (the power of ten is rounded up by less
// than one part in 2^127), and every decision below is taken only with that much margin;
// the rest (under one input in fifty) is left to shortest(), and so are powers of two.
inline bool shortest_fast(uint64_t c, int q, Decimal& r) {
  if (c == (uint64_t{1} << 52)) return false;
  int k = 2 - floor_log10_pow2(q);
  int beta = q + floor_log2_pow10(k);  // 6 to 9
  const uint64_t* cache = kPow10Up[k - kPow10UpMin];
  uint64_t x = ((c << 1) | 1) << beta;
  u128 upper = static_cast<u128>(x) * cache[0] + mul_high(x, cache[1]);
  uint64_t z = static_cast<uint64_t>(upper >> 64);
  uint64_t delta = cache[0] >> (63 - beta);
  // The multiple of 1000 just below z is the only candidate one digit shorter.
  uint64_t thousands = z / 1000;
  uint64_t rest = z - thousands * 1000;
  if (rest != 0 && rest + 2 <= delta) {
    r = {thousands, 3 - k, 15 + (thousands >= 1000000000000000)};
    if (thousands % 10 == 0) r = strip_zeros(r);
    return true;
  }
  if (rest < delta + 2) return false;
  // Otherwise the answer is the multiple of 100 nearest to the value, z - delta / 2.
  uint64_t twice = 2 * z - delta + 100;
  uint64_t hundreds = twice / 200;
  uint64_t off = twice - hundreds * 200;
  if (off < 2 || off > 197) return false;  // too near a tie to tell
  r = {hundreds, 2 - k, 16 + (hundreds >= 10000000000000000)};
  return true;
}

// A value with few binary fraction digits, m / 2^e with m odd, is exactly m * 5^e / 10^e.
// When that has at most 15 digits it is the shortest form: a shorter string lies at least
// 5 * 10^-e away (m * 5^e ends in 5), more than half a unit in the last place here.
inline bool short_fraction(uint64_t c, int q, Decimal& r) {
  static constexpr uint64_t kPow5[22] = {1,
                                         5,
                                         25,
                                         125,
                                         625,
                                         3125,
                                         15625,
                                         78125,
                                         390625,
                                         1953125,
                                         9765625,
                                         48828125,
                                         244140625,
                                         1220703125,
                                         6103515625,
                                         30517578125,
                                         152587890625,
                                         762939453125,
                                         3814697265625,
                                         19073486328125,
                                         95367431640625,
                                         476837158203125};
  int zeros = platform::ctz64(c);
  int e = -(q + zeros);
  if (e <= 0 || e > 21) return false;
  uint64_t m = c >> zeros;
  if (m > 999999999999999 / kPow5[e]) return false;
  uint64_t digits = m * kPow5[e];
  r = {digits, -e, decimal_length(digits)};
  return true;
}

Decimal to_decimal(double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
  int biased = static_cast<int>((bits >> 52) & 0x7ff);
  Decimal r;
  if (biased == 0) {
    // Subnormals: the same search at the lowest exponent, where the answer may have
    // fewer digits than shortest() counts on.
    r = strip_zeros(shortest(fraction, -1074));
  } else {
    uint64_t c = fraction | (uint64_t{1} << 52);
    int q = biased - 1075;
    if (q < 0 && q > -53 && (c & ((uint64_t{1} << -q) - 1)) == 0) {
      r = strip_zeros({c >> -q, 0, 0});  // an integer below 2^53 is its own shortest form
    } else if (!short_fraction(c, q, r) && !shortest_fast(c, q, r)) {
      r = shortest(c, q);
    }
  }
  return r;
}

// The float layout of a finite non-zero value's digits (the sign already written).
char* put_decimal(Decimal dec, char* out) {
  int n = dec.length;            // 1 to 17
  int e = dec.exponent + n - 1;  // exponent of the first digit
  // The digits are padded with zeros to exactly 17 and built in registers: the first one
  // alone, the other sixteen as one 128-bit string. They are placed with overlapping wide
  // stores; bytes written past the returned end are scratch.
  uint64_t padded = dec.digits * kPow10Int[17 - n];
  char first = static_cast<char>('0' + padded / 10000000000000000);
  u128 rest = ascii16(padded % 10000000000000000);
  out[0] = first;
  if (e >= -5 && e <= 15) {
    if (n <= e + 1) {
      store16(out + 1, rest);  // the padding supplies the zeros up to the point
      out += e + 1;
      std::memcpy(out, ".0", 2);
      return out + 2;
    }
    if (e < 0) {
      std::memcpy(out, "0.00000", 8);
      out += 1 - e;
      out[0] = first;
      store16(out + 1, rest);
      return out + n;
    }
    store16(out + 1, rest);
    store16(out + e + 2, rest >> (8 * e));
    out[e + 1] = '.';
    return out + n + 1;
  }
  out[1] = '.';
  store16(out + 2, rest);
  out += n > 1 ? n + 1 : 1;
  *out++ = 'e';
  if (e < 0) {
    *out++ = '-';
    e = -e;
  } else {
    *out++ = '+';
  }
  if (e >= 100) {
    *out++ = static_cast<char>('0' + e / 100);
    put_pair(static_cast<unsigned>(e % 100), out);
    return out + 2;
  }
  if (e >= 10) {
    put_pair(static_cast<unsigned>(e), out);
    return out + 2;
  }
  *out++ = static_cast<char>('0' + e);
  return out;
}

}  // namespace

char* format_double(double d, char* out) {
  if (!std::isfinite(d)) {
    std::memcpy(out, "null", 4);
    return out + 4;
  }
  if (std::signbit(d)) *out++ = '-';
  if (d == 0) {
    std::memcpy(out, "0.0", 3);
    return out + 3;
  }
  return put_decimal(to_decimal(d), out);
}

char* format_double_pair(double a, double b, char* out) {
  if (!std::isfinite(a) || !std::isfinite(b) || a == 0 || b == 0) {
    out = format_double(a, out);
    *out++ = ',';
    return format_double(b, out);
  }
  // Both searches are started before either is written, so that they run side by side.
  Decimal first = to_decimal(a);
  Decimal second = to_decimal(b);
  if (std::signbit(a)) *out++ = '-';
  out = put_decimal(first, out);
  *out++ = ',';
  if (std::signbit(b)) *out++ = '-';
  return put_decimal(second, out);
}

}  // namespace quor::json::detail
