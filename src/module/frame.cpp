#include "module/frame.hpp"

#include <cstdio>
#include <cstring>
#include <string>

namespace quor::frame {

std::string type_name(PyObject* o) {
  py::Ref name(PyType_GetQualName(Py_TYPE(o)));
  if (name) {
    Py_ssize_t n = 0;
    if (const char* p = PyUnicode_AsUTF8AndSize(name.get(), &n)) return std::string(p, n);
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

bool fail_conversion(PyObject* o, const char* target) {
  std::string message = "'";
  message.append(type_name(o)).append("' object cannot be converted to '").append(target);
  message += '\'';
  raise_text(PyExc_TypeError, message);
  return false;
}

namespace detail {

namespace {

// Compares a type's module and qualified name; a failed lookup is a mismatch.
bool type_is(PyTypeObject* type, const char* module, const char* qualname) {
  py::Ref name(PyType_GetQualName(type));
  py::Ref mod(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  bool match = name && mod && PyUnicode_Check(mod.get()) &&
               PyUnicode_CompareWithASCIIString(name.get(), qualname) == 0 &&
               PyUnicode_CompareWithASCIIString(mod.get(), module) == 0;
  if (!match) PyErr_Clear();
  return match;
}

}  // namespace

bool is_float_buffer_type(PyObject* o) {
  // Found once by name, then held: the array types are not known when the module builds.
  static PyTypeObject* ndarray = nullptr;
  static PyTypeObject* array = nullptr;
  PyTypeObject* type = Py_TYPE(o);
  if (type == &PyList_Type || type == &PyTuple_Type || type == &PyBytes_Type ||
      type == &PyByteArray_Type) {
    return false;
  }
  if (type == &PyMemoryView_Type || type == ndarray || type == array) return true;
  if (!PyObject_CheckBuffer(o)) return false;
  if (!ndarray && type_is(type, "numpy", "ndarray")) {
    ndarray = reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(type)));
    return true;
  }
  if (!array && type_is(type, "array", "array")) {
    array = reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(type)));
    return true;
  }
  return false;
}

}  // namespace detail

namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

void type_error(const std::string& message) { raise_text(PyExc_TypeError, message); }

}  // namespace

bool bind(const char* function, const char* const* params, size_t count, PyObject* const* args,
          Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
  // Messages are built only on failure: binding runs on every call.
  auto fn = [function] { return std::string(function); };
  if (static_cast<size_t>(nargs) > count) {
    type_error(fn() + "() takes " + std::to_string(count) + " positional arguments but " +
               std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given");
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
      py::Ref message(
          PyUnicode_FromFormat("%s() got an unexpected keyword argument '%U'", function, key));
      if (message) PyErr_SetObject(PyExc_TypeError, message.get());
      return false;
    }
    if (bound[match] != nullptr) {
      type_error(fn() + "() got multiple values for argument '" + params[match] + "'");
      return false;
    }
    bound[match] = args[nargs + k];
  }

  std::vector<const char*> missing;
  for (size_t i = 0; i < count; ++i) {
    if (bound[i] == nullptr) missing.push_back(params[i]);
  }
  if (!missing.empty()) {
    type_error(fn() + "() missing " + std::to_string(missing.size()) + " required positional " +
               (missing.size() == 1 ? "argument: " : "arguments: ") + quoted_list(missing));
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
  py::Ref message(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
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

PyObject* raise(const Error& error) {
  switch (error.kind) {
    case ErrorKind::Value:
      break;
  }
  return raise_text(PyExc_ValueError, error.message);
}

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
    panic_type = PyErr_NewExceptionWithDoc(
        "quor_core.PanicException",
        "A broken internal invariant of quor_core. It derives from BaseException so that it "
        "is not swallowed by ordinary exception handlers.",
        PyExc_BaseException, nullptr);
    if (panic_type == nullptr) Py_FatalError("quor_core: cannot create PanicException");
  }
  return raise_text(panic_type, message.empty() ? std::string_view("internal failure") : message);
}

PyObject* result_failed() {
  if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
  std::string message = "failed to build the result";
  if (PyErr_Occurred()) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    py::Ref t(type), v(value), tb(traceback);
    if (py::Ref text{v ? PyObject_Str(v.get()) : nullptr}) {
      Py_ssize_t n = 0;
      if (const char* p = PyUnicode_AsUTF8AndSize(text.get(), &n)) {
        message += ": ";
        message.append(p, n);
      }
    }
    PyErr_Clear();
  }
  return panic(message);
}

}  // namespace quor::frame
