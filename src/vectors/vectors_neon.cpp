// The NEON kernel set (every aarch64 processor): four rows per group, one row per lane,
// two or four groups (eight or sixteen rows) in flight.
#include "common/platform.hpp"
#include "vectors/kernels.hpp"

#if QUOR_AARCH64
#include <arm_neon.h>

// Bit-exact sums: separate multiply and add instructions (never vfma/vmla, which fuse),
// each lane's sum in index order.
QUOR_FP_CONTRACT_OFF

namespace quor::vectors::kernels {
namespace {

// Four elements as floats: doubles are narrowed one by one, as a cast of each would.
QUOR_ALWAYS_INLINE float32x4_t four(const float* p) { return vld1q_f32(p); }
QUOR_ALWAYS_INLINE float32x4_t four(const double* p) {
  return vcombine_f32(vcvt_f32_f64(vld1q_f64(p)), vcvt_f32_f64(vld1q_f64(p + 2)));
}

// G groups of four rows (rows 4g..4g+3 in group g): with several groups in flight, the
// adds of one fill the latency of the others'.
template <int G, class T>
void groups(const float* q, const T* const* r, size_t n, float* dot, float* yy) {
  float32x4_t d[G], s[G];
  for (int g = 0; g < G; ++g) d[g] = s[g] = vdupq_n_f32(0.0f);
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const float32x4_t qv = vld1q_f32(q + i);
    QUOR_UNROLL(4)
    for (int g = 0; g < G; ++g) {
      const T* const* x = r + 4 * g;
      const float32x4_t c0 = four(x[0] + i), c1 = four(x[1] + i);
      const float32x4_t c2 = four(x[2] + i), c3 = four(x[3] + i);
      // Transposed, so that c[t] holds element i+t of the four rows.
      const float32x4x2_t t01 = vtrnq_f32(c0, c1), t23 = vtrnq_f32(c2, c3);
      const float32x4_t c[4] = {vcombine_f32(vget_low_f32(t01.val[0]), vget_low_f32(t23.val[0])),
                                vcombine_f32(vget_low_f32(t01.val[1]), vget_low_f32(t23.val[1])),
                                vcombine_f32(vget_high_f32(t01.val[0]), vget_high_f32(t23.val[0])),
                                vcombine_f32(vget_high_f32(t01.val[1]), vget_high_f32(t23.val[1]))};
      d[g] = vaddq_f32(d[g], vmulq_f32(vdupq_laneq_f32(qv, 0), c[0]));
      s[g] = vaddq_f32(s[g], vmulq_f32(c[0], c[0]));
      d[g] = vaddq_f32(d[g], vmulq_f32(vdupq_laneq_f32(qv, 1), c[1]));
      s[g] = vaddq_f32(s[g], vmulq_f32(c[1], c[1]));
      d[g] = vaddq_f32(d[g], vmulq_f32(vdupq_laneq_f32(qv, 2), c[2]));
      s[g] = vaddq_f32(s[g], vmulq_f32(c[2], c[2]));
      d[g] = vaddq_f32(d[g], vmulq_f32(vdupq_laneq_f32(qv, 3), c[3]));
      s[g] = vaddq_f32(s[g], vmulq_f32(c[3], c[3]));
    }
  }
  for (; i < n; ++i) {
    const float32x4_t qi = vdupq_n_f32(q[i]);
    for (int g = 0; g < G; ++g) {
      const T* const* x = r + 4 * g;
      const float lanes[4] = {static_cast<float>(x[0][i]), static_cast<float>(x[1][i]),
                              static_cast<float>(x[2][i]), static_cast<float>(x[3][i])};
      const float32x4_t c = vld1q_f32(lanes);
      d[g] = vaddq_f32(d[g], vmulq_f32(qi, c));
      s[g] = vaddq_f32(s[g], vmulq_f32(c, c));
    }
  }
  for (int g = 0; g < G; ++g) {
    vst1q_f32(dot + 4 * g, d[g]);
    vst1q_f32(yy + 4 * g, s[g]);
  }
}

template <class T>
void rows_neon(const float* q, const T* const* rows, size_t count, size_t n, float* dot,
               float* yy) {
  size_t j = 0;
  for (; j + 16 <= count; j += 16) groups<4>(q, rows + j, n, dot + j, yy + j);
  for (; j + 8 <= count; j += 8) groups<2>(q, rows + j, n, dot + j, yy + j);
  for (; j + 4 <= count; j += 4) groups<1>(q, rows + j, n, dot + j, yy + j);
  for (; j < count; ++j) row_sums(q, rows[j], n, dot[j], yy[j]);
}

constexpr Set kNeon = {"neon", &rows_neon<float>, &rows_neon<double>, &cosine_sums};

}  // namespace

const Set* neon() { return &kNeon; }

}  // namespace quor::vectors::kernels

#else
namespace quor::vectors::kernels {
const Set* neon() { return nullptr; }
}  // namespace quor::vectors::kernels
#endif
