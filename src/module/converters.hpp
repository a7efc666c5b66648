// One converter per argument kind. Each turns a borrowed Python object into plain
// call-owned data, or returns false with a Python exception pending. Nothing here
// knows which function or parameter it serves; the frame adds that.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "module/python.hpp"

namespace quor::frame {

// Qualified name of the object's type, as used in conversion messages.
std::string type_name(PyObject* o);
// TypeError "'{type name}' object cannot be converted to '{target}'".
bool fail_conversion(PyObject* o, const char* target);

// str -> its UTF-8 bytes, read in place for the length of the call.
struct Text {
  using type = std::string_view;
  static bool convert(PyObject* o, type& out) {
    if (!PyUnicode_CheckExact(o) && !PyUnicode_Check(o)) return fail_conversion(o, "PyString");
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(o, &n);
    if (p == nullptr) return false;
    out = std::string_view(p, static_cast<size_t>(n));
    return true;
  }
};

// As Text, copied into storage the operation owns.
struct OwnedText {
  using type = std::string;
  static bool convert(PyObject* o, type& out) {
    std::string_view view;
    if (!Text::convert(o, view)) return false;
    out.assign(view.data(), view.size());
    return true;
  }
};

struct Real {
  using type = double;
  static bool convert(PyObject* o, type& out) {
    out = PyFloat_AsDouble(o);
    return !(out == -1.0 && PyErr_Occurred());
  }
};

struct SingleReal {
  using type = float;
  static bool convert(PyObject* o, type& out) {
    double d;
    if (!Real::convert(o, d)) return false;
    out = static_cast<float>(d);
    return true;
  }
};

struct Count {
  using type = uint64_t;
  static bool convert(PyObject* o, type& out) {
    py::Ref index;
    if (!PyLong_Check(o)) {
      index = py::Ref(PyNumber_Index(o));
      if (!index) return false;
      o = index.get();
    }
    out = PyLong_AsUnsignedLongLong(o);
    return !(out == static_cast<uint64_t>(-1) && PyErr_Occurred());
  }
};

struct Byte {
  using type = uint8_t;
  static bool convert(PyObject* o, type& out) {
    long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0 || v > 255) {
      PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
      return false;
    }
    out = static_cast<uint8_t>(v);
    return true;
  }
};

struct TextPair {
  using type = std::pair<std::string, std::string>;
  // The two items as views, item 0 converted first.
  static bool convert_views(PyObject* o, std::string_view& first, std::string_view& second) {
    if (!PyTuple_CheckExact(o) && !PyTuple_Check(o)) return fail_conversion(o, "PyTuple");
    Py_ssize_t n = PyTuple_Size(o);
    if (n != 2) {
      if (n < 0) return false;
      PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", n);
      return false;
    }
    return Text::convert(PyTuple_GetItem(o, 0), first) &&
           Text::convert(PyTuple_GetItem(o, 1), second);
  }
  static bool convert(PyObject* o, type& out) {
    std::string_view first, second;
    if (!convert_views(o, first, second)) return false;
    out.first.assign(first.data(), first.size());
    out.second.assign(second.data(), second.size());
    return true;
  }
};

namespace detail {

// The reported length only pre-sizes storage; a wrong, failing or absurd length must
// neither fail the call nor exhaust memory.
template <class V>
void reserve_hint(PyObject* o, V& out) {
  Py_ssize_t hint = PySequence_Size(o);
  if (hint < 0) {
    PyErr_Clear();
    return;
  }
  constexpr Py_ssize_t kMaxHint = Py_ssize_t{1} << 20;
  try {
    out.reserve(static_cast<size_t>(hint < kMaxHint ? hint : kMaxHint));
  } catch (const std::bad_alloc&) {
  }
}

// The common checks of every sequence kind; false with an exception pending.
inline bool check_sequence(PyObject* o) {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(o)) return fail_conversion(o, "Sequence");
  return true;
}

// Calls `each(item)` for every item, stopping at the first false.
template <class Each>
bool for_each_item(PyObject* o, Each&& each) {
  // Exact lists and tuples are walked by index; a list is re-measured at every step, as
  // its own iterator does, so a converter that mutates it sees the same items.
  if (PyList_CheckExact(o)) {
    for (Py_ssize_t i = 0; i < PyList_Size(o); ++i) {
      py::Ref item(Py_NewRef(PyList_GetItem(o, i)));
      if (!each(item.get())) return false;
    }
    return true;
  }
  if (PyTuple_CheckExact(o)) {
    Py_ssize_t n = PyTuple_Size(o);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!each(PyTuple_GetItem(o, i))) return false;
    }
    return true;
  }
  py::Ref it(PyObject_GetIter(o));
  if (!it) return false;
  while (py::Ref item{PyIter_Next(it.get())}) {
    if (!each(item.get())) return false;
  }
  return !PyErr_Occurred();
}

}  // namespace detail

template <class Item>
struct SequenceOf {
  using type = std::vector<typename Item::type>;
  static bool convert(PyObject* o, type& out) {
    if (!detail::check_sequence(o)) return false;
    detail::reserve_hint(o, out);
    return detail::for_each_item(
        o, [&](PyObject* item) { return Item::convert(item, out.emplace_back()); });
  }
};

// The bytes of a blob. Exact bytes, bytearray and one-dimensional unsigned-byte memoryviews
// are read in place through the buffer protocol, which also pins a bytearray's size until
// the call ends; this yields exactly what iterating them would. Anything else is collected
// item by item.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() {
    if (pinned_) PyBuffer_Release(&view_);
  }

  operator std::span<const uint8_t>() const {
    if (pinned_) return {static_cast<const uint8_t*>(view_.buf), static_cast<size_t>(view_.len)};
    return {owned_.data(), owned_.size()};
  }

  bool pin(PyObject* o) {
    if (!PyBytes_CheckExact(o) && !PyByteArray_CheckExact(o) &&
        !Py_IS_TYPE(o, &PyMemoryView_Type)) {
      return false;
    }
    if (PyObject_GetBuffer(o, &view_, PyBUF_FORMAT | PyBUF_STRIDES) < 0) {
      PyErr_Clear();  // e.g. a released view: iteration reports it
      return false;
    }
    bool plain = view_.ndim == 1 && view_.itemsize == 1 &&
                 (view_.format == nullptr || std::strcmp(view_.format, "B") == 0) &&
                 (view_.strides == nullptr || view_.strides[0] == 1);
    if (!plain) {
      PyBuffer_Release(&view_);
      return false;
    }
    pinned_ = true;
    return true;
  }
  std::vector<uint8_t>& owned() { return owned_; }

 private:
  Py_buffer view_{};
  bool pinned_ = false;
  std::vector<uint8_t> owned_;
};

template <>
struct SequenceOf<Byte> {
  using type = ByteBuffer;
  static bool convert(PyObject* o, type& out) {
    if (out.pin(o)) return true;
    if (!detail::check_sequence(o)) return false;
    std::vector<uint8_t>& bytes = out.owned();
    detail::reserve_hint(o, bytes);
    return detail::for_each_item(
        o, [&](PyObject* item) { return Byte::convert(item, bytes.emplace_back()); });
  }
};

}  // namespace quor::frame
