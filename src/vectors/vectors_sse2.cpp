// The SSE2 kernel set (every x86-64 processor): four rows per group, one row per lane,
// several groups in flight.
#include "common/platform.hpp"
#include "vectors/kernels.hpp"

#if QUOR_X86_64
#include <emmintrin.h>

// Bit-exact sums: every multiply rounded before its add, each lane's sum in index order.
QUOR_FP_CONTRACT_OFF

namespace quor::vectors::kernels {
namespace {

// Four elements as floats: doubles are narrowed one by one, as a cast of each would.
QUOR_ALWAYS_INLINE __m128 four(const float* p) { return _mm_loadu_ps(p); }
QUOR_ALWAYS_INLINE __m128 four(const double* p) {
  return _mm_movelh_ps(_mm_cvtpd_ps(_mm_loadu_pd(p)), _mm_cvtpd_ps(_mm_loadu_pd(p + 2)));
}

// G groups of four rows (rows 4g..4g+3 in group g): with several groups in flight, the
// adds of one fill the latency of the others'.
template <int G, class T>
void groups(const float* q, const T* const* r, size_t n, float* dot, float* yy) {
  __m128 d[G], s[G];
  for (int g = 0; g < G; ++g) d[g] = s[g] = _mm_setzero_ps();
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128 qv = _mm_loadu_ps(q + i);
    const __m128 qt[4] = {_mm_shuffle_ps(qv, qv, 0x00), _mm_shuffle_ps(qv, qv, 0x55),
                          _mm_shuffle_ps(qv, qv, 0xAA), _mm_shuffle_ps(qv, qv, 0xFF)};
    QUOR_UNROLL(4)
    for (int g = 0; g < G; ++g) {
      const T* const* x = r + 4 * g;
      __m128 c0 = four(x[0] + i), c1 = four(x[1] + i), c2 = four(x[2] + i), c3 = four(x[3] + i);
      _MM_TRANSPOSE4_PS(c0, c1, c2, c3);  // c_t now holds element i+t of the four rows
      const __m128 c[4] = {c0, c1, c2, c3};
      QUOR_UNROLL(4)
      for (int t = 0; t < 4; ++t) {
        d[g] = _mm_add_ps(d[g], _mm_mul_ps(qt[t], c[t]));
        s[g] = _mm_add_ps(s[g], _mm_mul_ps(c[t], c[t]));
      }
    }
  }
  for (; i < n; ++i) {
    const __m128 qi = _mm_set1_ps(q[i]);
    for (int g = 0; g < G; ++g) {
      const T* const* x = r + 4 * g;
      const __m128 c = _mm_set_ps(static_cast<float>(x[3][i]), static_cast<float>(x[2][i]),
                                  static_cast<float>(x[1][i]), static_cast<float>(x[0][i]));
      d[g] = _mm_add_ps(d[g], _mm_mul_ps(qi, c));
      s[g] = _mm_add_ps(s[g], _mm_mul_ps(c, c));
    }
  }
  for (int g = 0; g < G; ++g) {
    _mm_storeu_ps(dot + 4 * g, d[g]);
    _mm_storeu_ps(yy + 4 * g, s[g]);
  }
}

template <class T>
void rows_sse2(const float* q, const T* const* rows, size_t count, size_t n, float* dot,
               float* yy) {
  size_t j = 0;
  for (; j + 8 <= count; j += 8) groups<2>(q, rows + j, n, dot + j, yy + j);
  for (; j + 4 <= count; j += 4) groups<1>(q, rows + j, n, dot + j, yy + j);
  for (; j < count; ++j) row_sums(q, rows[j], n, dot[j], yy[j]);
}

constexpr Set kSse2 = {"sse2", &rows_sse2<float>, &rows_sse2<double>, &cosine_sums};

}  // namespace

const Set* sse2() { return &kSse2; }

}  // namespace quor::vectors::kernels

#else
namespace quor::vectors::kernels {
const Set* sse2() { return nullptr; }
}  // namespace quor::vectors::kernels
#endif
