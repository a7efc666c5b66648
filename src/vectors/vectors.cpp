#include "vectors/vectors.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "common/simd.hpp"

#if QUOR_X86_64 && !QUOR_MSVC
#include <immintrin.h>
#endif

// Bit-exact sums: every multiply is rounded before its add, in the scalar loops and in
// the vector kernel alike (no fused multiply-add, whatever the processor offers).
QUOR_FP_CONTRACT_OFF

namespace quor::vectors {
namespace {

void row_sums(const float* q, const float* y, size_t n, float& dot, float& yy) {
  float d = 0.0f, s = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    d = d + q[i] * y[i];
    s = s + y[i] * y[i];
  }
  dot = d;
  yy = s;
}

void four_rows_portable(const float* q, const float* const r[4], size_t n, float dot[4],
                        float yy[4]) {
  for (int j = 0; j < 4; ++j) row_sums(q, r[j], n, dot[j], yy[j]);
}

// Four rows at once, one row per lane: lane j accumulates row j's sums in index order, so
// every row's result is bit for bit that of the scalar loop.
#if QUOR_SSE2
constexpr bool kVector = true;
QUOR_ALWAYS_INLINE void four_rows_vector(const float* q, const float* const r[4], size_t n,
                                         float dot[4], float yy[4]) {
  __m128 d = _mm_setzero_ps(), s = _mm_setzero_ps();
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m128 c0 = _mm_loadu_ps(r[0] + i), c1 = _mm_loadu_ps(r[1] + i);
    __m128 c2 = _mm_loadu_ps(r[2] + i), c3 = _mm_loadu_ps(r[3] + i);
    _MM_TRANSPOSE4_PS(c0, c1, c2, c3);  // c_t now holds component i+t of the four rows
    __m128 qv = _mm_loadu_ps(q + i);
    const __m128 cols[4] = {c0, c1, c2, c3};
    for (int t = 0; t < 4; ++t) {
      __m128 qt = _mm_shuffle_ps(qv, qv, 0);
      qv = _mm_shuffle_ps(qv, qv, _MM_SHUFFLE(0, 3, 2, 1));
      d = _mm_add_ps(d, _mm_mul_ps(qt, cols[t]));
      s = _mm_add_ps(s, _mm_mul_ps(cols[t], cols[t]));
    }
  }
  for (; i < n; ++i) {
    __m128 c = _mm_set_ps(r[3][i], r[2][i], r[1][i], r[0][i]);
    d = _mm_add_ps(d, _mm_mul_ps(_mm_set1_ps(q[i]), c));
    s = _mm_add_ps(s, _mm_mul_ps(c, c));
  }
  _mm_storeu_ps(dot, d);
  _mm_storeu_ps(yy, s);
}
#elif QUOR_NEON
constexpr bool kVector = true;
QUOR_ALWAYS_INLINE void four_rows_vector(const float* q, const float* const r[4], size_t n,
                                         float dot[4], float yy[4]) {
  float32x4_t d = vdupq_n_f32(0.0f), s = vdupq_n_f32(0.0f);
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    float32x4_t c0 = vld1q_f32(r[0] + i), c1 = vld1q_f32(r[1] + i);
    float32x4_t c2 = vld1q_f32(r[2] + i), c3 = vld1q_f32(r[3] + i);
    // Transposed, so that cols[t] holds component i+t of the four rows.
    float32x4x2_t t01 = vtrnq_f32(c0, c1), t23 = vtrnq_f32(c2, c3);
    const float32x4_t cols[4] = {
        vcombine_f32(vget_low_f32(t01.val[0]), vget_low_f32(t23.val[0])),
        vcombine_f32(vget_low_f32(t01.val[1]), vget_low_f32(t23.val[1])),
        vcombine_f32(vget_high_f32(t01.val[0]), vget_high_f32(t23.val[0])),
        vcombine_f32(vget_high_f32(t01.val[1]), vget_high_f32(t23.val[1]))};
    for (int t = 0; t < 4; ++t) {
      float32x4_t qt = vdupq_n_f32(q[i + t]);
      d = vaddq_f32(d, vmulq_f32(qt, cols[t]));
      s = vaddq_f32(s, vmulq_f32(cols[t], cols[t]));
    }
  }
  for (; i < n; ++i) {
    const float lanes[4] = {r[0][i], r[1][i], r[2][i], r[3][i]};
    float32x4_t c = vld1q_f32(lanes);
    d = vaddq_f32(d, vmulq_f32(vdupq_n_f32(q[i]), c));
    s = vaddq_f32(s, vmulq_f32(c, c));
  }
  vst1q_f32(dot, d);
  vst1q_f32(yy, s);
}
#else
constexpr bool kVector = false;
void four_rows_vector(const float* q, const float* const r[4], size_t n, float dot[4],
                      float yy[4]) {
  four_rows_portable(q, r, n, dot, yy);
}
#endif

