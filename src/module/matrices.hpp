// The matrix kind: rows of single reals, flattened into one array.
#pragma once

#include <span>
#include <vector>

#include "module/buffers.hpp"
#include "module/converters.hpp"
#include "module/items.hpp"
#include "module/reals.hpp"
#include "vectors/vectors.hpp"

namespace quor::frame {

// The rows of a matrix of single reals, flattened.
class FlatMatrix {
 public:
  operator vectors::Matrix() const {
    std::span<const size_t> offsets(offsets_.data(), offsets_.size());
    if (pinned_wide_) return {{}, offsets, pinned_doubles_};
    if (pinned_) return {pinned_values_, offsets};
    return {{values_.data(), values_.size()}, offsets};
  }
  Numbers<float>& values() { return values_; }
  std::vector<size_t>& offsets() { return offsets_; }
  FloatBuffer& buffer() { return buffer_; }
  // The rows are the pinned buffer itself, read in place.
  void use_pinned(std::span<const float> values) {
    pinned_ = true;
    pinned_values_ = values;
  }
  // The rows are the pinned buffer's doubles, narrowed as the operation reads them.
  void use_pinned(std::span<const double> values) {
    pinned_wide_ = true;
    pinned_doubles_ = values;
  }

 private:
  FloatBuffer buffer_;
  bool pinned_ = false, pinned_wide_ = false;
  std::span<const float> pinned_values_;
  std::span<const double> pinned_doubles_;
  Numbers<float> values_;
  std::vector<size_t> offsets_{0};
};

struct MatrixOfSingleReals {
  using type = FlatMatrix;
  static bool from_python(PyObject* o, type& out) {
    // A 2-D array: its rows, iterated, are 1-D arrays of the same floats. (A 2-D memoryview
    // cannot be iterated, so it takes the item path and its error.)
    if (!PyMemoryView_Check(o) && out.buffer().pin(o, 2)) {
      read_pinned(out);
      return true;
    }
    if (!check_sequence(o)) return false;
    reserve_hint(o, out.offsets());
    AppendReals<float> row_values{out.values()};
    return for_each_item(o, TouchNothing{}, [&](PyObject* row) {
      if (!read_reals(row, row_values)) return false;
      out.offsets().push_back(out.values().size());
      if (out.offsets().size() == 2) {
        // Rows usually share the first one's length: size the array once.
        size_t expected = out.offsets().capacity() * out.values().size();
        if (expected <= (size_t{1} << 28)) out.values().reserve(expected);
      }
      return true;
    });
  }

 private:
  static void read_pinned(FlatMatrix& out) {
    const FloatBuffer& buffer = out.buffer();
    const Py_ssize_t rows = buffer.view().shape[0], cols = buffer.view().shape[1];
    out.offsets().resize(static_cast<size_t>(rows) + 1);
    for (Py_ssize_t i = 0; i <= rows; ++i) out.offsets()[i] = static_cast<size_t>(i * cols);
    const size_t count = static_cast<size_t>(rows * cols);
    if (buffer.row_major()) {
      if (buffer.format() == FloatFormat::Float) {
        out.use_pinned({static_cast<const float*>(buffer.view().buf), count});
      } else {
        out.use_pinned({static_cast<const double*>(buffer.view().buf), count});
      }
      return;
    }
    out.values().resize(count);
    float* dst = out.values().data();
    for (Py_ssize_t i = 0; i < rows; ++i) {
      for (Py_ssize_t j = 0; j < cols; ++j) *dst++ = buffer.at<float>(i, j);
    }
  }
};

}  // namespace quor::frame
