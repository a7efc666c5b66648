#include "actors/sha256.hpp"

#include <cstring>

#include "common/platform.hpp"
#if QUOR_X86_64
#include <immintrin.h>
#elif QUOR_ARM_SHA2
#include <arm_neon.h>
#endif

namespace quor::actors {
namespace {

constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t load_be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

#if QUOR_X86_64
QUOR_TARGET_SHA_NI void blocks_sha_ni(uint32_t state[8], const uint8_t* data, size_t count) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  // The extensions want the state as (a,b,e,f) and (c,d,g,h).
  __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
  __m128i state1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
  tmp = _mm_shuffle_epi32(tmp, 0xB1);
  state1 = _mm_shuffle_epi32(state1, 0x1B);
  __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);
  state1 = _mm_blend_epi16(state1, tmp, 0xF0);

  for (; count > 0; --count, data += 64) {
    const __m128i save0 = state0, save1 = state1;
    __m128i msg[4];
    for (int i = 0; i < 4; ++i) {
      msg[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)),
                                byte_swap);
    }
    QUOR_UNROLL(16)
    for (int i = 0; i < 16; ++i) {
      __m128i k = _mm_add_epi32(msg[i & 3],
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kRound[4 * i])));
      state1 = _mm_sha256rnds2_epu32(state1, state0, k);
      state0 = _mm_sha256rnds2_epu32(state0, state1, _mm_shuffle_epi32(k, 0x0E));
      if (i >= 3 && i < 15) {
        // Words 4(i+1).. from the four groups before them; the slot held the oldest.
        __m128i t = _mm_sha256msg1_epu32(msg[(i + 1) & 3], msg[(i + 2) & 3]);
        t = _mm_add_epi32(t, _mm_alignr_epi8(msg[i & 3], msg[(i + 3) & 3], 4));
        msg[(i + 1) & 3] = _mm_sha256msg2_epu32(t, msg[i & 3]);
      }
    }
    state0 = _mm_add_epi32(state0, save0);
    state1 = _mm_add_epi32(state1, save1);
  }

  tmp = _mm_shuffle_epi32(state0, 0x1B);
  state1 = _mm_shuffle_epi32(state1, 0xB1);
  state0 = _mm_blend_epi16(tmp, state1, 0xF0);
  state1 = _mm_alignr_epi8(state1, tmp, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), state0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), state1);
}

// N messages at once, `count` blocks of each: the same rounds as above, stream by stream
// inside each step. Two streams keep every value in registers; four spill, and gain
// nothing over two.
template <int N>
QUOR_TARGET_SHA_NI void streams_sha_ni(uint32_t* const states[N],
                                       const uint8_t* const* const blocks[N], size_t count) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i state0[N], state1[N];
  QUOR_UNROLL(4)
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
    QUOR_UNROLL(4)
    for (int s = 0; s < N; ++s) {
      save0[s] = state0[s];
      save1[s] = state1[s];
      QUOR_UNROLL(4)
      for (int i = 0; i < 4; ++i) {
        msg[s][i] = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks[s][b] + 16 * i)), byte_swap);
      }
    }
    QUOR_UNROLL(16)
    for (int i = 0; i < 16; ++i) {
      const __m128i round = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kRound[4 * i]));
      QUOR_UNROLL(4)
      for (int s = 0; s < N; ++s) {
        __m128i k = _mm_add_epi32(msg[s][i & 3], round);
        state1[s] = _mm_sha256rnds2_epu32(state1[s], state0[s], k);
        state0[s] = _mm_sha256rnds2_epu32(state0[s], state1[s], _mm_shuffle_epi32(k, 0x0E));
        if (i >= 3 && i < 15) {
          __m128i t = _mm_sha256msg1_epu32(msg[s][(i + 1) & 3], msg[s][(i + 2) & 3]);
          t = _mm_add_epi32(t, _mm_alignr_epi8(msg[s][i & 3], msg[s][(i + 3) & 3], 4));
          msg[s][(i + 1) & 3] = _mm_sha256msg2_epu32(t, msg[s][i & 3]);
        }
      }
    }
    QUOR_UNROLL(4)
    for (int s = 0; s < N; ++s) {
      state0[s] = _mm_add_epi32(state0[s], save0[s]);
      state1[s] = _mm_add_epi32(state1[s], save1[s]);
    }
  }
  QUOR_UNROLL(4)
  for (int s = 0; s < N; ++s) {
    __m128i tmp = _mm_shuffle_epi32(state0[s], 0x1B);
    state1[s] = _mm_shuffle_epi32(state1[s], 0xB1);
    state0[s] = _mm_blend_epi16(tmp, state1[s], 0xF0);
    state1[s] = _mm_alignr_epi8(state1[s], tmp, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&states[s][0]), state0[s]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&states[s][4]), state1[s]);
  }
}

