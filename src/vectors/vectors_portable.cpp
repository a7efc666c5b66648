// The portable kernel set: plain loops, one row at a time. The other sets are held to it.
#include "common/platform.hpp"
#include "vectors/kernels.hpp"

// Bit-exact sums: every multiply is rounded before its add (no fused multiply-add).
QUOR_FP_CONTRACT_OFF

namespace quor::vectors::kernels {
namespace {

template <class T>
void sums_of_row(const float* q, const T* y, size_t n, float& dot, float& yy) {
  float d = 0.0f, s = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    const float v = static_cast<float>(y[i]);
    d = d + q[i] * v;
    s = s + v * v;
  }
  dot = d;
  yy = s;
}

template <class T>
void rows_portable(const float* q, const T* const* rows, size_t count, size_t n, float* dot,
                   float* yy) {
  for (size_t j = 0; j < count; ++j) sums_of_row(q, rows[j], n, dot[j], yy[j]);
}

}  // namespace

// Three independent chains: each add waits only on its own sum's previous add, so the loop
// runs at the latency of one add per element, which no instruction set shortens.
void cosine_sums(const float* a, const float* b, size_t n, float sums[3]) {
  float dot = 0.0f, xx = 0.0f, yy = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    dot = dot + a[i] * b[i];
    xx = xx + a[i] * a[i];
    yy = yy + b[i] * b[i];
  }
  sums[0] = dot;
  sums[1] = xx;
  sums[2] = yy;
}

namespace {
constexpr Set kPortable = {"portable", &rows_portable<float>, &rows_portable<double>, &cosine_sums};
}  // namespace

void row_sums(const float* q, const float* y, size_t n, float& dot, float& yy) {
  sums_of_row(q, y, n, dot, yy);
}
void row_sums(const float* q, const double* y, size_t n, float& dot, float& yy) {
  sums_of_row(q, y, n, dot, yy);
}

const Set& portable() { return kPortable; }

const Set& chosen() {
  using namespace platform::cpu;
  if (const Set* s = avx2(); s && has(kAvx2)) return *s;
  if (const Set* s = sse2(); s && has(kSse2)) return *s;
  if (const Set* s = neon(); s && has(kNeon)) return *s;
  return kPortable;
}

}  // namespace quor::vectors::kernels
