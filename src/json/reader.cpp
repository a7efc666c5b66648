#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
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
inline void copy_values(JsonDocument* dst, const JsonDocument* src, size_t n) {
#if QUOR_SSE2
  for (size_t i = 0; i < n; ++i) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)));
  }
#else
  std::memcpy(static_cast<void*>(dst), src, n * sizeof(JsonDocument));
#endif
}

// Stores a value with one 16-byte write, so that copying it on (also 16 bytes at a time)
// never waits on two narrower stores.
inline void set(JsonDocument& dst, const JsonDocument& v) {
#if QUOR_SSE2
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&dst),
                   _mm_set_epi64x(static_cast<long long>(v.u), static_cast<long long>(v.tag)));
#else
  dst = v;
#endif
}

inline int key_compare(const JsonDocument& a, const JsonDocument& b) {
  return detail::compare_bytes(a.s, a.size(), b.s, b.size());
}

inline bool key_equal(const JsonDocument& a, const JsonDocument& b) {
  return a.size() == b.size() && std::memcmp(a.s, b.s, a.size()) == 0;
}

inline uint64_t key_prefix(const JsonDocument& key) { return detail::load_be8(key.s, key.size()); }

// A member's text position with its first eight key bytes as a big-endian number
// (zero-padded): unequal prefixes order two keys by themselves.
struct Keyed {
  uint64_t prefix;
  uint32_t index;
};

// Orders keyed members: the prefixes first, the whole keys only when those are equal.
struct KeyedLess {
  const JsonMember* m;
  bool operator()(const Keyed& a, const Keyed& b) const {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    return key_compare(m[a.index].key, m[b.index].key) < 0;
  }
};

// Objects of up to this many members are sorted on the spot.
constexpr size_t kSmallObject = 16;

// Key order for objects of at most kSmallObject members that are not already in it (of
// equal keys the one read last stays). Records of one shape come in runs, so the order
// worked out last is kept and reused while the same keys come in the same order.
class SmallShape {
 public:
  size_t apply(JsonMember* m, size_t n) {
    if (!same_keys(m, n)) work_out(m, n);
    JsonMember copy[kSmallObject];
    std::memcpy(static_cast<void*>(copy), m, n * sizeof(JsonMember));
    for (size_t k = 0; k < kept_; ++k) m[k] = copy[order_[k]];
    return kept_;
  }

 private:
  bool same_keys(const JsonMember* m, size_t n) const {
    if (n != n_) return false;
    for (size_t k = 0; k < n; ++k) {
      size_t size = m[k].key.size();
      if (size != size_[k] || key_prefix(m[k].key) != prefix_[k]) return false;
      if (size > 8 && std::memcmp(m[k].key.s + 8, key_[k] + 8, size - 8) != 0) return false;
    }
    return true;
  }

  void work_out(const JsonMember* m, size_t n) {
    Keyed keyed[kSmallObject];
    for (size_t k = 0; k < n; ++k) keyed[k] = {key_prefix(m[k].key), static_cast<uint32_t>(k)};
    const KeyedLess less{m};
    for (size_t k = 1; k < n; ++k) {
      Keyed cur = keyed[k];
      size_t j = k;
      while (j > 0 && less(cur, keyed[j - 1])) {
        keyed[j] = keyed[j - 1];
        --j;
      }
      keyed[j] = cur;
    }
    n_ = n;
    kept_ = 0;
    for (size_t k = 0; k < n; ++k) {
      if (k + 1 < n && keyed[k].prefix == keyed[k + 1].prefix &&
          key_equal(m[keyed[k].index].key, m[keyed[k + 1].index].key)) {
        continue;
      }
      order_[kept_++] = static_cast<uint8_t>(keyed[k].index);
    }
    for (size_t k = 0; k < n; ++k) {
      prefix_[k] = key_prefix(m[k].key);
      size_[k] = static_cast<uint32_t>(m[k].key.size());
      key_[k] = m[k].key.s;  // lives as long as the read
    }
  }

  size_t n_ = 0;  // no shape yet
  size_t kept_ = 0;
  uint64_t prefix_[kSmallObject];
  const char* key_[kSmallObject];
  uint32_t size_[kSmallObject];
  uint8_t order_[kSmallObject];
};

