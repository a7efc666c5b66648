// The out-of-line helpers of the argument kinds.
#include "module/converters.hpp"

#include <string>

#include "module/buffers.hpp"
#include "module/frame.hpp"

namespace quor::frame {

namespace {

// Qualified name of the object's type, as conversion messages give it.
std::string type_name(PyObject* o) {
  py::Ref name(PyType_GetQualName(Py_TYPE(o)));
  if (name) {
    Py_ssize_t n = 0;
    if (const char* p = PyUnicode_AsUTF8AndSize(name.get(), &n)) return std::string(p, n);
  }
  PyErr_Clear();
  return texts::kUnnamedType;
}

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

bool fail_conversion(PyObject* o, const char* target) {
  raise_text(PyExc_TypeError, texts::fill(texts::kNotConvertible, {type_name(o), target}));
  return false;
}

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

}  // namespace quor::frame
