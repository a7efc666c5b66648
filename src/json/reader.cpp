#include <algorithm>
#include <bit>
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

// Digits are read eight at a time from integer loads, first character in the lowest byte.
static_assert(std::endian::native == std::endian::little);

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

// Most blocks are a handful of values: copy them without a library call.
inline void copy_values(Value* dst, const Value* src, size_t n) {
#ifdef __SSE2__
  for (size_t i = 0; i < n; ++i) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)));
  }
#else
  std::memcpy(static_cast<void*>(dst), src, n * sizeof(Value));
#endif
}

// Stores a value with one 16-byte write, so that copying it on (also 16 bytes at a time)
// never waits on two narrower stores.
inline void set(Value& dst, const Value& v) {
#ifdef __SSE2__
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&dst),
                   _mm_set_epi64x(static_cast<long long>(v.u), static_cast<long long>(v.tag)));
#else
  dst = v;
#endif
}

// compare_keys(a, b) < 0, inlined: keys usually differ within their first bytes.
inline bool key_less(const Value& a, const Value& b) {
  const unsigned char* x = reinterpret_cast<const unsigned char*>(a.s);
  const unsigned char* y = reinterpret_cast<const unsigned char*>(b.s);
  size_t na = a.size(), nb = b.size();
  size_t n = na < nb ? na : nb;
  for (size_t i = 0; i < n; ++i) {
    if (x[i] != y[i]) return x[i] < y[i];
  }
  return na < nb;
}

inline bool key_equal(const Value& a, const Value& b) {
  return a.size() == b.size() && std::memcmp(a.s, b.s, a.size()) == 0;
}

inline uint64_t key_prefix(const Value& key) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(key.s);
  size_t n = key.size();
  uint64_t x = 0;
  if (n >= 8) {
    std::memcpy(&x, s, 8);
    return __builtin_bswap64(x);
  }
  for (size_t i = 0; i < n; ++i) x |= uint64_t{s[i]} << (56 - 8 * i);
  return x;
}

// Puts the members of each object, collected in text order, in key order with unique keys
// (of equal keys the one read last stays). Objects of one shape tend to come in runs (the
// records of an array), so the last order worked out for each member count is kept and
// reused when the same keys come again in the same order.
class MemberOrder {
 public:
  size_t apply(Member* m, size_t n) {
    size_t i = 1;
    while (i < n && key_less(m[i - 1].key, m[i].key)) ++i;
    if (i >= n) return n;
    Shape& shape = shapes_[n % kShapes];
    if (!same_keys(shape, m, n)) work_out(shape, m, n);
    if (members_.size() < n) members_.resize(n);
    std::copy(m, m + n, members_.data());
    size_t w = shape.order.size();
    for (size_t k = 0; k < w; ++k) m[k] = members_[shape.order[k]];
    return w;
  }

 private:
  static constexpr size_t kShapes = 16;
  static constexpr size_t kRun = 16;

  struct Shape {
    std::vector<std::string_view> keys;  // in text order
    std::vector<uint32_t> order;         // text positions of the members kept, in key order
  };
  // A member's text position with its first eight key bytes as a big-endian number
  // (zero-padded): unequal prefixes order two keys by themselves.
  struct Keyed {
    uint64_t prefix;
    uint32_t index;
  };

  static bool same_keys(const Shape& shape, const Member* m, size_t n) {
    if (shape.keys.size() != n) return false;
    for (size_t k = 0; k < n; ++k) {
      std::string_view key = shape.keys[k];
      if (key.size() != m[k].key.size() || std::memcmp(key.data(), m[k].key.s, key.size()) != 0) {
        return false;
      }
    }
    return true;
  }