// Records of different shapes interleave (an object and the objects inside it), so a few
// shapes are remembered, told apart by their first key.
class SmallOrder {
 public:
  size_t apply(JsonMember* m, size_t n) {
    uint64_t first = key_prefix(m[0].key);
    return shapes_[(first ^ (first >> 29) ^ n) % kShapes].apply(m, n);
  }

 private:
  static constexpr size_t kShapes = 4;
  SmallShape shapes_[kShapes];
};

// Key order for larger objects that are not already in it (of equal keys the one read
// last stays). Objects of one shape tend to come in runs (the records of an array), so
// the last order worked out for each member count is kept for the rest of the read and
// reused when the same keys come again in the same order.
class MemberOrder {
 public:
  size_t apply(JsonMember* m, size_t n) {
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

  static bool same_keys(const Shape& shape, const JsonMember* m, size_t n) {
    if (shape.keys.size() != n) return false;
    for (size_t k = 0; k < n; ++k) {
      std::string_view key = shape.keys[k];
      if (key.size() != m[k].key.size() || std::memcmp(key.data(), m[k].key.s, key.size()) != 0) {
        return false;
      }
    }
    return true;
  }

  void work_out(Shape& shape, const JsonMember* m, size_t n) {
    // Stable throughout: of equal keys the one earlier in the text comes first.
    const KeyedLess less{m};
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
  std::vector<JsonMember> members_;
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
      return "integer `" + std::to_string(v.u) + "`";
    case Kind::NegInt:
      return "integer `" + std::to_string(v.i) + "`";
    case Kind::Float: {
      char* end = detail::format_double(v.d, buf);
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

[[gnu::noinline]] const char* skip_space_run(const char* p, const char* end);

// Whitespace before a token. One space, as json.dumps puts after ',' and ':', is the
// common case and is taken inline.
inline const char* skip_space(const char* p, const char* end) {
  if (p == end || static_cast<unsigned char>(*p) > ' ') return p;
  if (*p == ' ' && end - p > 1 && static_cast<unsigned char>(p[1]) > ' ') return p + 1;
  return skip_space_run(p, end);
}

// Pretty-printed text puts a line feed and a run of indentation between most tokens:
// after the first byte, runs are skipped sixteen bytes at a time.
const char* skip_space_run(const char* p, const char* end) {
  if (!is_space(*p)) return p;
  ++p;
  if (p == end || static_cast<unsigned char>(*p) > ' ') return p;
#if QUOR_SSE2
  while (end - p >= 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i blank =
        _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(x, _mm_set1_epi8('\n')));
    __m128i other_blank = _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('\t')),
                                       _mm_cmpeq_epi8(x, _mm_set1_epi8('\r')));
    __m128i space = _mm_or_si128(blank, other_blank);
    unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(space)) & 0xffff;
    if (other != 0) return p + __builtin_ctz(other);
    p += 16;
  }
#endif
  while (p != end && is_space(*p)) ++p;
  return p;
}

// What a failed step returns: false to a bool caller, nullptr to a cursor caller.
struct Failed {
  operator bool() const { return false; }
  operator const char*() const { return nullptr; }
};

// The reader works on local cursors: every step takes the position of the byte it starts
// at and returns the position after what it read, or nullptr once an error is recorded.
class Reader {
 public:
  Reader(std::string_view input, InputMode mode, Arena& arena)
      : begin_(input.data()),
        end_(input.data() + input.size()),
        arena_(arena),
        check_utf8_(mode == InputMode::Bytes),
        stack_(reinterpret_cast<JsonDocument*>(inline_stack_)) {}
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  ~Reader() {
    if (stack_ != reinterpret_cast<JsonDocument*>(inline_stack_)) std::free(stack_);
  }

  bool document(JsonDocument& out) {
    const char* p = skip_space(begin_, end_);
    if (p == end_) return fail_next(p, kEofValue);
    return read(p, out);
  }

  bool value_list(JsonDocument& out) {
    const char* p = skip_space(begin_, end_);
    if (p == end_) return fail_next(p, kEofValue);
    if (*p != '[') return typed_mismatch(p, "a sequence");
    return read(p, out);
  }

