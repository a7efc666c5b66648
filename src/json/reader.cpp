// The reader's hot loop: the value state machine and plain strings. Numbers, escapes, key
// order and error descriptions live beside it, in files of their own.
#include "json/reader.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "common/alloc.hpp"
#include "json/escapes.hpp"
#include "json/json.hpp"
#include "json/key_order.hpp"
#include "json/numbers.hpp"
#include "json/scan.hpp"

namespace quor::json {
namespace {

using namespace detail;

constexpr int kDepthBudget = 128;

// Most blocks are a handful of values: copy them without a library call.
inline void copy_values(JsonDocument* dst, const JsonDocument* src, size_t n) {
#if QUOR_SIMD
  for (size_t i = 0; i < n; ++i) simd::store(dst + i, simd::load(src + i));
#else
  std::memcpy(static_cast<void*>(dst), src, n * sizeof(JsonDocument));
#endif
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
    if (stack_ != reinterpret_cast<JsonDocument*>(inline_stack_)) memory::release(stack_);
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
    return error_at({begin_, static_cast<size_t>(end_ - begin_)}, error_at_, error_, type_message_);
  }

 private:
  bool read(const char* p, JsonDocument& out);
  const char* scalar(const char* p, JsonDocument& out);
  const char* string(const char* p, JsonDocument& out);
  QUOR_NOINLINE const char* escaped_string(const char* start, const char* backslash,
                                           JsonDocument& out);
  const char* number(const char* p, JsonDocument& out);
  const char* literal(const char* p, const char* word, size_t n);
  bool typed_mismatch(const char* p, const char* expected);

  // The object grammar, shared by the document read and the string map: what may follow
  // '{', a key, and a member's value. Each leaves p at the next token and reports its own
  // error.
  enum class Next : uint8_t { Key, Close, Failed };
  Next object_start(const char*& p);
  const char* after_key(const char* p);
  Next after_member(const char*& p);

  bool finish(const char* p) {
    p = skip_space(p, end_);
    if (p != end_) return fail_next(p, kTrailingCharacters);
    return true;
  }

  // Error at the byte before `p` (index = bytes consumed).
  QUOR_COLD Failed fail_consumed(const char* p, Msg m) {
    error_ = m;
    error_at_ = static_cast<size_t>(p - begin_);
    return {};
  }
  QUOR_COLD Failed fail(const Step& s) { return fail_consumed(s.at, s.error); }
  // Error at the byte at `p` (or the last byte at end of input).
  QUOR_COLD Failed fail_next(const char* p, Msg m) {
    error_ = m;
    error_at_ = static_cast<size_t>(p - begin_) + (p != end_ ? 1 : 0);
    return {};
  }

  // Doubles the scratch stack; returns its new base.
  QUOR_NOINLINE JsonDocument* grow_stack(size_t used) {
    size_t capacity = stack_capacity_ * 2;
    JsonDocument* bigger =
        static_cast<JsonDocument*>(memory::reallocate(nullptr, capacity * sizeof(JsonDocument)));
    if (bigger == nullptr) throw std::bad_alloc();
    std::memcpy(static_cast<void*>(bigger), stack_, used * sizeof(JsonDocument));
    if (stack_ != reinterpret_cast<JsonDocument*>(inline_stack_)) memory::release(stack_);
    stack_ = bigger;
    stack_capacity_ = capacity;
    return bigger;
  }