  void work_out(Shape& shape, const Member* m, size_t n) {
    // Stable throughout: of equal keys the one earlier in the text comes first.
    auto less = [m](const Keyed& a, const Keyed& b) {
      if (a.prefix != b.prefix) return a.prefix < b.prefix;
      return key_less(m[a.index].key, m[b.index].key);
    };
    if (keyed_.size() < 2 * n) keyed_.resize(2 * n);
    Keyed* from = keyed_.data();
    Keyed* to = from + n;
    for (size_t k = 0; k < n; ++k) from[k] = {key_prefix(m[k].key), static_cast<uint32_t>(k)};
    for (size_t lo = 0; lo < n; lo += kRun) {
      size_t hi = std::min(lo + kRun, n);
      for (size_t k = lo + 1; k < hi; ++k) {
        Keyed cur = from[k];
        size_t j = k;
        while (j > lo && less(cur, from[j - 1])) {
          from[j] = from[j - 1];
          --j;
        }
        from[j] = cur;
      }
    }
    for (size_t width = kRun; width < n; width *= 2) {
      for (size_t lo = 0; lo < n; lo += 2 * width) {
        size_t mid = std::min(lo + width, n), hi = std::min(lo + 2 * width, n);
        size_t a = lo, b = mid, out = lo;
        while (a < mid && b < hi) to[out++] = less(from[b], from[a]) ? from[b++] : from[a++];
        while (a < mid) to[out++] = from[a++];
        while (b < hi) to[out++] = from[b++];
      }
      std::swap(from, to);
    }
    shape.keys.resize(n);
    for (size_t k = 0; k < n; ++k) shape.keys[k] = m[k].key.str();
    shape.order.clear();
    for (size_t k = 0; k < n; ++k) {
      if (k + 1 < n && from[k].prefix == from[k + 1].prefix &&
          key_equal(m[from[k].index].key, m[from[k + 1].index].key)) {
        continue;
      }
      shape.order.push_back(from[k].index);
    }
  }

  Shape shapes_[kShapes];
  std::vector<Keyed> keyed_;
  std::vector<Member> members_;
};

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
    size_t slot = reserve_slot();
    if (!value(slot) || !finish()) return false;
    out = stack_[slot];
    return true;
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
  bool value(size_t slot);
  bool scalar(Value& out);
  bool string(Value& out);
  [[gnu::noinline]] bool escaped_string(const char* start, const char* backslash, Value& out);
  bool hex4(const char*& p, unsigned& cp);
  bool number(Value& out);
  bool number_slow(Value& out);
  bool array(size_t slot);
  bool object(size_t slot);
  bool literal(const char* word, size_t n);
  bool typed_mismatch(const char* expected);

  bool finish() {
    skip_space();
    if (p_ != end_) return fail_next(kTrailingCharacters);
    return true;
  }

  void skip_space() {
    if (p_ == end_ || static_cast<unsigned char>(*p_) > ' ') return;
    // One space, as after a colon in pretty-printed text.
    if (*p_ == ' ' && end_ - p_ > 1 && static_cast<unsigned char>(p_[1]) > ' ') {
      ++p_;
      return;
    }
    skip_space_run();
  }
  [[gnu::noinline]] void skip_space_run();

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

  // Children are read straight into their slot on the scratch stack. A slot is named by
  // its index because reading a container may move the stack.
  size_t reserve_slot() {
    if (top_ == stack_.size()) grow_stack();
    return top_++;
  }
  [[gnu::noinline]] void grow_stack() { stack_.resize(stack_.empty() ? 64 : stack_.size() * 2); }

  // Copies the children collected since `base` into one block of the arena.
  Value* pop_block(size_t base) {
    size_t n = top_ - base;
    Value* block = arena_.allocate_array<Value>(n);
    copy_values(block, stack_.data() + base, n);
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
  MemberOrder member_order_;
  size_t top_ = 0;
  std::unique_ptr<char[]> scratch_;
  size_t scratch_size_ = 0;
  Msg error_ = kEofValue;
  size_t error_at_ = 0;
  std::string type_message_;
};

