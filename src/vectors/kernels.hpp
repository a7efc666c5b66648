// The sums behind the cosine, one kernel set per instruction set. Every set gives every
// row exactly the sums of the portable one: each product rounded, then added left to
// right into its own sum (no fused multiply-add, no reordering), so a row's sums are the
// same bits whichever set computed them and however many rows it took at once.
#pragma once

#include <cstddef>

namespace quor::vectors::kernels {

struct Set {
  const char* name;
  // For j < count: dot[j] = q . rows[j] and yy[j] = rows[j] . rows[j], rows of length n.
  void (*rows)(const float* q, const float* const* rows, size_t count, size_t n, float* dot,
               float* yy);
  // The same for rows of doubles, each element narrowed to float as it is read.
  void (*wide_rows)(const float* q, const double* const* rows, size_t count, size_t n, float* dot,
                    float* yy);
  // sums = {a . b, a . a, b . b}.
  void (*cosine)(const float* a, const float* b, size_t n, float sums[3]);
};

// Rows the kernels take at once at most; top_k hands them rows in tiles of this many.
inline constexpr size_t kTile = 32;

const Set& portable();
// The sets this build has for each instruction set (nullptr where it has none); run one
// only where cpu::features() says so.
const Set* sse2();
const Set* avx2();
const Set* neon();
// The widest set the processor's features allow.
const Set& chosen();

// The portable sums of one row, which every set falls back on for rows left over.
void row_sums(const float* q, const float* y, size_t n, float& dot, float& yy);
void row_sums(const float* q, const double* y, size_t n, float& dot, float& yy);
// The cosine's three sums, the one strict loop every set uses: each sum is a chain of
// dependent adds, so the wider units have nothing to add.
void cosine_sums(const float* a, const float* b, size_t n, float sums[3]);

}  // namespace quor::vectors::kernels