  bool string_map(StringPairs& out);

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
  bool read(const char* p, JsonDocument& out);
  const char* scalar(const char* p, JsonDocument& out);
  const char* string(const char* p, JsonDocument& out);
  [[gnu::noinline]] const char* escaped_string(const char* start, const char* backslash,
                                               JsonDocument& out);
  const char* hex4(const char* p, unsigned& cp);
  const char* number(const char* p, JsonDocument& out);
  [[gnu::noinline]] const char* number_slow(const char* p, JsonDocument& out);
  const char* literal(const char* p, const char* word, size_t n);
  bool typed_mismatch(const char* p, const char* expected);
  size_t order_members(JsonMember* m, size_t n);

  bool finish(const char* p) {
    p = skip_space(p, end_);
    if (p != end_) return fail_next(p, kTrailingCharacters);
    return true;
  }

  // Error at the byte before `p` (index = bytes consumed).
  [[gnu::cold, gnu::noinline]] Failed fail_consumed(const char* p, Msg m) {
    error_ = m;
    error_at_ = static_cast<size_t>(p - begin_);
    return {};
  }
  // Error at the byte at `p` (or the last byte at end of input).
  [[gnu::cold, gnu::noinline]] Failed fail_next(const char* p, Msg m) {
    error_ = m;
    error_at_ = static_cast<size_t>(p - begin_) + (p != end_ ? 1 : 0);
    return {};
  }

  // Doubles the scratch stack; returns its new base.
  [[gnu::noinline]] JsonDocument* grow_stack(size_t used) {
    size_t capacity = stack_capacity_ * 2;
    JsonDocument* bigger = static_cast<JsonDocument*>(std::malloc(capacity * sizeof(JsonDocument)));
    if (bigger == nullptr) throw std::bad_alloc();
    std::memcpy(static_cast<void*>(bigger), stack_, used * sizeof(JsonDocument));
    if (stack_ != reinterpret_cast<JsonDocument*>(inline_stack_)) std::free(stack_);
    stack_ = bigger;
    stack_capacity_ = capacity;
    return bigger;
  }

  // Room for the decoded text of an escaped string: a buffer kept for the whole read,
  // grown on demand; `used` bytes at its start are kept. Returns the buffer.
  [[gnu::noinline]] char* grow_scratch(size_t used, size_t need) {
    size_t size = std::max({scratch_size_ * 2, used + need, size_t{256}});
    std::unique_ptr<char[]> bigger(new char[size]);
    if (used != 0) std::memcpy(bigger.get(), scratch_.get(), used);
    scratch_ = std::move(bigger);
    scratch_size_ = size;
    return scratch_.get();
  }

  static constexpr size_t kInlineStack = 64;

  const char* const begin_;
  const char* const end_;
  Arena& arena_;
  const bool check_utf8_;
  Msg error_ = kEofValue;
  size_t error_at_ = 0;
  // Children are collected here, in text order, until their container closes. Small
  // documents never leave the inline part.
  JsonDocument* stack_;
  size_t stack_capacity_ = kInlineStack;
  alignas(16) unsigned char inline_stack_[kInlineStack * sizeof(JsonDocument)];
  SmallOrder small_order_;
  std::unique_ptr<MemberOrder> member_order_;
  std::unique_ptr<char[]> scratch_;
  size_t scratch_size_ = 0;
  std::string type_message_;
};

// Anything but a container.
inline const char* Reader::scalar(const char* p, JsonDocument& out) {
  switch (*p) {
    case '"':
      return string(p, out);
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
    case '9':
      return number(p, out);
    case 'n':
      set(out, JsonDocument::null());
      return literal(p, "null", 4);
    case 't':
      set(out, JsonDocument::boolean(true));
      return literal(p, "true", 4);
    case 'f':
      set(out, JsonDocument::boolean(false));
      return literal(p, "false", 5);
    default:
      return fail_next(p, kExpectedValue);
  }
}

inline const char* Reader::literal(const char* p, const char* word, size_t n) {
  if (static_cast<size_t>(end_ - p) >= n && std::memcmp(p, word, n) == 0) return p + n;
  ++p;
  for (size_t i = 1; i < n; ++i) {
    if (p == end_) return fail_consumed(p, kEofValue);
    if (*p++ != word[i]) return fail_consumed(p, kExpectedIdent);
  }
  return p;  // unreachable: the fast path matched
}