// Eight rows at once with AVX2, one row per lane, as the four-rows kernel does with four:
// no fused multiply-add (the target enables none), each lane's sum in index order.
#if QUOR_X86_64 && !QUOR_MSVC
#define QUOR_AVX2_KERNEL 1
QUOR_TARGET_AVX2 inline __m256 load8(const float* p) { return _mm256_loadu_ps(p); }
// Eight doubles narrowed to floats, each rounded as a conversion of that one double is.
QUOR_TARGET_AVX2 inline __m256 load8(const double* p) {
  __m128 lo = _mm256_cvtpd_ps(_mm256_loadu_pd(p)), hi = _mm256_cvtpd_ps(_mm256_loadu_pd(p + 4));
  return _mm256_insertf128_ps(_mm256_castps128_ps256(lo), hi, 1);
}

template <class T>
QUOR_TARGET_AVX2 void eight_rows_avx2(const float* q, const T* const r[8], size_t n, float dot[8],
                                      float yy[8]) {
  __m256 d = _mm256_setzero_ps(), s = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256 c[8];
    for (int j = 0; j < 8; ++j) c[j] = load8(r[j] + i);
    // An 8x8 transpose: afterwards c[t] holds component i+t of the eight rows.
    __m256 u0 = _mm256_unpacklo_ps(c[0], c[1]), u1 = _mm256_unpackhi_ps(c[0], c[1]);
    __m256 u2 = _mm256_unpacklo_ps(c[2], c[3]), u3 = _mm256_unpackhi_ps(c[2], c[3]);
    __m256 u4 = _mm256_unpacklo_ps(c[4], c[5]), u5 = _mm256_unpackhi_ps(c[4], c[5]);
    __m256 u6 = _mm256_unpacklo_ps(c[6], c[7]), u7 = _mm256_unpackhi_ps(c[6], c[7]);
    __m256 v0 = _mm256_shuffle_ps(u0, u2, _MM_SHUFFLE(1, 0, 1, 0));
    __m256 v1 = _mm256_shuffle_ps(u0, u2, _MM_SHUFFLE(3, 2, 3, 2));
    __m256 v2 = _mm256_shuffle_ps(u1, u3, _MM_SHUFFLE(1, 0, 1, 0));
    __m256 v3 = _mm256_shuffle_ps(u1, u3, _MM_SHUFFLE(3, 2, 3, 2));
    __m256 v4 = _mm256_shuffle_ps(u4, u6, _MM_SHUFFLE(1, 0, 1, 0));
    __m256 v5 = _mm256_shuffle_ps(u4, u6, _MM_SHUFFLE(3, 2, 3, 2));
    __m256 v6 = _mm256_shuffle_ps(u5, u7, _MM_SHUFFLE(1, 0, 1, 0));
    __m256 v7 = _mm256_shuffle_ps(u5, u7, _MM_SHUFFLE(3, 2, 3, 2));
    c[0] = _mm256_permute2f128_ps(v0, v4, 0x20);
    c[1] = _mm256_permute2f128_ps(v1, v5, 0x20);
    c[2] = _mm256_permute2f128_ps(v2, v6, 0x20);
    c[3] = _mm256_permute2f128_ps(v3, v7, 0x20);
    c[4] = _mm256_permute2f128_ps(v0, v4, 0x31);
    c[5] = _mm256_permute2f128_ps(v1, v5, 0x31);
    c[6] = _mm256_permute2f128_ps(v2, v6, 0x31);
    c[7] = _mm256_permute2f128_ps(v3, v7, 0x31);
    for (int t = 0; t < 8; ++t) {
      __m256 qt = _mm256_broadcast_ss(q + i + t);
      d = _mm256_add_ps(d, _mm256_mul_ps(qt, c[t]));
      s = _mm256_add_ps(s, _mm256_mul_ps(c[t], c[t]));
    }
  }
  for (; i < n; ++i) {
    auto at = [&](int j) { return static_cast<float>(r[j][i]); };
    __m256 c = _mm256_set_ps(at(7), at(6), at(5), at(4), at(3), at(2), at(1), at(0));
    d = _mm256_add_ps(d, _mm256_mul_ps(_mm256_set1_ps(q[i]), c));
    s = _mm256_add_ps(s, _mm256_mul_ps(c, c));
  }
  _mm256_storeu_ps(dot, d);
  _mm256_storeu_ps(yy, s);
}
bool avx2_ready() {
  static const bool ready = platform::cpu::has(platform::cpu::kAvx2);
  return ready;
}
#else
#define QUOR_AVX2_KERNEL 0
template <class T>
void eight_rows_avx2(const float*, const T* const[8], size_t, float[8], float[8]) {}
bool avx2_ready() { return false; }
#endif

