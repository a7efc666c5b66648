// JSON documents: one forward-pass reader with exact messages and positions, and a
// writer of the compact, key-ordered normal form.
//
// Values are 16-byte records. Containers point at contiguous blocks in an Arena that
// belongs to the call; strings either point into the input text (which the caller keeps
// alive for as long as the values are used) or into the Arena. Copying a JsonDocument is
// shallow: the tree is never shared between two places that are both mutated.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/buffer.hpp"
#include "common/bytes.hpp"
#include "common/result.hpp"

namespace quor::json {

// Bump allocator for one call's documents; everything is released at once.
class Arena {
 public:
  Arena() : cursor_(first_), left_(sizeof first_) {}
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  void* allocate(size_t bytes) {
    bytes = (bytes + 7) & ~size_t{7};
    if (bytes > left_) return allocate_slow(bytes);
    void* p = cursor_;
    cursor_ += bytes;
    left_ -= bytes;
    return p;
  }
  template <class T>
  T* allocate_array(size_t n) {
    return static_cast<T*>(allocate(n * sizeof(T)));
  }
  // About `bytes` more are coming (a reader knows its input's length): when the current
  // block cannot take them, the next block is made that large, so a document usually
  // lives in one block.
  void expect(size_t bytes) {
    if (bytes > left_ && bytes > planned_) planned_ = bytes;
  }

 private:
  void* allocate_slow(size_t bytes);

  std::vector<std::unique_ptr<char[]>> blocks_;
  char* cursor_;
  size_t left_;
  size_t next_block_ = 4 * 1024;
  size_t planned_ = 0;
  // Small documents (a single reduce) never reach the heap.
  alignas(16) char first_[512];
};

enum class Kind : uint8_t { Null, False, True, UInt, NegInt, Float, String, Array, Object };

struct JsonMember;

struct JsonDocument {
  // Bits 0-7: kind. Bit 8: flag. Bits 16-63: length (string bytes, items, members).
  // String flag: the bytes need no escaping when written (taken raw from the input).
  // Array/object flag: the block's capacity is std::bit_ceil(length), so it may grow.
  uint64_t tag = 0;
  // The kind's value: a number's bits or a pointer, read through the accessors below so
  // that no inactive member of a union is ever read.
  uint64_t payload = 0;

  uint64_t u() const { return payload; }
  int64_t i() const { return std::bit_cast<int64_t>(payload); }
  double d() const { return std::bit_cast<double>(payload); }
  const char* s() const { return std::bit_cast<const char*>(payload); }
  JsonDocument* items() const { return std::bit_cast<JsonDocument*>(payload); }
  JsonMember* members() const { return std::bit_cast<JsonMember*>(payload); }
  template <class T>
  void set_payload(T x) {
    payload = std::bit_cast<uint64_t>(x);
  }

  static constexpr uint64_t kFlag = 1u << 8;
  static constexpr int kLengthShift = 16;

  Kind kind() const { return static_cast<Kind>(tag & 0xff); }
  bool flag() const { return (tag & kFlag) != 0; }
  size_t size() const { return static_cast<size_t>(tag >> kLengthShift); }
  void set_size(size_t n) { tag = (tag & 0xffff) | (uint64_t{n} << kLengthShift); }

  bool is_null() const { return kind() == Kind::Null; }
  bool is_array() const { return kind() == Kind::Array; }
  bool is_object() const { return kind() == Kind::Object; }
  std::string_view str() const { return {s(), size()}; }