[[gnu::always_inline]] inline const char* Reader::string(const char* p, JsonDocument& out) {
  const char* start = p + 1;
  const char* q;
  if (end_ - start >= 16) {
    unsigned mask = detail::special_mask16(start);
    q = mask != 0 ? start + __builtin_ctz(mask) : detail::find_special(start + 16, end_);
  } else {
    q = detail::find_special(start, end_);
  }
  if (q != end_ && *q == '"') {
    size_t n = static_cast<size_t>(q - start);
    if (check_utf8_ && !detail::valid_utf8(start, n))
      return fail_consumed(q + 1, kInvalidCodePoint);
    set(out, JsonDocument::string(start, n, true));
    return q + 1;
  }
  if (q == end_) return fail_consumed(end_, kEofString);
  if (*q == '\\') return escaped_string(start, q, out);
  return fail_consumed(q + 1, kControlCharacter);
}

// Reads four hex digits at p; returns the position after them.
inline const char* Reader::hex4(const char* p, unsigned& cp) {
  if (end_ - p < 4) return fail_consumed(end_, kEofString);
  const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
  int a = kHex.v[u[0]], b = kHex.v[u[1]], c = kHex.v[u[2]], d = kHex.v[u[3]];
  if ((a | b | c | d) < 0) return fail_consumed(p + 4, kInvalidEscape);
  cp = static_cast<unsigned>((a << 12) | (b << 8) | (c << 4) | d);
  return p + 4;
}

