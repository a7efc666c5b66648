#include "vectors/vectors.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "common/platform.hpp"
#include "vectors/kernels.hpp"

// Bit-exact sums: every multiply is rounded before its add (no fused multiply-add).
QUOR_FP_CONTRACT_OFF

namespace quor::vectors {
namespace {

using kernels::kTile;

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
  float sums[3];
  kernels::chosen().cosine(a.data(), b.data(), a.size(), sums);
  return finish(sums[0], sums[1], sums[2]);
}

std::vector<std::pair<uint64_t, float>> top_k(std::span<const float> query, const Matrix& matrix,
                                              uint64_t k) {
  const size_t n = matrix.rows();
  const size_t d = query.size();
  std::vector<float> scores(n, 0.0f);
  if (d > 0) {
    const float* q = query.data();
    const float xx = squared_norm(q, d);  // the same left-to-right sum for every row
    const kernels::Set& set = kernels::chosen();
    const bool wide = !matrix.wide.empty();
    // A tile of rows of the query's length at a time (the others score +0.0); doubles are
    // narrowed by the kernels as they read them.
    for (size_t i = 0; i < n; i += kTile) {
      const size_t end = std::min(n, i + kTile);
      const float* rows[kTile];
      const double* wide_rows[kTile];
      size_t index[kTile], count = 0;
      for (size_t j = i; j < end; ++j) {
        const size_t at = matrix.offsets[j];
        if (matrix.offsets[j + 1] - at != d) continue;
        if (wide) {
          wide_rows[count] = matrix.wide.data() + at;
        } else {
          rows[count] = matrix.values.data() + at;
        }
        index[count++] = j;
      }
      float dot[kTile], yy[kTile];
      if (wide) {
        set.wide_rows(q, wide_rows, count, d, dot, yy);
      } else {
        set.rows(q, rows, count, d, dot, yy);
      }
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

}  // namespace quor::vectors
