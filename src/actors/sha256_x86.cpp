// SHA-256 blocks with the x86 SHA extensions: one round body for one and for two streams.
#include "actors/sha256.hpp"
#include "common/platform.hpp"

#if QUOR_X86_64
#include <immintrin.h>

namespace quor::actors::sha256 {
namespace {

// N messages at once, `count` blocks of each (block b of message s at at(s, b)): the rounds
// stream by stream inside each step, so that the processor overlaps the streams. Two keep
// every value in registers; four spill and gain nothing over two.
template <int N, class At>
QUOR_TARGET_SHA_NI QUOR_ALWAYS_INLINE void streams(uint32_t* const states[N], At at, size_t count) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  // The extensions want the state as (a,b,e,f) and (c,d,g,h).
  __m128i state0[N], state1[N];
  QUOR_UNROLL(2)
  for (int s = 0; s < N; ++s) {
    __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&states[s][0]));
    state1[s] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&states[s][4]));
    tmp = _mm_shuffle_epi32(tmp, 0xB1);
    state1[s] = _mm_shuffle_epi32(state1[s], 0x1B);
    state0[s] = _mm_alignr_epi8(tmp, state1[s], 8);
    state1[s] = _mm_blend_epi16(state1[s], tmp, 0xF0);
  }
  for (size_t b = 0; b < count; ++b) {
    __m128i save0[N], save1[N], msg[N][4];
    QUOR_UNROLL(2)
    for (int s = 0; s < N; ++s) {
      save0[s] = state0[s];
      save1[s] = state1[s];
      const uint8_t* data = at(s, b);
      QUOR_UNROLL(4)
      for (int i = 0; i < 4; ++i) {
        msg[s][i] = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byte_swap);
      }
    }
    QUOR_UNROLL(16)
    for (int i = 0; i < 16; ++i) {
      const __m128i round = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kRound[4 * i]));
      QUOR_UNROLL(2)
      for (int s = 0; s < N; ++s) {
        __m128i k = _mm_add_epi32(msg[s][i & 3], round);
        state1[s] = _mm_sha256rnds2_epu32(state1[s], state0[s], k);
        state0[s] = _mm_sha256rnds2_epu32(state0[s], state1[s], _mm_shuffle_epi32(k, 0x0E));
        if (i >= 3 && i < 15) {
          // Words 4(i+1).. from the four groups before them; the slot held the oldest.
          __m128i t = _mm_sha256msg1_epu32(msg[s][(i + 1) & 3], msg[s][(i + 2) & 3]);
          t = _mm_add_epi32(t, _mm_alignr_epi8(msg[s][i & 3], msg[s][(i + 3) & 3], 4));
          msg[s][(i + 1) & 3] = _mm_sha256msg2_epu32(t, msg[s][i & 3]);
        }
      }
    }
    QUOR_UNROLL(2)
    for (int s = 0; s < N; ++s) {
      state0[s] = _mm_add_epi32(state0[s], save0[s]);
      state1[s] = _mm_add_epi32(state1[s], save1[s]);
    }
  }
  QUOR_UNROLL(2)
  for (int s = 0; s < N; ++s) {
    __m128i tmp = _mm_shuffle_epi32(state0[s], 0x1B);
    state1[s] = _mm_shuffle_epi32(state1[s], 0xB1);
    state0[s] = _mm_blend_epi16(tmp, state1[s], 0xF0);
    state1[s] = _mm_alignr_epi8(state1[s], tmp, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&states[s][0]), state0[s]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&states[s][4]), state1[s]);
  }
}

QUOR_TARGET_SHA_NI void blocks(uint32_t state[8], const uint8_t* data, size_t count) {
  uint32_t* const states[1] = {state};
  streams<1>(
      states, [data](int, size_t b) { return data + 64 * b; }, count);
}

QUOR_TARGET_SHA_NI void pair(uint32_t* const states[2], const uint8_t* const* const blocks[2],
                             size_t count) {
  streams<2>(
      states, [blocks](int s, size_t b) { return blocks[s][b]; }, count);
}

constexpr Engine kShaNi = {"sha-ni", &blocks, &pair};

}  // namespace

const Engine* sha_ni_engine() { return &kShaNi; }

}  // namespace quor::actors::sha256

#else
namespace quor::actors::sha256 {
const Engine* sha_ni_engine() { return nullptr; }
}  // namespace quor::actors::sha256
#endif
