// The kinds of reals: a sequence of reals as one array, and a sequence of reals totalled as
// it is read. Both read their items by one rule, read_reals.
#pragma once

#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "cost/cost.hpp"
#include "module/buffers.hpp"
#include "module/converters.hpp"
#include "module/items.hpp"

namespace quor::frame {

// An allocator whose resize leaves new numbers uninitialised: the converters write every
// one of them, and zero-filling a million first costs as much as reading them.
template <class T>
struct NoInit : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = NoInit<U>;
  };
  NoInit() = default;
  template <class U>
  NoInit(const NoInit<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... A>
  void construct(U* p, A&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(args)...);
  }
};

template <class T>
using Numbers = std::vector<T, NoInit<T>>;

// The Real rule: the item's float value (its __float__ or __index__ if it is no float).
// Exact floats in exact lists and tuples, and float buffers, are read directly; they give
// what the rule gives. `sink` takes the values in order: a pinned buffer whole
// (`take(buffer)`), a run of exact floats (`floats(n, walk)`: `walk(put)` calls put(value)
// for each and returns how many it read), or one value (`add(value)`); `hint(o)` is asked
// before iterating anything else. False with an exception pending.
template <class Sink>
bool read_reals(PyObject* o, Sink& sink) {
  {
    FloatBuffer buffer;
    if (buffer.pin(o, 1)) {
      sink.take(buffer);
      return true;
    }
  }
  if (!check_sequence(o)) return false;
  auto each = [&sink](PyObject* item) {
    double d = PyFloat_AsDouble(item);
    if (d == -1.0 && PyErr_Occurred()) return false;
    sink.add(d);
    return true;
  };
  if (!is_exact_list_or_tuple(o)) {
    sink.hint(o);
    return for_each_item(o, TouchNothing{}, each);
  }
  // Reading an exact float runs no Python code: those are walked fixed, up to the first
  // item that is not one.
  Py_ssize_t at = 0;
  sink.floats(ExactItems(o).size(), [&](auto&& put) {
    walk_items<Walk::Fixed>(
        o, at, [](PyObject* item) { return PyFloat_CheckExact(item); },
        [&put](PyObject* item) { put(PyFloat_AsDouble(item)); });
    return at;
  });
  return walk_items<Walk::Live>(o, at, TouchNothing{}, each);
}

// Appends reals to an array, each narrowed to T.
template <class T>
struct AppendReals {
  Numbers<T>& out;

  void take(const FloatBuffer& buffer) {
    const Py_ssize_t n = buffer.view().shape[0];
    if (n == 0) return;  // an empty vector has no storage to copy into
    const size_t base = out.size();
    out.resize(base + static_cast<size_t>(n));
    T* dst = out.data() + base;
    constexpr FloatFormat same = sizeof(T) == 4 ? FloatFormat::Float : FloatFormat::Double;
    if (buffer.format() == same && buffer.row_major()) {
      std::memcpy(dst, buffer.view().buf, static_cast<size_t>(n) * sizeof(T));
    } else if (buffer.format() == FloatFormat::Double && buffer.row_major()) {
      const double* src = static_cast<const double*>(buffer.view().buf);
      for (Py_ssize_t j = 0; j < n; ++j) dst[j] = static_cast<T>(src[j]);
    } else {
      for (Py_ssize_t j = 0; j < n; ++j) dst[j] = buffer.at<T>(0, j);
    }
  }
  template <class Walk>
  void floats(Py_ssize_t n, Walk&& walk) {
    const size_t base = out.size();
    out.resize(base + static_cast<size_t>(n));
    T* dst = out.data() + base;
    const Py_ssize_t read = walk([&dst](double d) { *dst++ = static_cast<T>(d); });
    out.resize(base + static_cast<size_t>(read));
  }
  void add(double d) { out.push_back(static_cast<T>(d)); }
  void hint(PyObject* o) { reserve_hint(o, out); }
};

// Adds reals to a running total, in order as they are read.
struct TotalReals {
  cost::Total& total;

  void take(const FloatBuffer& buffer) {
    const size_t n = static_cast<size_t>(buffer.view().shape[0]);
    if (buffer.format() == FloatFormat::Double && buffer.row_major()) {
      total.add({static_cast<const double*>(buffer.view().buf), n});
    } else {
      total.add_each([&](auto&& add) {
        for (size_t j = 0; j < n; ++j) add(buffer.at<double>(0, static_cast<Py_ssize_t>(j)));
      });
    }
  }
  template <class Walk>
  void floats(Py_ssize_t, Walk&& walk) {
    total.add_each(walk);
  }
  void add(double d) { total.add(d); }
  // Asked as the array of reals asks it, though nothing is stored: __len__ may be observable.
  void hint(PyObject* o) {
    if (PySequence_Size(o) < 0) PyErr_Clear();
  }
};

// A sequence of reals as one array: T is double (the Real rule) or float (Single real: the
// double narrowed with round-to-nearest).
template <class T>
struct RealSequence {
  using type = Numbers<T>;
  static bool from_python(PyObject* o, type& out) {
    AppendReals<T> sink{out};
    return read_reals(o, sink);
  }
};

// A sequence of reals, totalled left to right as it is read.
struct RealTotal {
  using type = cost::Total;
  static bool from_python(PyObject* o, type& out) {
    TotalReals sink{out};
    return read_reals(o, sink);
  }
};

}  // namespace quor::frame
