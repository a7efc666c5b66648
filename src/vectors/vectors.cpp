#include "vectors/vectors.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "common/simd.hpp"

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
    auto length = [&](size_t i) { return matrix.offsets[i + 1] - matrix.offsets[i]; };
    auto row = [&](size_t i) { return matrix.values.data() + matrix.offsets[i]; };
    size_t i = 0;
#if QUOR_SIMD
    for (; i + 4 <= n; i += 4) {
      if (length(i) != d || length(i + 1) != d || length(i + 2) != d || length(i + 3) != d) {
        for (size_t j = i; j < i + 4; ++j) {
          if (length(j) != d) continue;
          float dot, yy;
          row_sums(q, row(j), d, dot, yy);
          scores[j] = finish(dot, xx, yy);
        }
        continue;
      }
      const float* rows[4] = {row(i), row(i + 1), row(i + 2), row(i + 3)};
      float dot[4], yy[4];
      four_rows_vector(q, rows, d, dot, yy);
      for (int j = 0; j < 4; ++j) scores[i + j] = finish(dot[j], xx, yy[j]);
    }
#endif
    for (; i < n; ++i) {
      if (length(i) != d) continue;
      float dot, yy;
      row_sums(q, row(i), d, dot, yy);
      scores[i] = finish(dot, xx, yy);
    }
  }

  const size_t keep = k < n ? static_cast<size_t>(k) : n;
  std::vector<std::pair<uint64_t, float>> out;
  out.reserve(keep);
  if (keep == 0) return out;
  // Keys are distinct (the index breaks ties), so any sort gives the stable order.
  if (n <= UINT32_MAX) {
    std::vector<uint64_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = (uint64_t{rank_key(scores[i])} << 32) | i;
    std::sort(order.begin(), order.end());
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
}  // namespace kernel

}  // namespace quor::vectors