  static JsonDocument null() { return JsonDocument{}; }
  static JsonDocument boolean(bool b) {
    JsonDocument v;
    v.tag = static_cast<uint64_t>(b ? Kind::True : Kind::False);
    return v;
  }
  static JsonDocument uint(uint64_t x) {
    JsonDocument v;
    v.tag = static_cast<uint64_t>(Kind::UInt);
    v.payload = x;
    return v;
  }
  static JsonDocument negint(int64_t x) {  // x < 0
    JsonDocument v;
    v.tag = static_cast<uint64_t>(Kind::NegInt);
    v.set_payload(x);
    return v;
  }
  static JsonDocument real(double x) {
    JsonDocument v;
    v.tag = static_cast<uint64_t>(Kind::Float);
    v.set_payload(x);
    return v;
  }
  // clean: the bytes hold no '"', '\\' or control character, so they are written raw.
  static JsonDocument string(const char* p, size_t n, bool clean) {
    JsonDocument v;
    v.tag =
        static_cast<uint64_t>(Kind::String) | (clean ? kFlag : 0) | (uint64_t{n} << kLengthShift);
    v.set_payload(p);
    return v;
  }
  static JsonDocument array(JsonDocument* items, size_t n, bool growable) {
    JsonDocument v;
    v.tag =
        static_cast<uint64_t>(Kind::Array) | (growable ? kFlag : 0) | (uint64_t{n} << kLengthShift);
    v.set_payload(items);
    return v;
  }
  static JsonDocument object(JsonMember* members, size_t n, bool growable) {
    JsonDocument v;
    v.tag = static_cast<uint64_t>(Kind::Object) | (growable ? kFlag : 0) |
            (uint64_t{n} << kLengthShift);
    v.set_payload(members);
    return v;
  }
};
// Pointers travel in the 64-bit payload, and values are copied as two 8-byte words.
static_assert(sizeof(void*) == sizeof(uint64_t));
static_assert(sizeof(JsonDocument) == 16 && alignof(JsonDocument) == 8);
static_assert(std::is_trivially_copyable_v<JsonDocument>);

// Objects keep their members sorted by key bytes (unsigned, shorter prefix first), keys unique.
struct JsonMember {
  JsonDocument key;  // always a string
  JsonDocument value;
};

struct JsonError {
  std::string message;
  size_t line = 0;
  size_t column = 0;

  // "message at line L column C", or the bare message when there is no position.
  std::string text() const;
};

enum class InputMode {
  Text,   // known-valid UTF-8 (a Python str)
  Bytes,  // arbitrary bytes: string contents are checked to be UTF-8
};

// Reads one whole JSON text. Strings may point into `input`.
Result<JsonDocument, JsonError> parse_json(std::string_view input, InputMode mode, Arena& arena);

// Typed reads (text mode). A map of strings keeps every member in text order, so a
// consumer that inserts them in order gets "later duplicate wins".
using StringPairs = std::vector<std::pair<std::string_view, std::string_view>>;
// The two shapes of a typed read.
struct StringMap {
  using type = StringPairs;
};
struct ValueList {  // a whole-text array; the result is an Array value
  using type = JsonDocument;
};
template <class Shape>
Result<typename Shape::type, JsonError> read_json_as(std::string_view input, Arena& arena);

// The members of the top-level object that normalize_json wrote, in key order: each key
// (decoded; one that held escapes lives in `keys`), its value's text in the input, and
// where the member's text ("key":value) lies in the output, counted from where the text
// starts in `out`.
struct MemberText {
  std::string_view key;
  std::string_view value;
  size_t begin;
  size_t end;
};
struct TopMembers {
  std::vector<MemberText> list;
  Arena keys;
};

// Appends to `out` what write_json would write for the document that parse_json reads
// from `input`, straight from the text, with no document built: whitespace is dropped,
// floats and escapes are rewritten where their normal spelling differs, and only objects
// whose keys are out of order are rearranged. Returns false for anything it leaves to the
// full reader (every malformed text, nesting near the limit, texts dense with floats to lay
// out); `out` then holds garbage past its old size.
bool normalize_json(std::string_view input, InputMode mode, Buffer& out,
                    TopMembers* members = nullptr);

// Appends the compact text of `value` to `out`. Never fails.
void write_json(const JsonDocument& value, Buffer& out);

// Mutation used by the reducers. Growth doubles the block, so appends are amortised O(1).
void array_append(JsonDocument& array, const JsonDocument* items, size_t n, Arena& arena);

}  // namespace quor::json
