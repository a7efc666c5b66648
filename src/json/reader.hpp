// The reader's parts, shared by the files it is split into: the hot loop (reader.cpp),
// numbers, escapes, key order and error descriptions. Internal to the JSON layer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/simd.hpp"
#include "json/json.hpp"

namespace quor::json::detail {

// What a read failed on; the texts live with the rest of the error text in errors.cpp.
enum Msg : uint8_t {
  kEofValue,
  kEofList,
  kEofObject,
  kEofString,
  kExpectedValue,
  kExpectedIdent,
  kExpectedColon,
  kExpectedCommaBracket,
  kExpectedCommaBrace,
  kKeyMustBeString,
  kTrailingComma,
  kTrailingCharacters,
  kInvalidNumber,
  kNumberOutOfRange,
  kInvalidEscape,
  kControlCharacter,
  kLoneSurrogate,
  kUnexpectedEndOfHex,
  kInvalidCodePoint,
  kRecursionLimit,
  kInvalidType,  // message built at the failure site
};

// What one step of reading returns: the position after what it read, or (end == nullptr)
// an error reported at `at`, the number of bytes consumed when it was found.
struct Step {
  const char* end;
  const char* at;
  Msg error;

  static Step ok(const char* end) { return {end, nullptr, kEofValue}; }
  static Step fail(const char* at, Msg m) { return {nullptr, at, m}; }
};

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// Hex digit values; -1 for anything else.
struct HexTable {
  int8_t v[256];
  constexpr HexTable() : v() {
    for (int i = 0; i < 256; ++i) v[i] = -1;
    for (int i = 0; i < 10; ++i) v['0' + i] = static_cast<int8_t>(i);
    for (int i = 0; i < 6; ++i) {
      v['a' + i] = static_cast<int8_t>(10 + i);
      v['A' + i] = static_cast<int8_t>(10 + i);
    }
  }
};
inline constexpr HexTable kHex;

// Stores a value with one 16-byte write, so that copying it on (also 16 bytes at a time)
// never waits on two narrower stores.
inline void set(JsonDocument& dst, const JsonDocument& v) {
#if QUOR_SIMD
  simd::store(&dst, simd::from_words(static_cast<uint64_t>(v.tag), v.u()));
#else
  dst = v;
#endif
}

// The fixed text of a failure (empty for kInvalidType, whose text is built on the spot).
const char* message_text(Msg m);

// The error a read ends with: the message, and its line and column in `input`.
JsonError error_at(std::string_view input, size_t consumed, Msg m, std::string_view type_message);

// "invalid type: <what was found>, expected <expected>".
std::string type_mismatch(const JsonDocument& found, const char* expected);

}  // namespace quor::json::detail
