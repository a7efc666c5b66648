// Normal form straight from the text. Most texts handed to us were written by our own
// writer (a checkpoint payload, the state a superstep returned), or differ from it only in
// whitespace and key order, so tokens are copied or rewritten one by one into the output
// and no document is built. Every token is read by the reader's own functions (numbers,
// escapes) and written by the writer's (float layout, string escapes), so the bytes are
// those of a read and a write; anything unusual is left to the full reader.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/bytes.hpp"
#include "json/escapes.hpp"
#include "json/float_text.hpp"
#include "json/json.hpp"
#include "json/numbers.hpp"
#include "json/output.hpp"
#include "json/scan.hpp"

namespace quor::json {
namespace {

using namespace detail;

constexpr int kDepthBudget = 128;

// A digit run at p: its end (eight bytes per step while eight remain).
inline const char* digit_run(const char* p, const char* end) {
  while (end - p >= 8) {
    uint64_t x;
    std::memcpy(&x, p, 8);
    x ^= 0x3030303030303030;
    uint64_t other = (x | (x + 0x7676767676767676)) & 0x8080808080808080;
    if (other != 0) return p + (platform::ctz64(other) >> 3);
    p += 8;
  }
  while (p != end && is_digit(*p)) ++p;
  return p;
}

// The output is the input with a few tokens replaced, so input bytes are not copied as
// they are read: `flushed_` marks how far the output has caught up, and the bytes since
// then are copied in one run when a token has to be replaced (whitespace dropped, a float
// or an escape rewritten, an object put in order) or when the text ends. A text already
// in normal form is checked, then copied once.
class Normalizer {
 public:
  Normalizer(std::string_view input, InputMode mode, Buffer& out, Arena* keys)
      : end_(input.data() + input.size()),
        begin_(input.data()),
        check_utf8_(mode == InputMode::Bytes),
        check_raw_(check_utf8_),
        out_(out),
        flushed_(input.data()),
        keys_(keys != nullptr ? *keys : own_keys_) {}

  bool run(std::vector<MemberText>* members);

 private:
  struct Member {
    std::string_view key;
    size_t begin;  // output offset of the key's quote
    const char* value;
    const char* value_end;
  };
  struct Frame {
    bool object;
    bool in_order;   // keys so far strictly ascending
    size_t first;    // the object's first entry in members_
    size_t content;  // output offset just after the opening bracket
  };

  char* room(char* p, size_t n) { return out_.room(p, n); }
  // Brings the output up to input position q.
  char* flush(const char* q, char* p) {
    size_t n = static_cast<size_t>(q - flushed_);
    p = room(p, n);
    copy_bytes(p, flushed_, n);
    flushed_ = q;
    return p + n;
  }
  // Input [from, to) is written as `text` instead.
  char* replace(const char* from, const char* to, std::string_view text, char* p) {
    p = flush(from, p);
    p = room(p, text.size());
    std::memcpy(p, text.data(), text.size());
    flushed_ = to;
    return p + text.size();
  }
  // Where input position q lands in the output.
  size_t offset(const char* q, const char* p) const {
    return static_cast<size_t>(p - out_.data()) + static_cast<size_t>(q - flushed_);
  }
  // Skips whitespace at q, which the output drops.
  QUOR_ALWAYS_INLINE const char* space(const char* q, char*& p) {
    const char* r = skip_space(q, end_);
    if (r != q) {
      p = flush(q, p);
      flushed_ = r;
    }
    return r;
  }