  // Room for the decoded text of an escaped string: a buffer kept for the whole read,
  // grown on demand; `used` bytes at its start are kept. Returns the buffer.
  QUOR_NOINLINE char* grow_scratch(size_t used, size_t need) {
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
  KeyOrder key_order_;
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
  // Not the whole word: it stops matching, or the input ends, before its last letter.
  size_t i = 1;
  while (p + i != end_ && p[i] == word[i]) ++i;
  if (p + i == end_) return fail_consumed(end_, kEofValue);
  return fail_consumed(p + i + 1, kExpectedIdent);
}

QUOR_ALWAYS_INLINE const char* Reader::string(const char* p, JsonDocument& out) {
  const char* start = p + 1;
  const char* q;
  if (end_ - start >= 16) {
    unsigned mask = special_mask16(start);
    q = mask != 0 ? start + platform::ctz32(mask) : find_special(start + 16, end_);
  } else {
    q = find_special(start, end_);
  }
  if (q != end_ && *q == '"') {
    size_t n = static_cast<size_t>(q - start);
    if (check_utf8_ && !valid_utf8(start, n)) return fail_consumed(q + 1, kInvalidCodePoint);
    set(out, JsonDocument::string(start, n, true));
    return q + 1;
  }
  if (q == end_) return fail_consumed(end_, kEofString);
  if (*q == '\\') return escaped_string(start, q, out);
  return fail_consumed(q + 1, kControlCharacter);
}

const char* Reader::escaped_string(const char* start, const char* q, JsonDocument& out) {
  size_t prefix = static_cast<size_t>(q - start);
  // Past `limit` the buffer keeps room for one more escape or sixteen-byte chunk, and for
  // the copy below that rounds up to sixteen; it grows when the cursor passes `limit`.
  constexpr size_t kSlack = 32;
  char* buf = scratch_size_ >= prefix + kSlack ? scratch_.get() : grow_scratch(0, prefix + kSlack);
  char* limit = buf + scratch_size_ - kSlack;
  char* w = buf + prefix;
  auto grow = [&] {
    size_t used = static_cast<size_t>(w - buf);
    buf = grow_scratch(used, kSlack);
    limit = buf + scratch_size_ - kSlack;
    w = buf + used;
  };
  if (prefix <= 16 && end_ - start >= 16) {
    std::memcpy(buf, start, 16);
  } else {
    std::memcpy(buf, start, prefix);
  }
  bool clean = true;
  const char* p = q;  // at a '"', '\\' or control byte
  while (*p != '"') {
    if (*p != '\\') return fail_consumed(p + 1, kControlCharacter);
    ++p;
    if (p == end_) return fail_consumed(end_, kEofString);
    if (w > limit) grow();
    Step escape = decode_escape(p, end_, w, clean);
    if (escape.end == nullptr) return fail(escape);
    p = escape.end;
    while (!copy_run(p, end_, w, limit)) {
      if (p == end_) return fail_consumed(end_, kEofString);
      grow();
    }
  }
  size_t n = static_cast<size_t>(w - buf);
  if (check_utf8_ && !valid_utf8(buf, n)) return fail_consumed(p + 1, kInvalidCodePoint);
  // Sixteen bytes at a time: the scratch buffer has slack, and so has this allocation.
  char* s = static_cast<char*>(arena_.allocate((n + 15) & ~size_t{15}));
  for (size_t i = 0; i < n; i += 16) std::memcpy(s + i, buf + i, 16);
  set(out, JsonDocument::string(s, n, clean));
  return p + 1;
}

QUOR_ALWAYS_INLINE const char* Reader::number(const char* p, JsonDocument& out) {
  const char* q = read_number_fast(p, end_, out);
  if (q != nullptr) return q;
  Step exact = read_number_exact(p, end_, out);
  return exact.end != nullptr ? exact.end : fail(exact);
}

// After '{': the first key, or the closing brace of an empty object.
QUOR_ALWAYS_INLINE Reader::Next Reader::object_start(const char*& p) {
  p = skip_space(p + 1, end_);
  if (p == end_) return fail_next(p, kEofObject), Next::Failed;
  if (*p == '}') {
    ++p;
    return Next::Close;
  }
  if (*p != '"') return fail_next(p, kKeyMustBeString), Next::Failed;
  return Next::Key;
}

// After a key: the colon, then the value's first byte; null on failure.
QUOR_ALWAYS_INLINE const char* Reader::after_key(const char* p) {
  p = skip_space(p, end_);
  if (p == end_) return fail_next(p, kEofObject);
  if (*p != ':') return fail_next(p, kExpectedColon);
  p = skip_space(p + 1, end_);
  if (p == end_) return fail_next(p, kEofValue);
  return p;
}

// After a member's value: a comma and the next key, or the closing brace (consumed).
QUOR_ALWAYS_INLINE Reader::Next Reader::after_member(const char*& p) {
  p = skip_space(p, end_);
  if (p == end_) return fail_next(p, kEofObject), Next::Failed;
  if (*p == ',') {
    p = skip_space(p + 1, end_);
    if (p == end_) return fail_next(p, kEofValue), Next::Failed;
    if (*p == '"') return Next::Key;
    if (*p == '}') return fail_next(p, kTrailingComma), Next::Failed;
    return fail_next(p, kKeyMustBeString), Next::Failed;
  }
  if (*p != '}') return fail_next(p, kExpectedCommaBrace), Next::Failed;
  ++p;
  return Next::Close;
}

// One whole value at p (not whitespace, not the end) and nothing but whitespace after it.
// Containers are not read by recursion: each open one has a frame holding where its
// children start on the scratch stack (times two, plus one for an object). It stays one
// function on purpose: its states jump to one another with the cursor, the stack top and
// the depth in registers, which calls between separate pieces would spill.
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
      switch (object_start(p)) {
        case Next::Failed:
          return false;
        case Next::Close:
          set(stack[top++], JsonDocument::object(nullptr, 0, false));
          goto after_value;
        case Next::Key:
          break;
      }
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
  if (frame & 1) {
    switch (after_member(p)) {
      case Next::Failed:
        return false;
      case Next::Key:
        goto key;
      case Next::Close:
        break;
    }
    size_t base = frame >> 1;
    size_t n = (top - base) / 2;
    JsonMember* members = arena_.allocate_array<JsonMember>(n);
    copy_values(reinterpret_cast<JsonDocument*>(members), stack + base, 2 * n);
    n = key_order_.apply(members, n);
    top = base;
    set(stack[top++], JsonDocument::object(members, n, false));
  } else {
    p = skip_space(p, end);
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
  p = after_key(p);
  if (p == nullptr) return false;
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
  type_message_ = type_mismatch(found, expected);
  return fail_consumed(p, kInvalidType);
}

bool Reader::string_map(StringPairs& out) {
  const char* p = skip_space(begin_, end_);
  if (p == end_) return fail_next(p, kEofValue);
  if (*p != '{') return typed_mismatch(p, "a map");
  for (Next next = object_start(p); next != Next::Close; next = after_member(p)) {
    if (next == Next::Failed) return false;
    JsonDocument key;
    p = string(p, key);
    if (p == nullptr) return false;
    p = after_key(p);
    if (p == nullptr) return false;
    if (*p != '"') return typed_mismatch(p, "a string");
    JsonDocument item;
    p = string(p, item);
    if (p == nullptr) return false;
    out.emplace_back(key.str(), item.str());
  }
  return finish(p);
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
