// The AVX2 kernel set: eight rows per group, one row per lane, several groups in flight.
#include "common/platform.hpp"
#include "vectors/kernels.hpp"

#if QUOR_X86_64 && !QUOR_MSVC
#include <immintrin.h>

// Bit-exact sums: no fused multiply-add (the target enables none), each lane's sum in
// index order, so every row gets what the portable loop gives it.
QUOR_FP_CONTRACT_OFF

namespace quor::vectors::kernels {
namespace {

// Elements i..i+3 of row a in the low half, of row b in the high half. Floats take a
// load, a load that fills both halves and a blend: no shuffle, which the transpose needs
// all of. Doubles are narrowed one by one, as a cast of each would.
QUOR_TARGET_AVX2 QUOR_ALWAYS_INLINE __m256 halves(const float* a, const float* b) {
  return _mm256_blend_ps(_mm256_castps128_ps256(_mm_loadu_ps(a)),
                         _mm256_broadcast_ps(reinterpret_cast<const __m128*>(b)), 0xF0);
}
QUOR_TARGET_AVX2 QUOR_ALWAYS_INLINE __m256 halves(const double* a, const double* b) {
  return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(_mm256_loadu_pd(a))),
                              _mm256_cvtpd_ps(_mm256_loadu_pd(b)), 1);
}

// Elements i..i+7 of rows r[0..8) transposed: c[t] holds element i+t of the eight rows.
// Rows j and j+4 share a register (low and high half), so only in-lane shuffles remain.
template <class T>
QUOR_TARGET_AVX2 QUOR_ALWAYS_INLINE void columns(const T* const* r, size_t i, __m256 c[8]) {
  __m256 a[8];
  QUOR_UNROLL(4)
  for (int j = 0; j < 4; ++j) {
    a[j] = halves(r[j] + i, r[j + 4] + i);
    a[j + 4] = halves(r[j] + i + 4, r[j + 4] + i + 4);
  }
  QUOR_UNROLL(2)
  for (int h = 0; h < 8; h += 4) {
    const __m256 t0 = _mm256_unpacklo_ps(a[h], a[h + 1]),
                 t1 = _mm256_unpacklo_ps(a[h + 2], a[h + 3]);
    const __m256 t2 = _mm256_unpackhi_ps(a[h], a[h + 1]),
                 t3 = _mm256_unpackhi_ps(a[h + 2], a[h + 3]);
    c[h] = _mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(1, 0, 1, 0));
    c[h + 1] = _mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(3, 2, 3, 2));
    c[h + 2] = _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(1, 0, 1, 0));
    c[h + 3] = _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(3, 2, 3, 2));
  }
}

// G groups of eight rows (rows 8g..8g+7 in group g). Each group's sums are chains of
// dependent adds; with G of them in flight the adds of one group fill the latency of the
// others', and the loop runs at the rate of the shuffles and multiplies instead.
template <int G, class T>
QUOR_TARGET_AVX2 void groups(const float* q, const T* const* r, size_t n, float* dot, float* yy) {
  __m256 d[G], s[G];
  for (int g = 0; g < G; ++g) d[g] = s[g] = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    QUOR_UNROLL(4)
    for (int g = 0; g < G; ++g) {
      __m256 c[8];
      columns(r + 8 * g, i, c);
      // Each group broadcasts the query again: kept for all groups, the eight broadcasts
      // would crowd the accumulators out of the registers.
      const float* qi = platform::opaque(q + i);
      QUOR_UNROLL(8)
      for (int t = 0; t < 8; ++t) {
        const __m256 qt = _mm256_broadcast_ss(qi + t);
        d[g] = _mm256_add_ps(d[g], _mm256_mul_ps(qt, c[t]));
        s[g] = _mm256_add_ps(s[g], _mm256_mul_ps(c[t], c[t]));
      }
    }
  }
  for (; i < n; ++i) {
    const __m256 qi = _mm256_set1_ps(q[i]);
    for (int g = 0; g < G; ++g) {
      const T* const* x = r + 8 * g;
      auto at = [&](int j) { return static_cast<float>(x[j][i]); };
      const __m256 c = _mm256_set_ps(at(7), at(6), at(5), at(4), at(3), at(2), at(1), at(0));
      d[g] = _mm256_add_ps(d[g], _mm256_mul_ps(qi, c));
      s[g] = _mm256_add_ps(s[g], _mm256_mul_ps(c, c));
    }
  }
  for (int g = 0; g < G; ++g) {
    _mm256_storeu_ps(dot + 8 * g, d[g]);
    _mm256_storeu_ps(yy + 8 * g, s[g]);
  }
}

template <class T>
void rows_avx2(const float* q, const T* const* rows, size_t count, size_t n, float* dot,
               float* yy) {
  size_t j = 0;
  for (; j + 16 <= count; j += 16) groups<2>(q, rows + j, n, dot + j, yy + j);
  for (; j + 8 <= count; j += 8) groups<1>(q, rows + j, n, dot + j, yy + j);
  for (; j < count; ++j) row_sums(q, rows[j], n, dot[j], yy[j]);
}

constexpr Set kAvx2 = {"avx2", &rows_avx2<float>, &rows_avx2<double>, &cosine_sums};

}  // namespace

const Set* avx2() { return &kAvx2; }

}  // namespace quor::vectors::kernels

#else
namespace quor::vectors::kernels {
const Set* avx2() { return nullptr; }
}  // namespace quor::vectors::kernels
#endif
