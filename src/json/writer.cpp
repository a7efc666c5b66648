#include <algorithm>
#include <cstring>
#include <string>

#include "json/digits.hpp"
#include "json/float_text.hpp"
#include "json/json.hpp"
#include "json/output.hpp"
#include "json/scan.hpp"

namespace quor::json {

namespace {

using detail::copy_bytes;
using detail::decimal_length;
using detail::put_digits;

// Needs room for 20 bytes.
inline char* format_uint(uint64_t x, char* out) {
  if (x < 10) {
    *out = static_cast<char>('0' + x);
    return out + 1;
  }
  int n = decimal_length(x);
#if QUOR_SIMD
  if (n <= 8) {
    uint64_t digits = detail::ascii8(static_cast<uint32_t>(x), n);
    std::memcpy(out, &digits, 8);
    return out + n;
  }
#endif
  put_digits(x, out, n);
  return out + n;
}

inline bool is_integer(Kind k) {
  static_assert(static_cast<int>(Kind::NegInt) == static_cast<int>(Kind::UInt) + 1);
  return static_cast<unsigned>(k) - static_cast<unsigned>(Kind::UInt) <= 1;
}

// Either integer form. Signs mix at random in real data, so the '-' is written without
// a branch: always stored, kept only for a negative.
inline char* format_integer(const JsonDocument& v, char* out) {
  uint64_t negative = v.kind() == Kind::NegInt;
  uint64_t magnitude = (v.u() ^ (0 - negative)) + negative;
  *out = '-';
  return format_uint(magnitude, out + negative);
}

// Writes through a raw cursor into the buffer's own storage (detail::Output).
class Writer {
 public:
  explicit Writer(Buffer& out) : out_(out) {}

  void write(const JsonDocument& v) {
    char* p = out_.start(16);
    p = value(v, p);
    out_.finish(p);
  }

 private:
  char* room(char* p, size_t n) { return out_.room(p, n); }

  char* value(const JsonDocument& v, char* p);
  char* string(const JsonDocument& v, char* p);
  char* array(const JsonDocument& v, char* p);
  char* object(const JsonDocument& v, char* p);
  char* escaped(const char* s, const char* end, char* p);

  detail::Output out_;
};

char* Writer::escaped(const char* s, const char* end, char* p) {
  for (;;) {
    const char* r = detail::find_special(s, end);
    size_t run = static_cast<size_t>(r - s);
    p = room(p, run + 8);
    copy_bytes(p, s, run);
    p += run;
    if (r == end) return p;
    p = detail::put_escape(static_cast<unsigned char>(*r), p);
    s = r + 1;
  }
}

inline char* Writer::string(const JsonDocument& v, char* p) {
  size_t n = v.size();
  if (v.flag()) {
    p = room(p, n + 2);
    *p = '"';
    copy_bytes(p + 1, v.s(), n);
    p[n + 1] = '"';
    return p + n + 2;
  }
  p = room(p, 1);
  *p++ = '"';
  p = escaped(v.s(), v.s() + n, p);
  p = room(p, 1);
  *p++ = '"';
  return p;
}

char* Writer::array(const JsonDocument& v, char* p) {
  size_t n = v.size();
  p = room(p, 2);
  *p++ = '[';
  const JsonDocument* items = v.items();
  for (size_t i = 0; i < n; ++i) {
    if (i != 0) {
      p = room(p, 1);
      *p++ = ',';
    }
    Kind k = items[i].kind();
    if (is_integer(k)) {  // runs of integers are common: no call for them
      p = room(p, 32);
      p = format_integer(items[i], p);
    } else if (k == Kind::Float && i + 1 < n && items[i + 1].kind() == Kind::Float) {
      p = room(p, 128);
      p = detail::format_double_pair(items[i].d(), items[i + 1].d(), p);
      ++i;
    } else {
      p = value(items[i], p);
    }
  }
  p = room(p, 1);
  *p++ = ']';
  return p;
}

char* Writer::object(const JsonDocument& v, char* p) {
  size_t n = v.size();
  p = room(p, 2);
  *p++ = '{';
  for (size_t i = 0; i < n; ++i) {
    if (i != 0) {
      p = room(p, 1);
      *p++ = ',';
    }
    p = string(v.members()[i].key, p);
    p = room(p, 1);
    *p++ = ':';
    p = value(v.members()[i].value, p);
  }
  p = room(p, 1);
  *p++ = '}';
  return p;
}

char* Writer::value(const JsonDocument& v, char* p) {
  switch (v.kind()) {
    case Kind::Null:
      p = room(p, 4);
      std::memcpy(p, "null", 4);
      return p + 4;
    case Kind::False:
      p = room(p, 5);
      std::memcpy(p, "false", 5);
      return p + 5;
    case Kind::True:
      p = room(p, 4);
      std::memcpy(p, "true", 4);
      return p + 4;
    case Kind::UInt:
    case Kind::NegInt:
      p = room(p, 32);
      return format_integer(v, p);
    case Kind::Float:
      p = room(p, 64);
      return detail::format_double(v.d(), p);
    case Kind::String:
      return string(v, p);
    case Kind::Array:
      return array(v, p);
    case Kind::Object:
      return object(v, p);
  }
  return p;
}

}  // namespace

void write_json(const JsonDocument& value, Buffer& out) {
  Writer writer(out);
  writer.write(value);
}

}  // namespace quor::json