  // Unescaped non-ASCII text at `start` (n bytes): checked from there to the end of the
  // text at once where the processor does that faster (bytes before it were ASCII or are
  // checked already), and then never again; else string by string.
  bool raw_valid(const char* start, size_t n) {
    if (!utf8_whole_available()) return valid_utf8(start, n);  // it skips ASCII itself
    if (all_ascii(start, n)) return true;
    bool valid;
    check_utf8_whole(start, static_cast<size_t>(end_ - start), valid);
    check_raw_ = false;
    return valid;
  }
  const char* string(const char* q, char*& p, std::string_view* key);
  QUOR_NOINLINE const char* escaped_string(const char* start, const char* q, char*& p);
  QUOR_NOINLINE const char* escaped_key(const char* start, const char* q, char*& p,
                                        std::string_view* key);
  const char* number(const char* q, char*& p);
  QUOR_NOINLINE const char* real(const char* q, char*& p);
  char* close_object(const Frame& frame, char* p);

  const char* const end_;
  const char* const begin_;
  const bool check_utf8_;
  bool check_raw_;  // unescaped strings still to be checked one by one
  Output out_;
  const char* flushed_;
  size_t formatted_ = 0;  // floats laid out so far
  size_t closed_ = 0;     // objects closed so far
  size_t unordered_ = 0;  // and of those, the ones put in order
  static constexpr size_t kUnorderedBudget = 64;
  std::vector<Member> members_;
  std::string decoded_;     // an escaped string's content, decoded
  std::string escaped_;     // and escaped again
  std::vector<char> held_;  // an object's member texts while they are put in order
  std::vector<uint32_t> order_;
  std::vector<Member> sorted_;
  struct Shape {
    std::vector<std::string_view> keys;  // in text order
    std::vector<uint32_t> order;
  };
  static constexpr size_t kShapes = 8;
  Shape shapes_[kShapes];
  Arena own_keys_;
  Arena& keys_;  // decoded keys that held escapes
};

// A string at q (its opening quote); returns its end, or nullptr. `key`, when given,
// receives the decoded content.
QUOR_ALWAYS_INLINE const char* Normalizer::string(const char* q, char*& p, std::string_view* key) {
  const char* start = q + 1;
  const char* r;
  bool ascii = false;
  if (end_ - start >= 16) {
    unsigned high;
    unsigned mask = special_high_mask16(start, high);
    if (mask != 0) {
      unsigned k = platform::ctz32(mask);
      r = start + k;
      ascii = (high & ((1u << k) - 1)) == 0;
    } else {
      r = find_special(start + 16, end_);
    }
  } else {
    r = find_special(start, end_);
  }
  if (r == end_) return nullptr;
  if (*r != '"') {
    if (*r != '\\') return nullptr;
    return key != nullptr ? escaped_key(start, r, p, key) : escaped_string(start, r, p);
  }
  size_t n = static_cast<size_t>(r - start);
  if (check_raw_ && !ascii && !raw_valid(start, n)) return nullptr;
  if (key != nullptr) *key = {start, n};
  return r + 1;
}

// A value with escapes: each escape decoded as the reader decodes it (its own function)
// and escaped again as the writer escapes, straight into the output. The text never grows:
// no escape comes out longer than it went in.
const char* Normalizer::escaped_string(const char* start, const char* q, char*& p) {
  const char* token = start - 1;
  p = flush(token, p);
  size_t content = offset(start, p);
  p = room(p, static_cast<size_t>(q - token) + 8);
  copy_bytes(p, token, static_cast<size_t>(q - token));
  p += q - token;
  while (*q != '"') {
    if (*q != '\\') return nullptr;
    ++q;
    if (q == end_) return nullptr;
    char decoded[4];
    char* w = decoded;
    bool clean = true;
    Step escape = decode_escape(q, end_, w, clean);
    if (escape.end == nullptr) return nullptr;
    p = room(p, 8);
    for (const char* d = decoded; d != w; ++d) {
      if (is_special(static_cast<unsigned char>(*d))) {
        p = put_escape(static_cast<unsigned char>(*d), p);
      } else {
        *p++ = *d;
      }
    }
    q = escape.end;
    const char* r = find_special(q, end_);
    if (r == end_) return nullptr;
    p = room(p, static_cast<size_t>(r - q) + 8);
    copy_bytes(p, q, static_cast<size_t>(r - q));
    p += r - q;
    q = r;
  }
  // Escapes are ASCII, so the written content is UTF-8 exactly when the decoded one is;
  // an escape decodes to a whole character or fails, so once the raw text is checked
  // nothing is left to check.
  const char* text = out_.data() + content;
  if (check_raw_ && !valid_utf8(text, static_cast<size_t>(p - text))) return nullptr;
  *p++ = '"';
  flushed_ = q + 1;
  return q + 1;
}

// A key with escapes is also kept decoded, for the order of its object.
const char* Normalizer::escaped_key(const char* start, const char* q, char*& p,
                                    std::string_view* key) {
  decoded_.assign(start, q);
  size_t used = decoded_.size();
  while (*q != '"') {
    if (*q != '\\') return nullptr;
    ++q;
    if (q == end_) return nullptr;
    decoded_.resize(used + 4);
    char* w = decoded_.data() + used;
    bool clean = true;
    Step escape = decode_escape(q, end_, w, clean);
    if (escape.end == nullptr) return nullptr;
    used = static_cast<size_t>(w - decoded_.data());
    q = escape.end;
    const char* r = find_special(q, end_);
    if (r == end_) return nullptr;
    decoded_.resize(used);
    decoded_.append(q, r);
    used = decoded_.size();
    q = r;
  }
  const char* s = decoded_.data();
  if (check_raw_ && !valid_utf8(s, used)) return nullptr;  // as for a value
  escaped_.resize(6 * used + 2);
  char* w = escaped_.data();
  *w++ = '"';
  const char* e = s + used;
  for (;;) {
    const char* r = find_special(s, e);
    std::memcpy(w, s, static_cast<size_t>(r - s));
    w += r - s;
    if (r == e) break;
    w = put_escape(static_cast<unsigned char>(*r), w);
    s = r + 1;
  }
  *w++ = '"';
  std::string_view text(escaped_.data(), static_cast<size_t>(w - escaped_.data()));
  const char* token = start - 1;
  if (text != std::string_view(token, static_cast<size_t>(q + 1 - token))) {
    p = replace(token, q + 1, text, p);
  }
  char* kept = static_cast<char*>(keys_.allocate(used));
  if (used != 0) std::memcpy(kept, decoded_.data(), used);
  *key = {kept, used};
  return q + 1;
}

// An integer has one spelling, and is kept; a float goes through the reader's value and
// the writer's layout.
QUOR_ALWAYS_INLINE const char* Normalizer::number(const char* q, char*& p) {
  bool negative = *q == '-';
  const char* digits = q + negative;
  const char* e = digit_run(digits, end_);
  size_t n = static_cast<size_t>(e - digits);
  if (n == 0 || (*digits == '0' && n > 1)) return nullptr;
  if (e != end_ && (*e == '.' || (*e | 0x20) == 'e')) return real(q, p);
  // Up to 19 digits always fit the unsigned form, up to 18 the negative one; "-0" and
  // longer ones may be floats, and take the reader's way.
  if (n <= 18u + !negative && !(negative && *digits == '0')) return e;
  return real(q, p);
}

// Whether a float token is already written as the writer writes its value: a plain
// decimal [-]I.F of at most fifteen digits, spelled as the layout spells its digits. The
// reader's value of such a token is correctly rounded (a significand below 2^53 divided by
// an exact power of ten), and the fifteen digits are then the shortest that give it back.
inline bool is_written_form(const char* q, const char* e) {
  q += *q == '-';
  const char* dot = digit_run(q, e);
  if (dot == e || *dot != '.' || e - q - 1 > 15) return false;
  const char* f = dot + 1;
  if (digit_run(f, e) != e || f == e) return false;
  if (*q != '0') {
    // Digits I.F, exponent |I| - 1 up to 15; no trailing zero unless the fraction is "0".
    return dot - q <= 16 && (e[-1] != '0' || e - f == 1);
  }
  if (dot - q != 1) return false;
  if (e - f == 1 && *f == '0') return true;  // zero
  // 0.000ddd: at most four zeros (exponent -5), no trailing zero.
  const char* d = f;
  while (d != e && *d == '0') ++d;
  return d != e && d - f <= 4 && e[-1] != '0';
}

const char* Normalizer::real(const char* q, char*& p) {
  JsonDocument v;
  const char* e = read_number_fast(q, end_, v);
  if (e == nullptr) {
    Step exact = read_number_exact(q, end_, v);
    if (exact.end == nullptr) return nullptr;
    e = exact.end;
  }
  if (v.kind() != Kind::Float || is_written_form(q, e)) return e;
  // Where floats to lay out are dense (coordinates, embeddings), the reader and writer do
  // better: the writer lays out two at a time. Handing over early wastes little.
  if (++formatted_ > 512 && formatted_ * 64 > static_cast<size_t>(e - begin_)) return nullptr;
  char text[64];
  std::string_view written(text, static_cast<size_t>(format_double(v.d(), text) - text));
  if (written == std::string_view(q, static_cast<size_t>(e - q))) return e;
  p = flush(q, p);
  p = room(p, sizeof text);
  std::memcpy(p, text, sizeof text);  // one fixed-size copy; the layout is shorter
  flushed_ = e;
  p += written.size();
  return e;
}

// At the closing brace of an object whose keys came out of order (the output caught up to
// the brace): its members' texts are put in key order, and of equal keys only the last
// one read is kept, as the reader does.
char* Normalizer::close_object(const Frame& frame, char* p) {
  size_t n = members_.size() - frame.first;
  Member* m = members_.data() + frame.first;
  order_.resize(n);
  for (size_t k = 0; k < n; ++k) order_[k] = static_cast<uint32_t>(k);
  auto less = [m](uint32_t a, uint32_t b) { return bytes::compare(m[a].key, m[b].key) < 0; };
  if (n <= 16) {  // records are small: an insertion sort, stable and with no allocation
    for (size_t k = 1; k < n; ++k) {
      uint32_t cur = order_[k];
      size_t j = k;
      for (; j > 0 && less(cur, order_[j - 1]); --j) order_[j] = order_[j - 1];
      order_[j] = cur;
    }
  } else {
    // Large records of one shape (a feed's items) repeat their keys in the same order: the
    // order worked out last for this member count is reused when they do.
    Shape& shape = shapes_[n % kShapes];
    bool same = shape.keys.size() == n;
    for (size_t k = 0; same && k < n; ++k) same = shape.keys[k] == m[k].key;
    if (same) {
      order_ = shape.order;
    } else {
      std::stable_sort(order_.begin(), order_.end(), less);
      shape.keys.resize(n);
      for (size_t k = 0; k < n; ++k) shape.keys[k] = m[k].key;  // alive until the read ends
      shape.order = order_;
    }
  }
  size_t end = static_cast<size_t>(p - out_.data());
  held_.assign(out_.data() + frame.content, out_.data() + end);
  // Member k's text runs from its key to the comma before the next member.
  auto text_end = [&](size_t k) { return k + 1 < n ? m[k + 1].begin - 1 : end; };
  sorted_.clear();
  p = out_.data() + frame.content;
  for (size_t i = 0; i < n; ++i) {
    size_t k = order_[i];
    if (i + 1 < n && m[order_[i + 1]].key == m[k].key) continue;
    if (!sorted_.empty()) *p++ = ',';
    size_t from = m[k].begin - frame.content, size = text_end(k) - m[k].begin;
    copy_bytes(p, held_.data() + from, size);
    sorted_.push_back({m[k].key, static_cast<size_t>(p - out_.data()), m[k].value, m[k].value_end});
    p += size;
  }
  std::copy(sorted_.begin(), sorted_.end(), m);
  members_.resize(frame.first + sorted_.size());
  return p;
}

bool Normalizer::run(std::vector<MemberText>* members) {
  const char* const end = end_;
  char* p = out_.start(static_cast<size_t>(end - begin_) + 16);
  const char* q = space(begin_, p);
  if (q == end) return false;
  Frame frames[kDepthBudget];
  int depth = 0;

value:
  switch (*q) {
    case '[':
    case '{': {
      if (depth == kDepthBudget - 1) return false;
      bool object = *q == '{';
      q = space(q + 1, p);
      if (q == end) return false;
      if (*q == (object ? '}' : ']')) {
        ++q;
        goto after_value;
      }
      frames[depth++] = {object, true, members_.size(), offset(q, p)};
      if (!object) goto value;
      if (*q != '"') return false;
      goto key;
    }
    case '"':
      q = string(q, p, nullptr);
      break;
    case 'n':
    case 't':
    case 'f': {
      const char* word = *q == 'n' ? "null" : *q == 't' ? "true" : "false";
      size_t n = *q == 'f' ? 5 : 4;
      if (static_cast<size_t>(end - q) < n || std::memcmp(q, word, n) != 0) return false;
      q += n;
      break;
    }
    default:
      if (*q != '-' && !is_digit(*q)) return false;
      q = number(q, p);
      break;
  }
  if (q == nullptr) return false;

after_value:
  if (depth == 0) {
    q = space(q, p);
    if (q != end) return false;
    p = flush(q, p);
    out_.finish(p);
    return true;
  }
  if (frames[depth - 1].object) members_.back().value_end = q;
  q = space(q, p);
  if (q == end) return false;
  if (frames[depth - 1].object) {
    if (*q == ',') {
      q = space(q + 1, p);
      if (q == end || *q != '"') return false;
      goto key;
    }
    if (*q != '}') return false;
    const Frame& frame = frames[depth - 1];
    ++closed_;
    if (!frame.in_order) {
      // Text whose objects are mostly out of order (a feed as an API sends it) has its
      // nested members moved once per level: the reader, which writes each byte once, is
      // cheaper then.
      if (++unordered_ > kUnorderedBudget && unordered_ * 4 > closed_) return false;
      p = flush(q, p);
      p = close_object(frame, p);
    }
    if (depth == 1 && members != nullptr) {
      for (size_t k = frame.first; k < members_.size(); ++k) {
        const Member& m = members_[k];
        size_t text_end = k + 1 < members_.size() ? members_[k + 1].begin - 1 : offset(q, p);
        members->push_back({m.key,
                            {m.value, static_cast<size_t>(m.value_end - m.value)},
                            m.begin - out_.base(),
                            text_end - out_.base()});
      }
    }
    members_.resize(frame.first);
    ++q;
  } else {
    if (*q == ',') {
      q = space(q + 1, p);
      if (q == end || *q == ']') return false;
      goto value;
    }
    if (*q != ']') return false;
    ++q;
  }
  --depth;
  goto after_value;

key :  // q at the key's opening quote
{
  Frame& frame = frames[depth - 1];
  // Filled in place: a member built aside and copied in is read back with wide loads
  // before its narrow stores have landed, a stall on every key.
  Member& m = members_.emplace_back();
  m.begin = offset(q, p);
  q = string(q, p, &m.key);
  if (q == nullptr) return false;
  size_t count = members_.size();
  if (count - 1 > frame.first && bytes::compare(members_[count - 2].key, m.key) >= 0) {
    frame.in_order = false;
  }
  q = space(q, p);
  if (q == end || *q != ':') return false;
  q = space(q + 1, p);
  if (q == end) return false;
  m.value = q;
  goto value;
}
}

}  // namespace

bool normalize_json(std::string_view input, InputMode mode, Buffer& out, TopMembers* members) {
  Normalizer normalizer(input, mode, out, members != nullptr ? &members->keys : nullptr);
  return normalizer.run(members != nullptr ? &members->list : nullptr);
}

}  // namespace quor::json
