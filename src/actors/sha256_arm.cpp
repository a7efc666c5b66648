// SHA-256 blocks with the ARMv8 SHA-2 instructions: one round body for one and for two
// streams.
#include "actors/sha256.hpp"
#include "common/platform.hpp"

#if QUOR_ARM_SHA2
#include <arm_neon.h>

namespace quor::actors::sha256 {
namespace {

// N messages at once, `count` blocks of each (block b of message s at at(s, b)), stream by
// stream inside each step so that the processor overlaps them. The instructions keep the
// state as (a,b,c,d) and (e,f,g,h) and take the round constants already added to the words.
template <int N, class At>
QUOR_TARGET_ARM_SHA2 QUOR_ALWAYS_INLINE void streams(uint32_t* const states[N], At at,
                                                     size_t count) {
  uint32x4_t abcd[N], efgh[N];
  QUOR_UNROLL(2)
  for (int s = 0; s < N; ++s) {
    abcd[s] = vld1q_u32(&states[s][0]);
    efgh[s] = vld1q_u32(&states[s][4]);
  }
  for (size_t b = 0; b < count; ++b) {
    uint32x4_t save0[N], save1[N], msg[N][4];
    QUOR_UNROLL(2)
    for (int s = 0; s < N; ++s) {
      save0[s] = abcd[s];
      save1[s] = efgh[s];
      const uint8_t* data = at(s, b);
      QUOR_UNROLL(4)
      for (int i = 0; i < 4; ++i) {
        msg[s][i] = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(data + 16 * i)));
      }
    }
    QUOR_UNROLL(16)
    for (int i = 0; i < 16; ++i) {
      const uint32x4_t round = vld1q_u32(&kRound[4 * i]);
      QUOR_UNROLL(2)
      for (int s = 0; s < N; ++s) {
        const uint32x4_t k = vaddq_u32(msg[s][i & 3], round);
        if (i < 12) {
          // Words 4(i+4).. from the four groups from 4i on; the slot held the oldest.
          msg[s][i & 3] = vsha256su1q_u32(vsha256su0q_u32(msg[s][i & 3], msg[s][(i + 1) & 3]),
                                          msg[s][(i + 2) & 3], msg[s][(i + 3) & 3]);
        }
        const uint32x4_t before = abcd[s];
        abcd[s] = vsha256hq_u32(abcd[s], efgh[s], k);
        efgh[s] = vsha256h2q_u32(efgh[s], before, k);
      }
    }
    QUOR_UNROLL(2)
    for (int s = 0; s < N; ++s) {
      abcd[s] = vaddq_u32(abcd[s], save0[s]);
      efgh[s] = vaddq_u32(efgh[s], save1[s]);
    }
  }
  QUOR_UNROLL(2)
  for (int s = 0; s < N; ++s) {
    vst1q_u32(&states[s][0], abcd[s]);
    vst1q_u32(&states[s][4], efgh[s]);
  }
}

QUOR_TARGET_ARM_SHA2 void blocks(uint32_t state[8], const uint8_t* data, size_t count) {
  uint32_t* const states[1] = {state};
  streams<1>(
      states, [data](int, size_t b) { return data + 64 * b; }, count);
}

QUOR_TARGET_ARM_SHA2 void pair(uint32_t* const states[2], const uint8_t* const* const blocks[2],
                               size_t count) {
  streams<2>(
      states, [blocks](int s, size_t b) { return blocks[s][b]; }, count);
}

constexpr Engine kArmv8 = {"armv8", &blocks, &pair};

}  // namespace

const Engine* armv8_engine() { return &kArmv8; }

}  // namespace quor::actors::sha256

#else
namespace quor::actors::sha256 {
const Engine* armv8_engine() { return nullptr; }
}  // namespace quor::actors::sha256
#endif
