// The one place that brings in the interpreter's headers, always under the stable ABI.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "module/texts.hpp"

namespace quor::py {

// Owned reference; released on scope exit so that every early return stays balanced.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* p) : p_(p) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    Py_XDECREF(std::exchange(p_, std::exchange(o.p_, nullptr)));
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// An interpreter call failed: make sure an exception is pending before returning null.
inline void ensure_error() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, frame::texts::kNoErrorSet);
  }
}

}  // namespace quor::py