const char* Reader::escaped_string(const char* start, const char* q, JsonDocument& out) {
  size_t prefix = static_cast<size_t>(q - start);
  // Past `limit` the buffer keeps room for one more escape or sixteen-byte chunk, and for
  // the copy below that rounds up to sixteen; it grows when the cursor passes `limit`.
  constexpr size_t kSlack = 32;
  char* buf = scratch_size_ >= prefix + kSlack ? scratch_.get() : grow_scratch(0, prefix + kSlack);
  char* limit = buf + scratch_size_ - kSlack;
  if (prefix <= 16 && end_ - start >= 16) {
    std::memcpy(buf, start, 16);
  } else {
    std::memcpy(buf, start, prefix);
  }
  char* w = buf + prefix;
  bool clean = true;
  const char* p = q;  // at a '"', '\\' or control byte
  for (;;) {
    char c = *p;
    if (c == '"') break;
    if (c != '\\') return fail_consumed(p + 1, kControlCharacter);
    ++p;
    if (p == end_) return fail_consumed(end_, kEofString);
    if (w > limit) {
      size_t used = static_cast<size_t>(w - buf);
      buf = grow_scratch(used, kSlack);
      limit = buf + scratch_size_ - kSlack;
      w = buf + used;
    }
    char e = *p++;
    // \u00XX with XX at or above 0x80, two UTF-8 bytes, is the escape text written with
    // ASCII-only output is full of.
    if (e == 'u' && end_ - p >= 4 && p[0] == '0' && p[1] == '0') {
      int hi = kHex.v[static_cast<unsigned char>(p[2])],
          lo = kHex.v[static_cast<unsigned char>(p[3])];
      if (hi >= 8 && lo >= 0) {
        unsigned cp = static_cast<unsigned>(hi << 4 | lo);
        w[0] = static_cast<char>(0xc0 | (cp >> 6));
        w[1] = static_cast<char>(0x80 | (cp & 0x3f));
        w += 2;
        p += 4;
        goto run;
      }
    }
    switch (e) {
      case '"':
        *w++ = '"';
        clean = false;
        break;
      case '\\':
        *w++ = '\\';
        clean = false;
        break;
      case '/':
        *w++ = '/';
        break;
      case 'b':
        *w++ = '\b';
        clean = false;
        break;
      case 'f':
        *w++ = '\f';
        clean = false;
        break;
      case 'n':
        *w++ = '\n';
        clean = false;
        break;
      case 'r':
        *w++ = '\r';
        clean = false;
        break;
      case 't':
        *w++ = '\t';
        clean = false;
        break;
      case 'u': {
        unsigned cp;
        p = hex4(p, cp);
        if (p == nullptr) return nullptr;
        if (cp - 0xd800 < 0x800) {
          if (cp >= 0xdc00) return fail_consumed(p, kLoneSurrogate);
          if (p == end_) return fail_consumed(end_, kEofString);
          if (*p++ != '\\') return fail_consumed(p, kUnexpectedEndOfHex);
          if (p == end_) return fail_consumed(end_, kEofString);
          if (*p++ != 'u') return fail_consumed(p, kUnexpectedEndOfHex);
          unsigned low;
          p = hex4(p, low);
          if (p == nullptr) return nullptr;
          if (low - 0xdc00 >= 0x400) return fail_consumed(p, kLoneSurrogate);
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
      default:
        return fail_consumed(p, kInvalidEscape);
    }
  run:
    // The run up to the next byte that needs a look, copied sixteen bytes at a time.
    for (;;) {
      if (w > limit) {
        size_t used = static_cast<size_t>(w - buf);
        buf = grow_scratch(used, kSlack);
        limit = buf + scratch_size_ - kSlack;
        w = buf + used;
      }
      if (end_ - p < 16) {
        const char* r = detail::find_special(p, end_);
        std::memcpy(w, p, static_cast<size_t>(r - p));
        w += r - p;
        p = r;
        if (p == end_) return fail_consumed(end_, kEofString);
        break;
      }
      std::memcpy(w, p, 16);
      unsigned mask = detail::special_mask16(p);
      if (mask != 0) {
        unsigned k = static_cast<unsigned>(__builtin_ctz(mask));
        p += k;
        w += k;
        break;
      }
      p += 16;
      w += 16;
    }
  }
  size_t n = static_cast<size_t>(w - buf);
  if (check_utf8_ && !detail::valid_utf8(buf, n)) return fail_consumed(p + 1, kInvalidCodePoint);
  // Sixteen bytes at a time: the scratch buffer has slack, and so has this allocation.
  char* s = static_cast<char*>(arena_.allocate((n + 15) & ~size_t{15}));
  for (size_t i = 0; i < n; i += 16) std::memcpy(s + i, buf + i, 16);
  set(out, JsonDocument::string(s, n, clean));
  return p + 1;
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

const char* Reader::number_slow(const char* p, JsonDocument& out) {
  bool negative = false;
  if (*p == '-') {
    negative = true;
    ++p;
    if (p == end_) return fail_consumed(p, kEofValue);
    if (!is_digit(*p)) return fail_consumed(p + 1, kInvalidNumber);
  }
  constexpr uint64_t kCut = UINT64_MAX / 10;       // 1844674407370955161
  constexpr unsigned kCutDigit = UINT64_MAX % 10;  // 5
  uint64_t s = 0;
  int64_t exponent = 0;
  bool is_float = false;
  if (*p == '0') {
    ++p;
    if (p != end_ && is_digit(*p)) return fail_next(p, kInvalidNumber);
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
    if (p == end_) return fail_next(p, kEofValue);
    if (!is_digit(*p)) return fail_next(p, kInvalidNumber);
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
    if (p == end_) return fail_consumed(p, kEofValue);
    if (!is_digit(*p)) return fail_consumed(p + 1, kInvalidNumber);
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
    if (overflow) {
      if (s != 0 && !exp_negative) return fail_consumed(p, kNumberOutOfRange);
      set(out, JsonDocument::real(negative ? -0.0 : 0.0));
      return p;
    }
    exponent += exp_negative ? -int64_t{e} : int64_t{e};
  }
  if (!is_float) {
    if (!negative) {
      set(out, JsonDocument::uint(s));
    } else if (s == 0) {
      set(out, JsonDocument::real(-0.0));
    } else if (s <= (uint64_t{1} << 63)) {
      set(out, JsonDocument::negint(static_cast<int64_t>(~s + 1)));
    } else {
      set(out, JsonDocument::real(-static_cast<double>(s)));
    }
    return p;
  }
  exponent = std::clamp<int64_t>(exponent, INT32_MIN, INT32_MAX);
  double d;
  if (!scale(s, exponent, negative, d)) return fail_consumed(p, kNumberOutOfRange);
  set(out, JsonDocument::real(d));
  return p;
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
// pass. Returns the end of the number, or nullptr for everything else, which
// Reader::number_slow reads again following every rule exactly.
inline const char* number_fast(const char* const start, const char* const end_, JsonDocument& out) {
  const char* p = start;
  bool negative = *p == '-';
  p += negative;
  if (p == end_ || !is_digit(*p)) return nullptr;
  uint64_t s = 0;
  const char* int_start = p;
  if (*p == '0') {
    ++p;
    if (p != end_ && is_digit(*p)) return nullptr;
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
    if (frac == 0) return nullptr;
    count += static_cast<size_t>(frac);
    exponent = -frac;
    is_float = true;
  }
  if (count > 19) return nullptr;
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
    if (p == exp_start || (p != end_ && is_digit(*p))) return nullptr;
    exponent += exp_negative ? -e : e;
    is_float = true;
  }
  if (!is_float) {
    // Signs mix at random in real data: the two integer forms are told apart without a
    // branch, and only "-0" and magnitudes beyond the negative range take one.
    uint64_t neg = negative;
    if (neg & ((s - 1) >= (uint64_t{1} << 63))) {
      set(out, JsonDocument::real(s == 0 ? -0.0 : -static_cast<double>(s)));
      return p;
    }
    static_assert(static_cast<int>(Kind::NegInt) == static_cast<int>(Kind::UInt) + 1);
    JsonDocument v;
    v.tag = static_cast<uint64_t>(Kind::UInt) + neg;
    v.u = (s ^ (0 - neg)) + neg;
    set(out, v);
    return p;
  }
  double d;
  if (exponent < 0 && exponent >= -308) {
    d = static_cast<double>(s) / detail::kPow10[-exponent];
    d = negative ? -d : d;
  } else if (!scale(s, exponent, negative, d)) {
    return nullptr;
  }
  set(out, JsonDocument::real(d));
  return p;
}

inline const char* Reader::number(const char* p, JsonDocument& out) {
  const char* q = number_fast(p, end_, out);
  return q != nullptr ? q : number_slow(p, out);
}

size_t Reader::order_members(JsonMember* m, size_t n) {
  size_t i = 1;
  while (i < n && key_compare(m[i - 1].key, m[i].key) < 0) ++i;
  if (i >= n) return n;
  if (n <= kSmallObject) return small_order_.apply(m, n);
  if (!member_order_) member_order_ = std::make_unique<MemberOrder>();
  return member_order_->apply(m, n);
}

// One whole value at p (not whitespace, not the end) and nothing but whitespace after it.
// Containers are not read by recursion: each open one has a frame holding where its
// children start on the scratch stack (times two, plus one for an object).
bool Reader::read(const char* p, JsonDocument& out) {
  const char* const end = end_;
  JsonDocument* stack = stack_;
  size_t capacity = stack_capacity_;
  size_t top = 0;
  size_t frames[kDepthBudget];
  int depth = 0;
  size_t frame;

value:
  if (top == capacity) {
    stack = grow_stack(top);
    capacity = stack_capacity_;
  }
  switch (*p) {
    case '[':
      if (depth == kDepthBudget - 1) return fail_next(p, kRecursionLimit);
      p = skip_space(p + 1, end);
      if (p == end) return fail_next(p, kEofList);
      if (*p == ']') {
        ++p;
        set(stack[top++], JsonDocument::array(nullptr, 0, false));
        goto after_value;
      }
      frames[depth++] = top << 1;
      goto value;
    case '{':
      if (depth == kDepthBudget - 1) return fail_next(p, kRecursionLimit);
      p = skip_space(p + 1, end);
      if (p == end) return fail_next(p, kEofObject);
      if (*p == '}') {
        ++p;
        set(stack[top++], JsonDocument::object(nullptr, 0, false));
        goto after_value;
      }
      if (*p != '"') return fail_next(p, kKeyMustBeString);
      frames[depth++] = top << 1 | 1;
      goto key;
    case '"':
      p = string(p, stack[top]);
      break;
    default:
      p = scalar(p, stack[top]);
      break;
  }
  if (p == nullptr) return false;
  ++top;

after_value:
  if (depth == 0) {
    if (!finish(p)) return false;
    out = stack[0];
    return true;
  }
  frame = frames[depth - 1];
  p = skip_space(p, end);
  if (frame & 1) {
    if (p == end) return fail_next(p, kEofObject);
    if (*p == ',') {
      p = skip_space(p + 1, end);
      if (p == end) return fail_next(p, kEofValue);
      if (*p == '"') goto key;
      if (*p == '}') return fail_next(p, kTrailingComma);
      return fail_next(p, kKeyMustBeString);
    }
    if (*p != '}') return fail_next(p, kExpectedCommaBrace);
    ++p;
    size_t base = frame >> 1;
    size_t n = (top - base) / 2;
    JsonMember* members = arena_.allocate_array<JsonMember>(n);
    copy_values(reinterpret_cast<JsonDocument*>(members), stack + base, 2 * n);
    n = order_members(members, n);
    top = base;
    set(stack[top++], JsonDocument::object(members, n, false));
  } else {
    if (p == end) return fail_next(p, kEofList);
    if (*p == ',') {
      p = skip_space(p + 1, end);
      if (p == end) return fail_next(p, kEofValue);
      if (*p == ']') return fail_next(p, kTrailingComma);
      goto value;
    }
    if (*p != ']') return fail_next(p, kExpectedCommaBracket);
    ++p;
    size_t base = frame >> 1;
    size_t n = top - base;
    JsonDocument* items = arena_.allocate_array<JsonDocument>(n);
    copy_values(items, stack + base, n);
    top = base;
    set(stack[top++], JsonDocument::array(items, n, false));
  }
  --depth;
  goto after_value;

key:  // p at the key's opening quote
  if (capacity - top < 2) {
    stack = grow_stack(top);
    capacity = stack_capacity_;
  }
  p = string(p, stack[top]);
  if (p == nullptr) return false;
  ++top;
  p = skip_space(p, end);
  if (p == end) return fail_next(p, kEofObject);
  if (*p != ':') return fail_next(p, kExpectedColon);
  p = skip_space(p + 1, end);
  if (p == end) return fail_next(p, kEofValue);
  goto value;
}

// The value at p is not of the kind a typed read wants. Scalars are read whole first (a
// malformed one reports its own error); containers are reported before their opening
// bracket.
bool Reader::typed_mismatch(const char* p, const char* expected) {
  JsonDocument found;
  char c = *p;
  if (c == '[') {
    found = JsonDocument::array(nullptr, 0, false);
  } else if (c == '{') {
    found = JsonDocument::object(nullptr, 0, false);
  } else {
    p = scalar(p, found);
    if (p == nullptr) return false;
  }
  type_message_ = "invalid type: " + describe(found) + ", expected " + expected;
  return fail_consumed(p, kInvalidType);
}

bool Reader::string_map(StringPairs& out) {
  const char* p = skip_space(begin_, end_);
  if (p == end_) return fail_next(p, kEofValue);
  if (*p != '{') return typed_mismatch(p, "a map");
  p = skip_space(p + 1, end_);
  if (p == end_) return fail_next(p, kEofObject);
  if (*p == '}') return finish(p + 1);
  if (*p != '"') return fail_next(p, kKeyMustBeString);
  for (;;) {
    JsonDocument key;
    p = string(p, key);
    if (p == nullptr) return false;
    p = skip_space(p, end_);
    if (p == end_) return fail_next(p, kEofObject);
    if (*p != ':') return fail_next(p, kExpectedColon);
    p = skip_space(p + 1, end_);
    if (p == end_) return fail_next(p, kEofValue);
    if (*p != '"') return typed_mismatch(p, "a string");
    JsonDocument item;
    p = string(p, item);
    if (p == nullptr) return false;
    out.emplace_back(key.str(), item.str());
    p = skip_space(p, end_);
    if (p == end_) return fail_next(p, kEofObject);
    if (*p == ',') {
      p = skip_space(p + 1, end_);
      if (p == end_) return fail_next(p, kEofValue);
      if (*p == '"') continue;
      if (*p == '}') return fail_next(p, kTrailingComma);
      return fail_next(p, kKeyMustBeString);
    }
    if (*p != '}') return fail_next(p, kExpectedCommaBrace);
    return finish(p + 1);
  }
}

}  // namespace

// What a document read from n bytes of text usually takes: its values, plus its
// escaped strings decoded.
inline size_t expected_size(size_t n) { return n + n / 2 + 1024; }

Result<JsonDocument, JsonError> parse_json(std::string_view input, InputMode mode, Arena& arena) {
  arena.expect(expected_size(input.size()));
  JsonDocument value;
  Reader reader(input, mode, arena);
  if (!reader.document(value)) return reader.error();
  return value;
}

template <>
Result<StringPairs, JsonError> read_json_as<StringMap>(std::string_view input, Arena& arena) {
  StringPairs pairs;
  Reader reader(input, InputMode::Text, arena);
  if (!reader.string_map(pairs)) return reader.error();
  return pairs;
}

template <>
Result<JsonDocument, JsonError> read_json_as<ValueList>(std::string_view input, Arena& arena) {
  arena.expect(expected_size(input.size()));
  JsonDocument value;
  Reader reader(input, InputMode::Text, arena);
  if (!reader.value_list(value)) return reader.error();
  return value;
}

}  // namespace quor::json