// Pretty-printed text puts a line feed and a run of indentation between most tokens:
// after the first byte, runs are skipped sixteen bytes at a time.
void Reader::skip_space_run() {
  const char* p = p_;
  if (!is_space(*p)) return;
  ++p;
  if (p == end_ || static_cast<unsigned char>(*p) > ' ') {
    p_ = p;
    return;
  }
#ifdef __SSE2__
  while (end_ - p >= 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i blank = _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8(' ')),
                                 _mm_cmpeq_epi8(x, _mm_set1_epi8('\n')));
    __m128i other_blank = _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('\t')),
                                       _mm_cmpeq_epi8(x, _mm_set1_epi8('\r')));
    __m128i space = _mm_or_si128(blank, other_blank);
    unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(space)) & 0xffff;
    if (other != 0) {
      p_ = p + __builtin_ctz(other);
      return;
    }
    p += 16;
  }
#endif
  while (p != end_ && is_space(*p)) ++p;
  p_ = p;
}

bool Reader::value(size_t slot) {
  char c = *p_;
  if (c == '{') return object(slot);
  if (c == '[') return array(slot);
  return scalar(stack_[slot]);
}

// Anything but a container; nothing is pushed on the stack meanwhile.
bool Reader::scalar(Value& out) {
  switch (*p_) {
    case '"': return string(out);
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
      set(out, Value::null());
      return literal("null", 4);
    case 't':
      set(out, Value::boolean(true));
      return literal("true", 4);
    case 'f':
      set(out, Value::boolean(false));
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
    set(out, Value::string(start, n, true));
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
  set(out, Value::string(s, n, clean));
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

bool Reader::number_slow(Value& out) {
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
      set(out, Value::real(negative ? -0.0 : 0.0));
      return true;
    }
    exponent += exp_negative ? -int64_t{e} : int64_t{e};
  }
  p_ = p;
  if (!is_float) {
    if (!negative) {
      set(out, Value::uint(s));
    } else if (s == 0) {
      set(out, Value::real(-0.0));
    } else if (s <= (uint64_t{1} << 63)) {
      set(out, Value::negint(static_cast<int64_t>(~s + 1)));
    } else {
      set(out, Value::real(-static_cast<double>(s)));
    }
    return true;
  }
  exponent = std::clamp<int64_t>(exponent, INT32_MIN, INT32_MAX);
  double d;
  if (!scale(s, exponent, negative, d)) return fail_consumed(kNumberOutOfRange);
  set(out, Value::real(d));
  return true;
}

constexpr uint64_t kPow10Int[9] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

// The value of eight digit bytes (each already minus '0'), first digit in the lowest byte.
inline uint64_t swar_value(uint64_t x) {
  x = (x * 10) + (x >> 8);
  return (((x & 0x000000ff000000ff) * (100 + (uint64_t{1000000} << 32))) +
          (((x >> 16) & 0x000000ff000000ff) * (1 + (uint64_t{10000} << 32)))) >>
         32;
}

// Accumulates a run of digits into s (wrapping; callers count the digits). Eight bytes
// are looked at together: the run's length within them is found from a mask and the
// digits are shifted to the top, so a run of up to eight costs one step.
inline const char* digits(const char* p, const char* end, uint64_t& s) {
  while (end - p >= 8) {
    uint64_t x;
    std::memcpy(&x, p, 8);
    x ^= 0x3030303030303030;  // digits become 0..9
    // High bit of each byte that is not a digit (carries only run into later bytes).
    uint64_t other = (x | (x + 0x7676767676767676)) & 0x8080808080808080;
    if (other == 0) {
      s = s * 100000000 + swar_value(x);
      p += 8;
      continue;
    }
    int n = __builtin_ctzll(other) >> 3;
    if (n != 0) s = s * kPow10Int[n] + swar_value(x << (64 - 8 * n));
    return p + n;
  }
  while (p != end && is_digit(*p)) {
    s = s * 10 + static_cast<unsigned>(*p - '0');
    ++p;
  }
  return p;
}

