// Single-precision cosine similarity and exhaustive top-k over the rows of a matrix.
// Every operation is a rounded 32-bit one; each sum runs strictly left to right.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace quor::vectors {

// Rows of possibly different lengths in one array: row i is values[offsets[i], offsets[i+1]).
struct Matrix {
  std::span<const float> values;
  std::span<const size_t> offsets;  // rows + 1 entries, offsets[0] == 0
  // When not empty, the values are these doubles instead, each narrowed to float as it is
  // read: exactly what narrowing them all first would give, without the copy.
  std::span<const double> wide = {};
  size_t rows() const { return offsets.empty() ? 0 : offsets.size() - 1; }
};

// +0.0 for empty or unequal vectors and for a zero squared norm on either side.
float cosine_similarity(std::span<const float> a, std::span<const float> b);

// The min(k, rows) best (row index, score) pairs: score descending, then index ascending,
// NaN scores after every number in index order. Rows of another length than the query
// score +0.0.
std::vector<std::pair<uint64_t, float>> top_k(std::span<const float> query, const Matrix& matrix,
                                              uint64_t k);

}  // namespace quor::vectors
