// The vector half of the platform layer: which 16-byte vector unit every build of the
// architecture has (SSE2 on x86-64, NEON on aarch64), its intrinsics, and the few byte
// operations the scans are written in, so that one scan serves both units.
#pragma once

#include <cstdint>

#include "common/platform.hpp"

#if QUOR_X86_64
#define QUOR_SSE2 1
#include <emmintrin.h>
#else
#define QUOR_SSE2 0
#endif

#if QUOR_AARCH64
#define QUOR_NEON 1
#include <arm_neon.h>
#else
#define QUOR_NEON 0
#endif

#define QUOR_SIMD (QUOR_SSE2 || QUOR_NEON)

namespace quor::simd {

#if QUOR_SSE2
using Bytes = __m128i;
inline Bytes load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline void store(void* p, Bytes v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
inline Bytes splat(char c) { return _mm_set1_epi8(c); }
inline Bytes eq(Bytes a, Bytes b) { return _mm_cmpeq_epi8(a, b); }
inline Bytes either(Bytes a, Bytes b) { return _mm_or_si128(a, b); }
// Lanes whose unsigned byte is at most the limit's.
inline Bytes at_most(Bytes x, Bytes limit) { return _mm_cmpeq_epi8(_mm_min_epu8(x, limit), x); }
// Bit i set when lane i has its top bit set.
inline unsigned top_bits(Bytes v) { return static_cast<unsigned>(_mm_movemask_epi8(v)); }
// A 16-byte value from two words, the first in the lower half.
inline Bytes from_words(uint64_t lo, uint64_t hi) {
  return _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
}
#elif QUOR_NEON
using Bytes = uint8x16_t;
inline Bytes load(const void* p) { return vld1q_u8(static_cast<const uint8_t*>(p)); }
inline void store(void* p, Bytes v) { vst1q_u8(static_cast<uint8_t*>(p), v); }
inline Bytes splat(char c) { return vdupq_n_u8(static_cast<uint8_t>(c)); }
inline Bytes eq(Bytes a, Bytes b) { return vceqq_u8(a, b); }
inline Bytes either(Bytes a, Bytes b) { return vorrq_u8(a, b); }
inline Bytes at_most(Bytes x, Bytes limit) { return vcleq_u8(x, limit); }
// NEON has no byte-mask move: each lane keeps its own bit weight, and three pairwise
// additions gather the weights of each half into one byte.
inline unsigned top_bits(Bytes v) {
  static constexpr uint8_t kWeights[16] = {1, 2, 4, 8, 16, 32, 64, 128,
                                           1, 2, 4, 8, 16, 32, 64, 128};
  uint8x16_t bits =
      vandq_u8(vreinterpretq_u8_s8(vshrq_n_s8(vreinterpretq_s8_u8(v), 7)), vld1q_u8(kWeights));
  uint8x16_t sum = vpaddq_u8(bits, bits);
  sum = vpaddq_u8(sum, sum);
  sum = vpaddq_u8(sum, sum);
  return vgetq_lane_u16(vreinterpretq_u16_u8(sum), 0);
}
inline Bytes from_words(uint64_t lo, uint64_t hi) {
  return vreinterpretq_u8_u64(vcombine_u64(vcreate_u64(lo), vcreate_u64(hi)));
}
#endif

}  // namespace quor::simd
