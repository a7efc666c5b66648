// Buffers read in place: a blob's bytes, and the float buffers (arrays) that the kinds of
// reals and matrices read without iterating them.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "module/converters.hpp"
#include "module/items.hpp"
#include "module/scalars.hpp"
#include "module/sequences.hpp"

namespace quor::frame {

// A buffer held until the call ends, or nothing. A refused request (a released view, say)
// is no error here: the item-by-item path then reports what iteration reports.
class PinnedBuffer : NoCopy {
 public:
  ~PinnedBuffer() {
    if (pinned_) PyBuffer_Release(&view_);
  }
  // Keeps the buffer when `accept(view)` holds.
  template <class Accept>
  bool pin(PyObject* o, Accept&& accept) {
    if (PyObject_GetBuffer(o, &view_, PyBUF_FORMAT | PyBUF_STRIDES) < 0) {
      PyErr_Clear();
      return false;
    }
    if (!accept(view_)) {
      PyBuffer_Release(&view_);
      return false;
    }
    pinned_ = true;
    return true;
  }
  bool pinned() const { return pinned_; }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool pinned_ = false;
};

// The bytes of a blob. Exact bytes, bytearray and one-dimensional unsigned-byte memoryviews
// are read in place through the buffer protocol, which also pins a bytearray's size until
// the call ends; this yields exactly what iterating them would. Anything else is collected
// item by item.
class ByteBuffer {
 public:
  operator std::span<const uint8_t>() const {
    if (buffer_.pinned()) {
      const Py_buffer& v = buffer_.view();
      return {static_cast<const uint8_t*>(v.buf), static_cast<size_t>(v.len)};
    }
    return {owned_.data(), owned_.size()};
  }

  bool pin(PyObject* o) {
    if (!PyBytes_CheckExact(o) && !PyByteArray_CheckExact(o) &&
        !Py_IS_TYPE(o, &PyMemoryView_Type)) {
      return false;
    }
    return buffer_.pin(o, [](const Py_buffer& v) {
      return v.ndim == 1 && v.itemsize == 1 &&
             (v.format == nullptr || std::strcmp(v.format, "B") == 0) &&
             (v.strides == nullptr || v.strides[0] == 1);
    });
  }
  std::vector<uint8_t>& owned() { return owned_; }

 private:
  PinnedBuffer buffer_;
  std::vector<uint8_t> owned_;
};

template <>
struct SequenceOf<Byte> {
  using type = ByteBuffer;
  static bool from_python(PyObject* o, type& out) {
    if (out.pin(o)) return true;
    return SequenceOf<Item>::from_python(o, out.owned());
  }

 private:
  // Anything else takes the general sequence kind, item by item.
  struct Item : Byte {};
};

// A native-order buffer of C floats or doubles, as the buffer protocol describes it.
enum class FloatFormat { None, Float, Double };

// A memoryview iterates only the '@' prefix; numpy arrays iterate any native-order one.
inline FloatFormat float_format(const Py_buffer& view, bool any_native_prefix) {
  const char* f = view.format ? view.format : "B";
  if (*f == '@' || (any_native_prefix &&
                    (*f == '=' || (std::endian::native == std::endian::little && *f == '<'))))
    ++f;
  if (f[0] == 'f' && f[1] == '\0' && view.itemsize == 4) return FloatFormat::Float;
  if (f[0] == 'd' && f[1] == '\0' && view.itemsize == 8) return FloatFormat::Double;
  return FloatFormat::None;
}

// Exact numpy arrays, array.array and memoryview: the types whose items, iterated, are
// exactly the floats their buffer holds. Subclasses may override iteration.
bool is_float_buffer_type(PyObject* o);

// A pinned view of a float buffer with `ndim` dimensions, or false (no exception) when
// the object must take the item-by-item path.
class FloatBuffer {
 public:
  bool pin(PyObject* o, int ndim) {
    if (!is_float_buffer_type(o)) return false;
    return buffer_.pin(o, [&](const Py_buffer& v) {
      format_ = v.ndim == ndim ? float_format(v, !PyMemoryView_Check(o)) : FloatFormat::None;
      return format_ != FloatFormat::None;
    });
  }
  const Py_buffer& view() const { return buffer_.view(); }
  FloatFormat format() const { return format_; }
  Py_ssize_t stride(int dim) const {
    const Py_buffer& v = buffer_.view();
    if (v.strides) return v.strides[dim];
    return (dim == 0 && v.ndim == 2 ? v.shape[1] : 1) * v.itemsize;
  }
  // C order without gaps, so the items can be read as one array.
  bool row_major() const {
    const Py_buffer& v = buffer_.view();
    Py_ssize_t expected = v.itemsize;
    for (int d = v.ndim - 1; d >= 0; --d) {
      if (v.shape[d] > 1 && stride(d) != expected) return false;
      expected *= v.shape[d];
    }
    return true;
  }
  // Item j of row i (ndim 2) or item j (ndim 1, i = 0), as the item rule would read it.
  template <class T>
  T at(Py_ssize_t i, Py_ssize_t j) const {
    const Py_buffer& v = buffer_.view();
    const char* p = static_cast<const char*>(v.buf) + j * stride(v.ndim - 1);
    if (v.ndim == 2) p += i * stride(0);
    if (format_ == FloatFormat::Float) {
      float f;
      std::memcpy(&f, p, sizeof f);
      return static_cast<T>(f);
    }
    double d;
    std::memcpy(&d, p, sizeof d);
    return static_cast<T>(d);
  }

 private:
  PinnedBuffer buffer_;
  FloatFormat format_ = FloatFormat::None;
};

}  // namespace quor::frame
