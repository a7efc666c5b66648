// The calling frame: binding, conversion in parameter order, error wrapping, the call,
// result building and the guard. Written once; a function is one declaration:
//
//   using PlanSupersteps = Function<"plan_supersteps",
//       "Plan BSP supersteps for the given nodes and edges.", &scheduler::plan,
//       Param<"nodes", SequenceOf<NameView>>, Param<"edges", SequenceOf<NamePairView>>>;
//
// The docstring with its text signature, "plan_supersteps(nodes, edges)\n--\n\n...", is
// built from that at compile time. The argument kinds are in converters.hpp and the files
// it names.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/result.hpp"
#include "module/python.hpp"

namespace quor::frame {

template <class... K>
struct Kinds {};

// A string literal usable as a template argument.
template <size_t N>
struct Literal {
  char text[N]{};
  constexpr Literal(const char (&s)[N]) {
    for (size_t i = 0; i < N; ++i) text[i] = s[i];
  }
  static constexpr size_t size = N - 1;
};

template <Literal N, class K>
struct Param {
  static constexpr const char* name = N.text;
  static constexpr size_t name_size = N.size;
  using kind = K;
};

namespace detail {

// "name(a, b)\n--\n\ndescription", NUL-terminated.
template <Literal Name, Literal Description, class... P>
struct Docstring {
  static constexpr size_t size = [] {
    size_t n = Name.size + 2 + Description.size + 5;  // "(" ")" and "\n--\n\n"
    ((n += P::name_size + 2), ...);
    return n - (sizeof...(P) > 0 ? 2 : 0);
  }();
  static constexpr std::array<char, size + 1> text = [] {
    std::array<char, size + 1> out{};
    size_t at = 0;
    auto put = [&](const char* s, size_t n) {
      for (size_t i = 0; i < n; ++i) out[at++] = s[i];
    };
    put(Name.text, Name.size);
    put("(", 1);
    bool first = true;
    ((put(", ", first ? 0 : 2), first = false, put(P::name, P::name_size)), ...);
    put(")\n--\n\n", 6);
    put(Description.text, Description.size);
    return out;
  }();
};

}  // namespace detail

// One function of the module: its name, description, operation and parameters.
template <Literal Name, Literal Description, auto Op, class... P>
struct Function {
  static constexpr const char* name = Name.text;
  static constexpr const char* doc = detail::Docstring<Name, Description, P...>::text.data();
  static constexpr std::array<const char*, sizeof...(P)> params{P::name...};
  using kinds = Kinds<typename P::kind...>;
  static constexpr auto op = Op;
  static_assert(std::is_invocable_v<decltype(Op), typename P::kind::type&...>,
                "the operation must accept the converted arguments");
};

// Binds positional and keyword arguments to `bound` (borrowed references).
bool bind(const char* function, const char* const* params, size_t count, PyObject* const* args,
          Py_ssize_t nargs, PyObject* kwnames, PyObject** bound);

// Replaces a pending exact TypeError with "argument '{param}': {text}", keeping __cause__.
void wrap_argument_error(const char* param);

// Raises an operation's error; always returns nullptr.
PyObject* raise(const Error& error);
// Raises `type` with the whole of `message` (embedded NULs included); returns nullptr.
PyObject* raise_text(PyObject* type, std::string_view message);

// Raises PanicException (created on first need); always returns nullptr.
PyObject* panic(std::string_view message);

// Result building. A failure here is an internal one (the caller panics), except that an
// exhausted interpreter heap stays a MemoryError.
inline PyObject* to_python(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}
inline PyObject* to_python(const std::string& s) { return to_python(std::string_view(s)); }
// Any owned text that views as a string_view (a fixed-size digest, say).
template <class T>
  requires std::is_convertible_v<const T&, std::string_view> && (!std::is_same_v<T, std::string>) &&
           (!std::is_same_v<T, std::string_view>)
PyObject* to_python(const T& text) {
  return to_python(static_cast<std::string_view>(text));
}
inline PyObject* to_python(const Bytes& b) {
  return PyBytes_FromStringAndSize(b.data.data(), static_cast<Py_ssize_t>(b.data.size()));
}
inline PyObject* to_python(double d) { return PyFloat_FromDouble(d); }
inline PyObject* to_python(float f) { return PyFloat_FromDouble(static_cast<double>(f)); }
inline PyObject* to_python(uint64_t u) { return PyLong_FromUnsignedLongLong(u); }

template <class T>
PyObject* to_python(const std::optional<T>& v) {
  if (!v) return Py_NewRef(Py_None);
  return to_python(*v);
}

template <class A, class B>
PyObject* to_python(const std::pair<A, B>& p) {
  py::Ref tuple(PyTuple_New(2));
  if (!tuple) return nullptr;
  PyObject* first = to_python(p.first);
  if (!first || PyTuple_SetItem(tuple.get(), 0, first) < 0) return nullptr;
  PyObject* second = to_python(p.second);
  if (!second || PyTuple_SetItem(tuple.get(), 1, second) < 0) return nullptr;
  return tuple.release();
}

template <class T>
PyObject* to_python(const std::vector<T>& items) {
  py::Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* item = to_python(items[i]);
    if (!item || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item) < 0) return nullptr;
  }
  return list.release();
}

PyObject* result_failed();

namespace detail {

template <class T>
inline constexpr bool is_result = false;
template <class T, class E>
inline constexpr bool is_result<Result<T, E>> = true;

// A result that refers to its first argument (names given as positions in it, say) is
// built with that argument's converted value; any other result on its own. The two-argument
// to_python for such a result is declared beside its function table (the plan's is in
// module.cpp) and is found here by argument-dependent lookup, at instantiation.
template <class R, class... V>
PyObject* build(const R& result, const std::tuple<V...>& values) {
  if constexpr (requires { to_python(result, std::get<0>(values)); }) {
    return to_python(result, std::get<0>(values));
  } else {
    return to_python(result);
  }
}

template <class F, class... K, size_t... I>
PyObject* call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Kinds<K...>,
               std::index_sequence<I...>) {
  constexpr size_t N = sizeof...(K);
  static_assert(N == F::params.size());
  PyObject* bound[N];
  if (kwnames == nullptr && static_cast<size_t>(nargs) == N) {
    // The common call: every argument by position, nothing to match.
    for (size_t i = 0; i < N; ++i) bound[i] = args[i];
  } else if (!bind(F::name, F::params.data(), N, args, nargs, kwnames, bound)) {
    return nullptr;
  }

  // Converted values live until the result is built, so results may view into them.
  std::tuple<typename K::type...> values;
  bool converted = true;
  ((converted = converted && (K::from_python(bound[I], std::get<I>(values)) ||
                              (wrap_argument_error(F::params[I]), false))),
   ...);
  if (!converted) return nullptr;

  auto result = std::apply(F::op, values);
  PyObject* out;
  if constexpr (is_result<decltype(result)>) {
    if (!result.ok()) return raise(result.error());
    out = build(result.value(), values);
  } else {
    out = build(result, values);  // an operation that cannot fail
  }
  return out ? out : result_failed();
}

}  // namespace detail

// The entry of every function: METH_FASTCALL | METH_KEYWORDS, never lets a C++ exception
// reach the interpreter.
template <class F>
PyObject* entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
  try {
    return detail::call<F>(args, nargs, kwnames, typename F::kinds{},
                           std::make_index_sequence<F::params.size()>{});
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return panic(e.what());
  } catch (...) {
    return panic("internal failure");
  }
}

}  // namespace quor::frame
