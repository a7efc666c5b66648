// Every text a JSON read can fail with, and where it is placed: built only once a read has
// failed.
#include <algorithm>
#include <iterator>
#include <string>

#include "json/float_text.hpp"
#include "json/reader.hpp"
#include "json/scan.hpp"

namespace quor::json::detail {
namespace {

constexpr const char* kMessages[] = {
    "EOF while parsing a value",
    "EOF while parsing a list",
    "EOF while parsing an object",
    "EOF while parsing a string",
    "expected value",
    "expected ident",
    "expected `:`",
    "expected `,` or `]`",
    "expected `,` or `}`",
    "key must be a string",
    "trailing comma",
    "trailing characters",
    "invalid number",
    "number out of range",
    "invalid escape",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "lone leading surrogate in hex escape",
    "unexpected end of hex escape",
    "invalid unicode code point",
    "recursion limit exceeded",
    "",
};
static_assert(std::size(kMessages) == kInvalidType + 1, "one text per failure");

void append_hex(std::string& out, unsigned cp) {
  char buf[8];
  int n = 0;
  do {
    buf[n++] = "0123456789abcdef"[cp & 0xf];
    cp >>= 4;
  } while (cp != 0);
  out += "\\u{";
  while (n > 0) out += buf[--n];
  out += '}';
}

// How a typed-read failure names a string it found.
std::string describe_string(std::string_view s) {
  std::string out = "string \"";
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case 0:
        out += "\\0";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      default:
        break;
    }
    if (c < 0x20 || c == 0x7f) {
      append_hex(out, c);
    } else if (c == 0xc2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(s[i + 1]) <= 0x9f) {
      append_hex(out, static_cast<unsigned char>(s[i + 1]));
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
  return out;
}

std::string describe(const JsonDocument& v) {
  char buf[64];
  switch (v.kind()) {
    case Kind::Null:
      return "null";
    case Kind::False:
      return "boolean `false`";
    case Kind::True:
      return "boolean `true`";
    case Kind::UInt:
      return "integer `" + std::to_string(v.u()) + "`";
    case Kind::NegInt:
      return "integer `" + std::to_string(v.i()) + "`";
    case Kind::Float: {
      char* end = format_double(v.d(), buf);
      return "floating point `" + std::string(buf, end) + "`";
    }
    case Kind::String:
      return describe_string(v.str());
    case Kind::Array:
      return "sequence";
    case Kind::Object:
      return "map";
  }
  return "";
}

}  // namespace

const char* message_text(Msg m) { return kMessages[m]; }

JsonError error_at(std::string_view input, size_t consumed, Msg m, std::string_view type_message) {
  JsonError e;
  e.message = m == kInvalidType ? std::string(type_message) : message_text(m);
  size_t line_start = consumed;
  while (line_start > 0 && input[line_start - 1] != '\n') --line_start;
  e.line = 1 + static_cast<size_t>(std::count(input.begin(), input.begin() + line_start, '\n'));
  e.column = consumed - line_start;
  return e;
}

std::string type_mismatch(const JsonDocument& found, const char* expected) {
  return "invalid type: " + describe(found) + ", expected " + expected;
}

}  // namespace quor::json::detail

namespace quor::json {

std::string JsonError::text() const {
  if (line == 0) return message;
  std::string out = message;
  out += " at line ";
  out += std::to_string(line);
  out += " column ";
  out += std::to_string(column);
  return out;
}

}  // namespace quor::json