// The sums of `count` rows of length n (count at most eight), each exactly as row_sums
// gives it, by the widest kernel the processor has.
void some_rows(const float* q, const float* const* rows, size_t count, size_t n, float* dot,
               float* yy, bool eight) {
  size_t j = 0;
  if (eight && count == 8) {
    eight_rows_avx2(q, rows, n, dot, yy);
    return;
  }
  if (kVector) {
    for (; j + 4 <= count; j += 4) four_rows_vector(q, rows + j, n, dot + j, yy + j);
  }
  for (; j < count; ++j) row_sums(q, rows[j], n, dot[j], yy[j]);
}

constexpr size_t kTile = 8;

// Rows [i, i + kTile) all have length d.
bool all_of_length(const Matrix& m, size_t i, size_t d) {
  for (size_t j = i; j < i + kTile; ++j) {
    if (m.offsets[j + 1] - m.offsets[j] != d) return false;
  }
  return true;
}

// The squared norm of x, left to right.
float squared_norm(const float* x, size_t n) {
  float s = 0.0f;
  for (size_t i = 0; i < n; ++i) s = s + x[i] * x[i];
  return s;
}

// The cosine once the sums are known; xx is the query's (x) squared norm.
float finish(float dot, float xx, float yy) {
  if (xx == 0.0f || yy == 0.0f) return 0.0f;
  return dot / (std::sqrt(yy) * std::sqrt(xx));
}

// Sort key: ascending key is descending score; -0.0 equals +0.0; NaN sorts last.
uint32_t rank_key(float score) {
  if (std::isnan(score)) return UINT32_MAX;
  if (score == 0.0f) score = 0.0f;
  uint32_t bits = std::bit_cast<uint32_t>(score);
  uint32_t ascending = (bits & 0x80000000u) ? ~bits : bits | 0x80000000u;
  return ~ascending;
}

}  // namespace

float cosine_similarity(std::span<const float> a, std::span<const float> b) {
  if (a.empty() || a.size() != b.size()) return 0.0f;
  float dot = 0.0f, xx = 0.0f, yy = 0.0f;
  for (size_t i = 0; i < a.size(); ++i) {
    dot = dot + a[i] * b[i];
    xx = xx + a[i] * a[i];
    yy = yy + b[i] * b[i];
  }
  return finish(dot, xx, yy);
}

