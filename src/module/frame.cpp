#include "module/frame.hpp"

#include <cstring>
#include <initializer_list>
#include <string>

#include "module/texts.hpp"

namespace quor::frame {

namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      out += names.size() == 2 ? texts::kListPair
                               : (i + 1 == names.size() ? texts::kListLast : texts::kListNext);
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

void type_error(const std::string& message) { raise_text(PyExc_TypeError, message); }

// `pattern` filled with `parts`, then with the str `last` put in as it is at its last slot.
PyObject* fill_with_str(std::string_view pattern, std::initializer_list<std::string_view> parts,
                        PyObject* last) {
  const size_t slot = pattern.rfind("{}");
  const std::string head = texts::fill(pattern.substr(0, slot), parts);
  const std::string tail(pattern.substr(slot + 2));
  return PyUnicode_FromFormat("%s%U%s", head.c_str(), last, tail.c_str());
}

}  // namespace

bool bind(const char* function, const char* const* params, size_t count, PyObject* const* args,
          Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
  // Messages are built only on failure: binding runs on every call.
  if (static_cast<size_t>(nargs) > count) {
    type_error(texts::fill(texts::kTooManyPositional,
                           {function, std::to_string(count), std::to_string(nargs),
                            nargs == 1 ? texts::kWas : texts::kWere}));
    return false;
  }
  for (size_t i = 0; i < count; ++i) bound[i] = i < static_cast<size_t>(nargs) ? args[i] : nullptr;

  Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GetItem(kwnames, k);
    Py_ssize_t len = 0;
    const char* name = PyUnicode_AsUTF8AndSize(key, &len);
    size_t match = count;
    if (name == nullptr) {
      PyErr_Clear();  // a name without UTF-8 form matches nothing
    } else {
      for (size_t i = 0; i < count; ++i) {
        if (std::strlen(params[i]) == static_cast<size_t>(len) &&
            std::memcmp(params[i], name, len) == 0) {
          match = i;
          break;
        }
      }
    }
    if (match == count) {
      py::Ref message(fill_with_str(texts::kUnexpectedKeyword, {function}, key));
      if (message) PyErr_SetObject(PyExc_TypeError, message.get());
      return false;
    }
    if (bound[match] != nullptr) {
      type_error(texts::fill(texts::kMultipleValues, {function, params[match]}));
      return false;
    }
    bound[match] = args[nargs + k];
  }

  std::vector<const char*> missing;
  for (size_t i = 0; i < count; ++i) {
    if (bound[i] == nullptr) missing.push_back(params[i]);
  }
  if (!missing.empty()) {
    type_error(texts::fill(texts::kMissing,
                           {function, std::to_string(missing.size()),
                            missing.size() == 1 ? texts::kArgumentSingular : texts::kArgumentPlural,
                            quoted_list(missing)}));
    return false;
  }
  return true;
}

void wrap_argument_error(const char* param) {
  if (!PyErr_Occurred()) {
    py::ensure_error();
    return;
  }
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  py::Ref t(type), v(value), tb(traceback);
  py::Ref text(v ? PyObject_Str(v.get()) : PyUnicode_FromString(""));
  if (!text) return;
  py::Ref message(fill_with_str(texts::kInArgument, {param}, text.get()));
  if (!message) return;
  py::Ref wrapped(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!wrapped) return;
  if (v) {
    if (PyObject* cause = PyException_GetCause(v.get())) {
      PyException_SetCause(wrapped.get(), cause);  // steals the new reference
    }
  }
  PyErr_SetObject(PyExc_TypeError, wrapped.get());
}

PyObject* raise(const Error& error) { return raise_text(PyExc_ValueError, error.message); }

PyObject* raise_text(PyObject* type, std::string_view message) {
  // Messages may hold NUL bytes, so the str is built from the full length.
  if (py::Ref text{PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                        "replace")}) {
    PyErr_SetObject(type, text.get());
  }
  return nullptr;
}

PyObject* panic(std::string_view message) {
  static PyObject* panic_type = nullptr;
  if (panic_type == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc(texts::kPanicName, texts::kPanicDoc, PyExc_BaseException,
                                           nullptr);
    if (panic_type == nullptr) Py_FatalError(texts::kPanicTypeFailed);
  }
  return raise_text(panic_type, message.empty() ? texts::kInternalFailure : message);
}

PyObject* result_failed() {
  if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
  std::string message(texts::kResultFailed);
  if (PyErr_Occurred()) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    py::Ref t(type), v(value), tb(traceback);
    if (py::Ref text{v ? PyObject_Str(v.get()) : nullptr}) {
      Py_ssize_t n = 0;
      if (const char* p = PyUnicode_AsUTF8AndSize(text.get(), &n)) {
        message = texts::fill(texts::kResultFailedWith, {std::string_view(p, n)});
      }
    }
    PyErr_Clear();
  }
  return panic(message);
}

}  // namespace quor::frame
