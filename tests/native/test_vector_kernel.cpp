// Every vector kernel set the processor can run against a plain reference of the sums,
// bit for bit: NaN, infinities, subnormals, squares that overflow, every length around the
// vector widths, every row count up to a tile and beyond (so every group size and leftover
// path runs), rows of floats and of doubles narrowed on the way in.
#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "check.hpp"
#include "common/platform.hpp"
#include "vectors/kernels.hpp"

namespace kernels = quor::vectors::kernels;
using namespace quor::platform::cpu;

namespace {

double draw(check::Random& rng) {
  switch (rng.below(14)) {
    case 0:
      return std::numeric_limits<double>::quiet_NaN();
    case 1:
      return rng.below(2) ? std::numeric_limits<double>::infinity()
                          : -std::numeric_limits<double>::infinity();
    case 2:  // subnormal, either sign
      return std::bit_cast<float>(static_cast<uint32_t>(rng.next() & 0x807fffff));
    case 3:  // its square overflows
      return (rng.below(2) ? 1.0 : -1.0) * std::ldexp(1.0, 64 + static_cast<int>(rng.below(60)));
    case 4:
      return rng.below(2) ? 0.0 : -0.0;
    case 5:  // any float bit pattern
      return std::bit_cast<float>(static_cast<uint32_t>(rng.next()));
    case 6:  // a double that rounds when narrowed, or lies beyond the float range
      return std::ldexp((rng.below(2) ? 1.0 : -1.0) * static_cast<double>(rng.next() >> 11),
                        static_cast<int>(rng.below(300)) - 213);
    default:  // ordinary values, whose sums round at every step
      return static_cast<double>(static_cast<int64_t>(rng.below(2000001)) - 1000000) / 997.0;
  }
}

// The sums as the module promises them: each product rounded before it is added (the
// volatile stores keep any compiler from fusing the two).
template <class T>
void reference_sums(const float* q, const T* y, size_t n, float& dot, float& yy) {
  float d = 0.0f, s = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    const float v = static_cast<float>(y[i]);
    volatile float product = q[i] * v, square = v * v;
    d = d + product;
    s = s + square;
  }
  dot = d;
  yy = s;
}

}  // namespace

int main() {
  std::vector<const kernels::Set*> sets = {&kernels::portable()};
  if (kernels::sse2() && has(kSse2)) sets.push_back(kernels::sse2());
  if (kernels::avx2() && has(kAvx2)) sets.push_back(kernels::avx2());
  if (kernels::neon() && has(kNeon)) sets.push_back(kernels::neon());
  std::printf("vector kernel sets:");
  for (const auto* s : sets) std::printf(" %s", s->name);
  std::printf(" (chosen: %s)\n", kernels::chosen().name);

  check::Random rng(0xc051);
  long cases = 0;
  const size_t most = 2 * kernels::kTile + 5;
  for (int round = 0; round < 3000; ++round) {
    const size_t n =
        round < 80 ? static_cast<size_t>(round) : rng.below(round % 10 == 0 ? 700 : 40);
    const size_t count = rng.below(most + 1);
    // Rare special values in most rounds, so that most sums stay finite and exact bits matter.
    const bool plain = rng.below(3) != 0;
    std::vector<float> q(n);
    for (float& x : q)
      x = static_cast<float>(plain ? draw(rng) * (rng.below(50) != 0) + 0.5 : draw(rng));
    std::vector<std::vector<double>> wide(count, std::vector<double>(n));
    std::vector<std::vector<float>> narrow(count, std::vector<float>(n));
    std::vector<const double*> wide_rows(count);
    std::vector<const float*> rows(count);
    for (size_t j = 0; j < count; ++j) {
      for (size_t i = 0; i < n; ++i) {
        wide[j][i] =
            plain && rng.below(8) != 0 ? static_cast<double>(rng.below(1000)) / 7.0 : draw(rng);
        narrow[j][i] = static_cast<float>(wide[j][i]);
      }
      wide_rows[j] = wide[j].data();
      rows[j] = narrow[j].data();
    }
    std::vector<float> dot0(count), yy0(count), dot(count), yy(count);
    for (size_t j = 0; j < count; ++j) reference_sums(q.data(), rows[j], n, dot0[j], yy0[j]);
    for (const kernels::Set* set : sets) {
      for (int w = 0; w < 2; ++w) {
        if (w) {
          set->wide_rows(q.data(), wide_rows.data(), count, n, dot.data(), yy.data());
        } else {
          set->rows(q.data(), rows.data(), count, n, dot.data(), yy.data());
        }
        for (size_t j = 0; j < count; ++j) {
          check::expect(check::same(dot[j], dot0[j]) && check::same(yy[j], yy0[j]),
                        "%s%s: row %zu of %zu, round %d (n = %zu)", set->name,
                        w ? " (doubles)" : "", j, count, round, n);
        }
      }
      if (count >= 2) {
        float sums[3];
        set->cosine(rows[0], rows[1], n, sums);
        float xx, yy1, dot01, unused;
        reference_sums(rows[0], rows[0], n, unused, xx);
        reference_sums(rows[0], rows[1], n, dot01, yy1);
        check::expect(
            check::same(sums[0], dot01) && check::same(sums[1], xx) && check::same(sums[2], yy1),
            "%s: cosine sums, round %d (n = %zu)", set->name, round, n);
      }
    }
    ++cases;
  }
  return check::finish("vector kernel", cases);
}
