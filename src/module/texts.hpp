// Every text the binding raises or names. Callers match on these texts, and code written
// against earlier builds of this module compares them whole: they are fixed, and are
// written nowhere but here. "{}" marks where fill() puts a part.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace quor::frame::texts {

// Argument conversion. The targets are the names a conversion message gives the kinds.
inline constexpr std::string_view kNotConvertible = "'{}' object cannot be converted to '{}'";
inline constexpr char kTargetText[] = "PyString";
inline constexpr char kTargetTuple[] = "PyTuple";
inline constexpr char kTargetSequence[] = "Sequence";
inline constexpr char kStrIsNoSequence[] = "Can't extract `str` to `Vec`";
inline constexpr std::string_view kPairLength =
    "expected tuple of length 2, but got tuple of length {}";
inline constexpr char kByteRange[] = "out of range integral type conversion attempted";
inline constexpr char kUnnamedType[] = "<failed to extract type name>";

// Binding. A keyword is put into its message as the str it is (it may have no UTF-8 form).
inline constexpr std::string_view kTooManyPositional =
    "{}() takes {} positional arguments but {} {} given";
inline constexpr char kWas[] = "was", kWere[] = "were";
inline constexpr std::string_view kUnexpectedKeyword =
    "{}() got an unexpected keyword argument '{}'";
inline constexpr std::string_view kMultipleValues = "{}() got multiple values for argument '{}'";
inline constexpr std::string_view kMissing = "{}() missing {} required positional {}: {}";
inline constexpr char kArgumentSingular[] = "argument", kArgumentPlural[] = "arguments";
// How a list of missing parameters is joined: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
inline constexpr char kListPair[] = " and ", kListNext[] = ", ", kListLast[] = ", and ";
inline constexpr std::string_view kInArgument = "argument '{}': {}";
inline constexpr char kNoErrorSet[] = "attempted to fetch exception but none was set";

// Results and the guard.
inline constexpr std::string_view kResultFailed = "failed to build the result";
inline constexpr std::string_view kResultFailedWith = "failed to build the result: {}";
inline constexpr char kPanicName[] = "quor_core.PanicException";
inline constexpr char kPanicDoc[] =
    "A broken internal invariant of quor_core. It derives from BaseException so that it is "
    "not swallowed by ordinary exception handlers.";
inline constexpr char kPanicTypeFailed[] = "quor_core: cannot create PanicException";
inline constexpr std::string_view kInternalFailure = "internal failure";

// The module.
inline constexpr char kSubinterpreters[] = "quor_core does not support subinterpreters";
inline constexpr char kInitFailed[] = "module initialisation failed";
inline constexpr char kAllNotList[] = "quor_core.__all__ must be a list";
inline constexpr char kAllAppendFailed[] = "could not append to quor_core.__all__";
inline constexpr char kNameNotStr[] = "function __name__ must be a str";

// `pattern` with each "{}" replaced by the next of `parts`.
inline std::string fill(std::string_view pattern, std::initializer_list<std::string_view> parts) {
  std::string out;
  auto part = parts.begin();
  for (size_t at = 0;;) {
    size_t slot = pattern.find("{}", at);
    if (slot == std::string_view::npos || part == parts.end()) {
      out.append(pattern.substr(at));
      return out;
    }
    out.append(pattern.substr(at, slot - at)).append(*part++);
    at = slot + 2;
  }
}

}  // namespace quor::frame::texts