std::vector<std::pair<uint64_t, float>> top_k(std::span<const float> query, const Matrix& matrix,
                                              uint64_t k) {
  const size_t n = matrix.rows();
  const size_t d = query.size();
  std::vector<float> scores(n, 0.0f);
  if (d > 0) {
    const float* q = query.data();
    const float xx = squared_norm(q, d);  // the same left-to-right sum for every row
    const bool eight = avx2_ready();
    const bool wide = !matrix.wide.empty();
    // Doubles are narrowed as the eight-rows kernel loads them or, a few rows at a time,
    // into a tile that stays in cache.
    std::vector<float> tile(wide ? kTile * d : 0);
    for (size_t i = 0; i < n; i += kTile) {
      if (wide && eight && i + kTile <= n && all_of_length(matrix, i, d)) {
        const double* rows[kTile];
        for (size_t j = 0; j < kTile; ++j) rows[j] = matrix.wide.data() + matrix.offsets[i + j];
        float dot[kTile], yy[kTile];
        eight_rows_avx2(q, rows, d, dot, yy);
        for (size_t t = 0; t < kTile; ++t) scores[i + t] = finish(dot[t], xx, yy[t]);
        continue;
      }
      const size_t end = std::min(n, i + kTile);
      const float* rows[kTile];
      size_t index[kTile], count = 0;
      for (size_t j = i; j < end; ++j) {
        const size_t at = matrix.offsets[j];
        if (matrix.offsets[j + 1] - at != d) continue;  // scores +0.0
        if (wide) {
          float* dst = tile.data() + count * d;
          const double* src = matrix.wide.data() + at;
          for (size_t c = 0; c < d; ++c) dst[c] = static_cast<float>(src[c]);
          rows[count] = dst;
        } else {
          rows[count] = matrix.values.data() + at;
        }
        index[count++] = j;
      }
      float dot[kTile], yy[kTile];
      some_rows(q, rows, count, d, dot, yy, eight);
      for (size_t t = 0; t < count; ++t) scores[index[t]] = finish(dot[t], xx, yy[t]);
    }
  }

  const size_t keep = k < n ? static_cast<size_t>(k) : n;
  std::vector<std::pair<uint64_t, float>> out;
  out.reserve(keep);
  if (keep == 0) return out;
  // Keys are distinct (the index breaks ties), so any selection and sort give the stable
  // order: the best `keep` are selected first, and only they are sorted.
  if (n <= UINT32_MAX) {
    std::vector<uint64_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = (uint64_t{rank_key(scores[i])} << 32) | i;
    if (keep < n) std::nth_element(order.begin(), order.begin() + keep, order.end());
    std::sort(order.begin(), order.begin() + keep);
    for (size_t i = 0; i < keep; ++i) {
      size_t index = static_cast<uint32_t>(order[i]);
      out.emplace_back(index, scores[index]);
    }
  } else {
    std::vector<size_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return rank_key(scores[a]) < rank_key(scores[b]); });
    for (size_t i = 0; i < keep; ++i) out.emplace_back(order[i], scores[order[i]]);
  }
  return out;
}

namespace kernel {
void row_sums(const float* q, const float* y, size_t n, float& dot, float& yy) {
  vectors::row_sums(q, y, n, dot, yy);
}
void four_rows_portable(const float* q, const float* const r[4], size_t n, float dot[4],
                        float yy[4]) {
  vectors::four_rows_portable(q, r, n, dot, yy);
}
void four_rows_vector(const float* q, const float* const r[4], size_t n, float dot[4],
                      float yy[4]) {
  vectors::four_rows_vector(q, r, n, dot, yy);
}
const bool kFourRowsVector = kVector;
bool eight_rows_ready() { return avx2_ready(); }
void eight_rows_vector(const float* q, const float* const r[8], size_t n, float dot[8],
                       float yy[8]) {
  vectors::eight_rows_avx2(q, r, n, dot, yy);
}
}  // namespace kernel

}  // namespace quor::vectors
