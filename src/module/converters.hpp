// What every argument kind shares. A kind is a struct with `type` (the call-owned value it
// makes) and `from_python(PyObject*, type&)`, which turns a borrowed object into that value
// or returns false with a Python exception pending. Nothing here knows which function or
// parameter it serves; the frame adds that. The kinds live in files of their own:
// scalars.hpp, sequences.hpp, buffers.hpp, reals.hpp and matrices.hpp.
#pragma once

#include <new>

#include "module/python.hpp"
#include "module/texts.hpp"

namespace quor::frame {

// What a converted value holds for the call (references, pinned buffers) is never copied.
struct NoCopy {
  NoCopy() = default;
  NoCopy(const NoCopy&) = delete;
  NoCopy& operator=(const NoCopy&) = delete;
};

// TypeError "'{type name}' object cannot be converted to '{target}'"; returns false.
bool fail_conversion(PyObject* o, const char* target);

// The checks every sequence kind makes first; false with an exception pending.
inline bool check_sequence(PyObject* o) {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, texts::kStrIsNoSequence);
    return false;
  }
  if (!PySequence_Check(o)) return fail_conversion(o, texts::kTargetSequence);
  return true;
}

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

}  // namespace quor::frame