// The common shapes (at most 19 significant digits, a short exponent, no error) in one
// pass; everything else is read again by number_slow, which follows every rule exactly.
bool Reader::number(Value& out) {
  const char* p = p_;
  bool negative = *p == '-';
  p += negative;
  if (p == end_ || !is_digit(*p)) return number_slow(out);
  uint64_t s = 0;
  const char* int_start = p;
  if (*p == '0') {
    ++p;
    if (p != end_ && is_digit(*p)) return number_slow(out);
  } else {
    // Integer parts are mostly short: a byte at a time until eight have been seen.
    s = static_cast<unsigned>(*p - '0');
    ++p;
    while (p != end_ && is_digit(*p) && p - int_start < 8) {
      s = s * 10 + static_cast<unsigned>(*p - '0');
      ++p;
    }
    if (p != end_ && is_digit(*p)) p = digits(p, end_, s);
  }
  size_t count = static_cast<size_t>(p - int_start);
  int exponent = 0;
  bool is_float = false;
  if (p != end_ && *p == '.') {
    ++p;
    const char* frac_start = p;
    p = digits(p, end_, s);
    int frac = static_cast<int>(p - frac_start);
    if (frac == 0) return number_slow(out);
    count += static_cast<size_t>(frac);
    exponent = -frac;
    is_float = true;
  }
  if (count > 19) return number_slow(out);
  if (p != end_ && (*p | 0x20) == 'e') {
    ++p;
    bool exp_negative = false;
    if (p != end_ && (*p == '+' || *p == '-')) {
      exp_negative = *p == '-';
      ++p;
    }
    const char* exp_start = p;
    int e = 0;
    while (p != end_ && is_digit(*p) && p - exp_start < 9) {
      e = e * 10 + (*p - '0');
      ++p;
    }
    if (p == exp_start || (p != end_ && is_digit(*p))) return number_slow(out);
    exponent += exp_negative ? -e : e;
    is_float = true;
  }
  if (!is_float) {
    p_ = p;
    if (!negative) {
      set(out, Value::uint(s));
    } else if (s == 0) {
      set(out, Value::real(-0.0));
    } else if (s <= (uint64_t{1} << 63)) {
      set(out, Value::negint(static_cast<int64_t>(~s + 1)));
    } else {
      set(out, Value::real(-static_cast<double>(s)));
    }
    return true;
  }
  double d;
  if (exponent < 0 && exponent >= -308) {
    d = static_cast<double>(s) / detail::kPow10[-exponent];
    d = negative ? -d : d;
  } else if (!scale(s, exponent, negative, d)) {
    return number_slow(out);
  }
  p_ = p;
  set(out, Value::real(d));
  return true;
}

bool Reader::array(size_t slot) {
  if (--budget_ == 0) return fail_next(kRecursionLimit);
  ++p_;
  skip_space();
  if (p_ == end_) return fail_next(kEofList);
  if (*p_ == ']') {
    ++p_;
    ++budget_;
    set(stack_[slot], Value::array(nullptr, 0, false));
    return true;
  }
  size_t base = top_;
  for (;;) {
    if (!value(reserve_slot())) return false;
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
  Value* items = pop_block(base);
  set(stack_[slot], Value::array(items, n, false));
  return true;
}

bool Reader::object(size_t slot) {
  if (--budget_ == 0) return fail_next(kRecursionLimit);
  ++p_;
  skip_space();
  if (p_ == end_) return fail_next(kEofObject);
  if (*p_ == '}') {
    ++p_;
    ++budget_;
    set(stack_[slot], Value::object(nullptr, 0, false));
    return true;
  }
  if (*p_ != '"') return fail_next(kKeyMustBeString);
  size_t base = top_;
  for (;;) {
    if (!string(stack_[reserve_slot()])) return false;
    skip_space();
    if (p_ == end_) return fail_next(kEofObject);
    if (*p_ != ':') return fail_next(kExpectedColon);
    ++p_;
    skip_space();
    if (p_ == end_) return fail_next(kEofValue);
    if (!value(reserve_slot())) return false;
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
  n = member_order_.apply(members, n);
  set(stack_[slot], Value::object(members, n, false));
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
  } else if (!scalar(found)) {
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
  size_t slot = reserve_slot();
  if (!array(slot) || !finish()) return false;
  out = stack_[slot];
  return true;
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
