// The scalar kinds: a str, a count, a byte and a pair of strs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "module/converters.hpp"

namespace quor::frame {

// str -> its UTF-8 bytes, read in place for the length of the call.
struct Text {
  using type = std::string_view;
  static bool from_python(PyObject* o, type& out) {
    if (!PyUnicode_CheckExact(o) && !PyUnicode_Check(o)) {
      return fail_conversion(o, texts::kTargetText);
    }
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(o, &n);
    if (p == nullptr) return false;
    out = std::string_view(p, static_cast<size_t>(n));
    return true;
  }
};

struct Count {
  using type = uint64_t;
  static bool from_python(PyObject* o, type& out) {
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
  static bool from_python(PyObject* o, type& out) {
    long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0 || v > 255) {
      PyErr_SetString(PyExc_OverflowError, texts::kByteRange);
      return false;
    }
    out = static_cast<uint8_t>(v);
    return true;
  }
};

// A 2-tuple of str -> both as UTF-8 views, item 0 converted first.
struct TextPair {
  using type = std::pair<std::string_view, std::string_view>;
  // The two items by `Read`, item 0 converted first.
  template <class T, bool (*Read)(PyObject*, T&)>
  static bool read_items(PyObject* o, std::pair<T, T>& out) {
    if (!PyTuple_CheckExact(o) && !PyTuple_Check(o)) {
      return fail_conversion(o, texts::kTargetTuple);
    }
    Py_ssize_t n = PyTuple_Size(o);
    if (n != 2) {
      if (n < 0) return false;
      std::string message = texts::fill(texts::kPairLength, {std::to_string(n)});
      PyErr_SetString(PyExc_ValueError, message.c_str());
      return false;
    }
    return Read(PyTuple_GetItem(o, 0), out.first) && Read(PyTuple_GetItem(o, 1), out.second);
  }
  static bool from_python(PyObject* o, type& out) {
    return read_items<std::string_view, &Text::from_python>(o, out);
  }
};

}  // namespace quor::frame
