#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "json/json.hpp"
#include "json/pow10.hpp"
#include "json/scan.hpp"

namespace quor::json {
namespace {

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

constexpr int kDepthBudget = 128;

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

inline bool is_space(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u <= ' ' && ((uint64_t{1} << u) & ((uint64_t{1} << ' ') | (uint64_t{1} << '\n') |
                                            (uint64_t{1} << '\r') | (uint64_t{1} << '\t'))) != 0;
}

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
constexpr HexTable kHex;

// Members of an object, collected in text order, become key-ordered with unique keys; of
// equal keys the one read last stays.
size_t order_members(Member* m, size_t n) {
  size_t i = 1;
  while (i < n && compare_keys(m[i - 1].key.str(), m[i].key.str()) < 0) ++i;
  if (i >= n) return n;
  auto less = [](const Member& a, const Member& b) {
    return compare_keys(a.key.str(), b.key.str()) < 0;
  };
  if (n <= 24) {
    for (; i < n; ++i) {
      Member cur = m[i];
      size_t j = i;
      while (j > 0 && less(cur, m[j - 1])) {
        m[j] = m[j - 1];
        --j;
      }
      m[j] = cur;
    }
  } else {
    std::stable_sort(m, m + n, less);
  }
  size_t w = 0;
  for (size_t k = 0; k < n; ++k) {
    if (k + 1 < n && m[k].key.size() == m[k + 1].key.size() &&
        compare_keys(m[k].key.str(), m[k + 1].key.str()) == 0) {
      continue;
    }
    m[w++] = m[k];
  }
  return w;
}

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
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case 0: out += "\\0"; continue;
      case '\t': out += "\\t"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7f) {
      append_hex(out, c);
    } else if (c == 0xc2 && i + 1 < s.size() &&
               static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
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

std::string describe(const Value& v) {
  char buf[64];
  switch (v.kind()) {
    case Kind::Null: return "null";
    case Kind::False: return "boolean `false`";
    case Kind::True: return "boolean `true`";
    case Kind::UInt: return "integer `" + std::to_string(v.u) + "`";
    case Kind::NegInt: return "integer `" + std::to_string(v.i) + "`";
    case Kind::Float: {
      char* end = detail::format_double(v.d, buf);
      return "floating point `" + std::string(buf, end) + "`";
    }
    case Kind::String: return describe_string(v.str());
    case Kind::Array: return "sequence";
    case Kind::Object: return "map";
  }
  return "";
}

class Reader {
 public:
  Reader(std::string_view input, InputMode mode, Arena& arena)
      : begin_(input.data()),
        p_(input.data()),
        end_(input.data() + input.size()),
        arena_(arena),
        check_utf8_(mode == InputMode::Bytes) {}

  bool document(Value& out) {
    skip_space();
    if (p_ == end_) return fail_next(kEofValue);
    return value(out) && finish();
  }

  bool string_map(StringPairs& out);
  bool value_list(Value& out);

  JsonError error() const {
    JsonError e;
    e.message = error_ == kInvalidType ? type_message_ : kMessages[error_];
    size_t line_start = error_at_;
    while (line_start > 0 && begin_[line_start - 1] != '\n') --line_start;
    e.line = 1 + static_cast<size_t>(std::count(begin_, begin_ + line_start, '\n'));
    e.column = error_at_ - line_start;
    return e;
  }

 private:
  bool value(Value& out);
  bool string(Value& out);
  bool escaped_string(const char* start, const char* backslash, Value& out);
  bool hex4(const char*& p, unsigned& cp);
  bool number(Value& out);
  bool array(Value& out);
  bool object(Value& out);
  bool literal(const char* rest, size_t n);
  bool typed_mismatch(const char* expected);

  bool finish() {
    skip_space();
    if (p_ != end_) return fail_next(kTrailingCharacters);
    return true;
  }

  void skip_space() {
    while (p_ != end_ && is_space(*p_)) ++p_;
  }

  // Error at the last consumed byte (index = bytes consumed).
  [[gnu::cold, gnu::noinline]] bool fail_consumed(Msg m) {
    error_ = m;
    error_at_ = static_cast<size_t>(p_ - begin_);
    return false;
  }
  // Error at the byte not yet consumed (or the last byte at end of input).
  [[gnu::cold, gnu::noinline]] bool fail_next(Msg m) {
    error_ = m;
    error_at_ = static_cast<size_t>(p_ - begin_) + (p_ != end_ ? 1 : 0);
    return false;
  }

  void push(const Value& v) {
    if (top_ == stack_.size()) stack_.resize(stack_.empty() ? 256 : stack_.size() * 2);
    stack_[top_++] = v;
  }

  // Copies the children collected since `base` into one block of the arena.
  Value* pop_block(size_t base) {
    size_t n = top_ - base;
    Value* block = arena_.allocate_array<Value>(n);
    std::memcpy(static_cast<void*>(block), stack_.data() + base, n * sizeof(Value));
    top_ = base;
    return block;
  }

  char* scratch(size_t n) {
    if (scratch_size_ < n) {
      // Decoded text is never longer than the raw text, so one input-sized buffer serves
      // every string of the read.
      size_t size = std::max(n, static_cast<size_t>(end_ - begin_));
      scratch_.reset(new char[size]);
      scratch_size_ = size;
    }
    return scratch_.get();
  }

  const char* const begin_;
  const char* p_;
  const char* const end_;
  Arena& arena_;
  const bool check_utf8_;
  int budget_ = kDepthBudget;
  std::vector<Value> stack_;
  size_t top_ = 0;
  std::unique_ptr<char[]> scratch_;
  size_t scratch_size_ = 0;
  Msg error_ = kEofValue;
  size_t error_at_ = 0;
  std::string type_message_;
};

bool Reader::value(Value& out) {
  switch (*p_) {
    case '"': return string(out);
    case '{': return object(out);
    case '[': return array(out);
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9': return number(out);
    case 'n':
      out = Value::null();
      return literal("null", 4);
    case 't':
      out = Value::boolean(true);
      return literal("true", 4);
    case 'f':
      out = Value::boolean(false);
      return literal("false", 5);
    default: return fail_next(kExpectedValue);
  }
}

bool Reader::literal(const char* word, size_t n) {
  if (static_cast<size_t>(end_ - p_) >= n && std::memcmp(p_, word, n) == 0) {
    p_ += n;
    return true;
  }
  ++p_;
  for (size_t i = 1; i < n; ++i) {
    if (p_ == end_) return fail_consumed(kEofValue);
    if (*p_++ != word[i]) return fail_consumed(kExpectedIdent);
  }
  return true;  // unreachable: the fast path matched
}

bool Reader::string(Value& out) {
  const char* start = ++p_;
  const char* q = detail::find_special(start, end_);
  if (q != end_ && *q == '"') {
    p_ = q + 1;
    size_t n = static_cast<size_t>(q - start);
    if (check_utf8_ && !detail::valid_utf8(start, n)) return fail_consumed(kInvalidCodePoint);
    out = Value::string(start, n, true);
    return true;
  }
  if (q == end_) {
    p_ = end_;
    return fail_consumed(kEofString);
  }
  if (*q == '\\') return escaped_string(start, q, out);
  p_ = q + 1;
  return fail_consumed(kControlCharacter);
}

// Reads four hex digits at p; on success p is past them.
bool Reader::hex4(const char*& p, unsigned& cp) {
  if (end_ - p < 4) {
    p_ = end_;
    return fail_consumed(kEofString);
  }
  const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
  int a = kHex.v[u[0]], b = kHex.v[u[1]], c = kHex.v[u[2]], d = kHex.v[u[3]];
  p += 4;
  if ((a | b | c | d) < 0) {
    p_ = p;
    return fail_consumed(kInvalidEscape);
  }
  cp = static_cast<unsigned>((a << 12) | (b << 8) | (c << 4) | d);
  return true;
}

bool Reader::escaped_string(const char* start, const char* q, Value& out) {
  char* const buf = scratch(static_cast<size_t>(end_ - start));
  size_t prefix = static_cast<size_t>(q - start);
  std::memcpy(buf, start, prefix);
  char* w = buf + prefix;
  bool clean = true;
  const char* p = q;  // at a backslash
  for (;;) {
    ++p;
    if (p == end_) {
      p_ = end_;
      return fail_consumed(kEofString);
    }
    char e = *p++;
    switch (e) {
      case '"': *w++ = '"'; clean = false; break;
      case '\\': *w++ = '\\'; clean = false; break;
      case '/': *w++ = '/'; break;
      case 'b': *w++ = '\b'; clean = false; break;
      case 'f': *w++ = '\f'; clean = false; break;
      case 'n': *w++ = '\n'; clean = false; break;
      case 'r': *w++ = '\r'; clean = false; break;
      case 't': *w++ = '\t'; clean = false; break;
      case 'u': {
        unsigned cp;
        if (!hex4(p, cp)) return false;
        if (cp - 0xd800 < 0x800) {
          if (cp >= 0xdc00) {
            p_ = p;
            return fail_consumed(kLoneSurrogate);
          }
          if (p == end_) {
            p_ = end_;
            return fail_consumed(kEofString);
          }
          if (*p++ != '\\') {
            p_ = p;
            return fail_consumed(kUnexpectedEndOfHex);
          }
          if (p == end_) {
            p_ = end_;
            return fail_consumed(kEofString);
          }
          if (*p++ != 'u') {
            p_ = p;
            return fail_consumed(kUnexpectedEndOfHex);
          }
          unsigned low;
          if (!hex4(p, low)) return false;
          if (low - 0xdc00 >= 0x400) {
            p_ = p;
            return fail_consumed(kLoneSurrogate);
          }
          cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
        }
        if (cp < 0x80) {
          *w++ = static_cast<char>(cp);
          if (cp < 0x20 || cp == '"' || cp == '\\') clean = false;
        } else if (cp < 0x800) {
          *w++ = static_cast<char>(0xc0 | (cp >> 6));
          *w++ = static_cast<char>(0x80 | (cp & 0x3f));
        } else if (cp < 0x10000) {
          *w++ = static_cast<char>(0xe0 | (cp >> 12));
          *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
          *w++ = static_cast<char>(0x80 | (cp & 0x3f));
        } else {
          *w++ = static_cast<char>(0xf0 | (cp >> 18));
          *w++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
          *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
          *w++ = static_cast<char>(0x80 | (cp & 0x3f));
        }
        break;
      }
      default: p_ = p; return fail_consumed(kInvalidEscape);
    }
    const char* r = detail::find_special(p, end_);
    std::memcpy(w, p, static_cast<size_t>(r - p));
    w += r - p;
    if (r == end_) {
      p_ = end_;
      return fail_consumed(kEofString);
    }
    p = r;
    if (*r == '"') break;
    if (*r != '\\') {
      p_ = r + 1;
      return fail_consumed(kControlCharacter);
    }
  }
  p_ = p + 1;
  size_t n = static_cast<size_t>(w - buf);
  if (check_utf8_ && !detail::valid_utf8(buf, n)) return fail_consumed(kInvalidCodePoint);
  char* s = static_cast<char*>(arena_.allocate(n));
  std::memcpy(s, buf, n);
  out = Value::string(s, n, clean);
  return true;
}

// The fixed, not correctly rounded, scaling of a decimal significand.
bool scale(uint64_t significand, int64_t exponent, bool negative, double& out) {
  double f = static_cast<double>(significand);
  while (exponent > 308 || exponent < -308) {
    if (f == 0) break;
    if (exponent > 0) return false;
    f /= 1e308;
    exponent += 308;
  }
  if (f != 0) {
    if (exponent >= 0) {
      f *= detail::kPow10[exponent];
      if (std::isinf(f)) return false;
    } else {
      f /= detail::kPow10[-exponent];
    }
  }
  out = negative ? -f : f;
  return true;
}

bool Reader::number(Value& out) {
  const char* p = p_;
  bool negative = false;
  if (*p == '-') {
    negative = true;
    ++p;
    if (p == end_) {
      p_ = p;
      return fail_consumed(kEofValue);
    }
    if (!is_digit(*p)) {
      p_ = p + 1;
      return fail_consumed(kInvalidNumber);
    }
  }
  constexpr uint64_t kCut = UINT64_MAX / 10;  // 1844674407370955161
  constexpr unsigned kCutDigit = UINT64_MAX % 10;  // 5
  uint64_t s = 0;
  int64_t exponent = 0;
  bool is_float = false;
  if (*p == '0') {
    ++p;
    if (p != end_ && is_digit(*p)) {
      p_ = p;
      return fail_next(kInvalidNumber);
    }
  } else {
    while (p != end_ && is_digit(*p)) {
      unsigned d = static_cast<unsigned>(*p - '0');
      if (s >= kCut && (s > kCut || d > kCutDigit)) {
        // Too many digits: keep the leading ones and count the rest as a scale.
        const char* more = p;
        while (p != end_ && is_digit(*p)) ++p;
        exponent += p - more;
        is_float = true;
        break;
      }
      s = s * 10 + d;
      ++p;
    }
  }
  if (p != end_ && *p == '.') {
    ++p;
    is_float = true;
    if (p == end_) {
      p_ = p;
      return fail_next(kEofValue);
    }
    if (!is_digit(*p)) {
      p_ = p;
      return fail_next(kInvalidNumber);
    }
    do {
      unsigned d = static_cast<unsigned>(*p - '0');
      if (s >= kCut && (s > kCut || d > kCutDigit)) {
        while (p != end_ && is_digit(*p)) ++p;
        break;
      }
      s = s * 10 + d;
      --exponent;
      ++p;
    } while (p != end_ && is_digit(*p));
  }
  if (p != end_ && (*p | 0x20) == 'e') {
    ++p;
    is_float = true;
    bool exp_negative = false;
    if (p != end_ && (*p == '+' || *p == '-')) {
      exp_negative = *p == '-';
      ++p;
    }
    if (p == end_) {
      p_ = p;
      return fail_consumed(kEofValue);
    }
    if (!is_digit(*p)) {
      p_ = p + 1;
      return fail_consumed(kInvalidNumber);
    }
    int32_t e = 0;
    bool overflow = false;
    do {
      int d = *p - '0';
      if (e > INT32_MAX / 10 || (e == INT32_MAX / 10 && d > INT32_MAX % 10)) {
        overflow = true;
        while (p != end_ && is_digit(*p)) ++p;
        break;
      }
      e = e * 10 + d;
      ++p;
    } while (p != end_ && is_digit(*p));
    p_ = p;
    if (overflow) {
      if (s != 0 && !exp_negative) return fail_consumed(kNumberOutOfRange);
      out = Value::real(negative ? -0.0 : 0.0);
      return true;
    }
    exponent += exp_negative ? -int64_t{e} : int64_t{e};
  }
  p_ = p;
  if (!is_float) {
    if (!negative) {
      out = Value::uint(s);
    } else if (s == 0) {
      out = Value::real(-0.0);
    } else if (s <= (uint64_t{1} << 63)) {
      out = Value::negint(static_cast<int64_t>(~s + 1));
    } else {
      out = Value::real(-static_cast<double>(s));
    }
    return true;
  }
  exponent = std::clamp<int64_t>(exponent, INT32_MIN, INT32_MAX);
  double d;
  if (!scale(s, exponent, negative, d)) return fail_consumed(kNumberOutOfRange);
  out = Value::real(d);
  return true;
}

bool Reader::array(Value& out) {
  if (--budget_ == 0) return fail_next(kRecursionLimit);
  ++p_;
  skip_space();
  if (p_ == end_) return fail_next(kEofList);
  if (*p_ == ']') {
    ++p_;
    ++budget_;
    out = Value::array(nullptr, 0, false);
    return true;
  }
  size_t base = top_;
  for (;;) {
    Value item;
    if (!value(item)) return false;
    push(item);
    skip_space();
    if (p_ == end_) return fail_next(kEofList);
    char c = *p_;
    if (c == ',') {
      ++p_;
      skip_space();
      if (p_ == end_) return fail_next(kEofValue);
      if (*p_ == ']') return fail_next(kTrailingComma);
      continue;
    }
    if (c == ']') break;
    return fail_next(kExpectedCommaBracket);
  }
  ++p_;
  ++budget_;
  size_t n = top_ - base;
  out = Value::array(pop_block(base), n, false);
  return true;
}

bool Reader::object(Value& out) {
  if (--budget_ == 0) return fail_next(kRecursionLimit);
  ++p_;
  skip_space();
  if (p_ == end_) return fail_next(kEofObject);
  if (*p_ == '}') {
    ++p_;
    ++budget_;
    out = Value::object(nullptr, 0, false);
    return true;
  }
  if (*p_ != '"') return fail_next(kKeyMustBeString);
  size_t base = top_;
  for (;;) {
    Value key;
    if (!string(key)) return false;
    skip_space();
    if (p_ == end_) return fail_next(kEofObject);
    if (*p_ != ':') return fail_next(kExpectedColon);
    ++p_;
    skip_space();
    if (p_ == end_) return fail_next(kEofValue);
    Value item;
    if (!value(item)) return false;
    push(key);
    push(item);
    skip_space();
    if (p_ == end_) return fail_next(kEofObject);
    char c = *p_;
    if (c == ',') {
      ++p_;
      skip_space();
      if (p_ == end_) return fail_next(kEofValue);
      if (*p_ == '"') continue;
      if (*p_ == '}') return fail_next(kTrailingComma);
      return fail_next(kKeyMustBeString);
    }
    if (c == '}') break;
    return fail_next(kExpectedCommaBrace);
  }
  ++p_;
  ++budget_;
  size_t n = (top_ - base) / 2;
  Member* members = reinterpret_cast<Member*>(pop_block(base));
  out = Value::object(members, order_members(members, n), false);
  return true;
}

// The value at the cursor is not of the kind a typed read wants. Scalars are read whole
// first (a malformed one reports its own error); containers are reported before their
// opening bracket.
bool Reader::typed_mismatch(const char* expected) {
  Value found;
  char c = *p_;
  if (c == '[') {
    found = Value::array(nullptr, 0, false);
  } else if (c == '{') {
    found = Value::object(nullptr, 0, false);
  } else if (!value(found)) {
    return false;
  }
  type_message_ = "invalid type: " + describe(found) + ", expected " + expected;
  return fail_consumed(kInvalidType);
}

bool Reader::string_map(StringPairs& out) {
  skip_space();
  if (p_ == end_) return fail_next(kEofValue);
  if (*p_ != '{') return typed_mismatch("a map");
  --budget_;
  ++p_;
  skip_space();
  if (p_ == end_) return fail_next(kEofObject);
  if (*p_ == '}') {
    ++p_;
    ++budget_;
    return finish();
  }
  if (*p_ != '"') return fail_next(kKeyMustBeString);
  for (;;) {
    Value key;
    if (!string(key)) return false;
    skip_space();
    if (p_ == end_) return fail_next(kEofObject);
    if (*p_ != ':') return fail_next(kExpectedColon);
    ++p_;
    skip_space();
    if (p_ == end_) return fail_next(kEofValue);
    if (*p_ != '"') return typed_mismatch("a string");
    Value item;
    if (!string(item)) return false;
    out.emplace_back(key.str(), item.str());
    skip_space();
    if (p_ == end_) return fail_next(kEofObject);
    char c = *p_;
    if (c == ',') {
      ++p_;
      skip_space();
      if (p_ == end_) return fail_next(kEofValue);
      if (*p_ == '"') continue;
      if (*p_ == '}') return fail_next(kTrailingComma);
      return fail_next(kKeyMustBeString);
    }
    if (c == '}') break;
    return fail_next(kExpectedCommaBrace);
  }
  ++p_;
  ++budget_;
  return finish();
}

bool Reader::value_list(Value& out) {
  skip_space();
  if (p_ == end_) return fail_next(kEofValue);
  if (*p_ != '[') return typed_mismatch("a sequence");
  return array(out) && finish();
}

}  // namespace

Parsed<Value> parse_json(std::string_view input, InputMode mode, Arena& arena) {
  Parsed<Value> result;
  Reader reader(input, mode, arena);
  if (!reader.document(result.value)) {
    result.ok = false;
    result.value = Value::null();
    result.error = reader.error();
  }
  return result;
}

Parsed<StringPairs> read_string_map(std::string_view input, Arena& arena) {
  Parsed<StringPairs> result;
  Reader reader(input, InputMode::Text, arena);
  if (!reader.string_map(result.value)) {
    result.ok = false;
    result.value.clear();
    result.error = reader.error();
  }
  return result;
}

Parsed<Value> read_value_list(std::string_view input, Arena& arena) {
  Parsed<Value> result;
  Reader reader(input, InputMode::Text, arena);
  if (!reader.value_list(result.value)) {
    result.ok = false;
    result.value = Value::null();
    result.error = reader.error();
  }
  return result;
}

}  // namespace quor::json