QUOR_TARGET_SHA_NI void pair_sha_ni(uint32_t state_a[8], const uint8_t* const* blocks_a,
                                    uint32_t state_b[8], const uint8_t* const* blocks_b,
                                    size_t count) {
  uint32_t* const states[2] = {state_a, state_b};
  const uint8_t* const* const blocks[2] = {blocks_a, blocks_b};
  streams_sha_ni<2>(states, blocks, count);
}

#elif QUOR_ARM_SHA2
// The ARMv8 instructions keep the state as (a,b,c,d) and (e,f,g,h) and take the round
// constants already added to the words.
QUOR_TARGET_ARM_SHA2 void blocks_arm_sha2(uint32_t state[8], const uint8_t* data, size_t count) {
  uint32x4_t abcd = vld1q_u32(&state[0]);
  uint32x4_t efgh = vld1q_u32(&state[4]);
  for (; count > 0; --count, data += 64) {
    const uint32x4_t save0 = abcd, save1 = efgh;
    uint32x4_t msg[4];
    for (int i = 0; i < 4; ++i) msg[i] = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(data + 16 * i)));
    QUOR_UNROLL(16)
    for (int i = 0; i < 16; ++i) {
      uint32x4_t k = vaddq_u32(msg[i & 3], vld1q_u32(&kRound[4 * i]));
      if (i < 12) {
        // Words 4(i+4).. from the four groups from 4i on; the slot held the oldest.
        msg[i & 3] = vsha256su1q_u32(vsha256su0q_u32(msg[i & 3], msg[(i + 1) & 3]),
                                     msg[(i + 2) & 3], msg[(i + 3) & 3]);
      }
      uint32x4_t before = abcd;
      abcd = vsha256hq_u32(abcd, efgh, k);
      efgh = vsha256h2q_u32(efgh, before, k);
    }
    abcd = vaddq_u32(abcd, save0);
    efgh = vaddq_u32(efgh, save1);
  }
  vst1q_u32(&state[0], abcd);
  vst1q_u32(&state[4], efgh);
}
#endif

Sha256::BlockFn chosen() {
  static const Sha256::BlockFn fn = [] {
    Sha256::BlockFn accelerated = Sha256::blocks_accelerated();
    return accelerated ? accelerated : &Sha256::blocks_portable;
  }();
  return fn;
}

}  // namespace

void Sha256::blocks_portable(uint32_t state[8], const uint8_t* data, size_t count) {
  for (; count > 0; --count, data += 64) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) w[i] = load_be32(data + 4 * i);
    for (int i = 16; i < 64; ++i) {
      uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
      uint32_t t1 =
          h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
      uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

Sha256::BlockFn Sha256::blocks_accelerated() {
#if QUOR_X86_64
  static const bool available = platform::cpu::sha_ni();
  if (available) return &blocks_sha_ni;
#elif QUOR_ARM_SHA2
  static const bool available = platform::cpu::arm_sha2();
  if (available) return &blocks_arm_sha2;
#endif
  return nullptr;
}

Sha256::PairFn Sha256::pair_accelerated() {
#if QUOR_X86_64
  static const bool available = platform::cpu::sha_ni();
  if (available) return &pair_sha_ni;
#endif
  return nullptr;
}

void Sha256::initial_state(uint32_t state[8]) { std::memcpy(state, kInitial, sizeof kInitial); }

Sha256::Digest Sha256::digest_of(const uint32_t state[8]) {
  Digest out;
  for (int i = 0; i < 8; ++i) {
    out[4 * i] = static_cast<uint8_t>(state[i] >> 24);
    out[4 * i + 1] = static_cast<uint8_t>(state[i] >> 16);
    out[4 * i + 2] = static_cast<uint8_t>(state[i] >> 8);
    out[4 * i + 3] = static_cast<uint8_t>(state[i]);
  }
  return out;
}

Sha256::Sha256() : blocks_(chosen()) { std::memcpy(state_, kInitial, sizeof state_); }

void Sha256::update(const uint8_t* data, size_t size) {
  length_ += size;
  if (buffered_ > 0) {
    size_t take = 64 - buffered_ < size ? 64 - buffered_ : size;
    std::memcpy(buffer_ + buffered_, data, take);
    buffered_ += take;
    data += take;
    size -= take;
    if (buffered_ < 64) return;
    blocks_(state_, buffer_, 1);
    buffered_ = 0;
  }
  if (size >= 64) {
    blocks_(state_, data, size / 64);
    data += size & ~size_t{63};
    size &= 63;
  }
  if (size > 0) {
    std::memcpy(buffer_, data, size);
    buffered_ = size;
  }
}

Sha256::Digest Sha256::finish() {
  uint64_t bits = length_ * 8;
  uint8_t tail[128] = {};
  std::memcpy(tail, buffer_, buffered_);
  tail[buffered_] = 0x80;
  size_t total = buffered_ + 1 + 8 <= 64 ? 64 : 128;
  for (int i = 0; i < 8; ++i) tail[total - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
  blocks_(state_, tail, total / 64);
  return digest_of(state_);
}

}  // namespace quor::actors
