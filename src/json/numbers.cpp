#include "json/numbers.hpp"

namespace quor::json::detail {
namespace {

constexpr uint64_t kCut = UINT64_MAX / 10;       // 1844674407370955161
constexpr unsigned kCutDigit = UINT64_MAX % 10;  // 5

// A number's digits as read so far: value = s * 10^exponent.
struct Significand {
  uint64_t s = 0;
  int64_t exponent = 0;
  bool is_float = false;

  // Whether one more digit would overflow s.
  bool full(unsigned d) const { return s >= kCut && (s > kCut || d > kCutDigit); }
};

inline const char* skip_digits(const char* p, const char* end) {
  while (p != end && is_digit(*p)) ++p;
  return p;
}

// The integer part at p (a digit). Digits past what fits are counted as a scale.
Step integer_part(const char* p, const char* end, Significand& n) {
  if (*p == '0') {
    ++p;
    if (p != end && is_digit(*p)) return Step::fail(p + 1, kInvalidNumber);
    return Step::ok(p);
  }
  while (p != end && is_digit(*p)) {
    unsigned d = static_cast<unsigned>(*p - '0');
    if (n.full(d)) {
      const char* more = p;
      p = skip_digits(p, end);
      n.exponent += p - more;
      n.is_float = true;
      break;
    }
    n.s = n.s * 10 + d;
    ++p;
  }
  return Step::ok(p);
}

// The fraction at p (after the '.'). Digits past what fits are dropped.
Step fraction_part(const char* p, const char* end, Significand& n) {
  n.is_float = true;
  if (p == end) return Step::fail(p, kEofValue);
  if (!is_digit(*p)) return Step::fail(p + 1, kInvalidNumber);
  do {
    unsigned d = static_cast<unsigned>(*p - '0');
    if (n.full(d)) return Step::ok(skip_digits(p, end));
    n.s = n.s * 10 + d;
    --n.exponent;
    ++p;
  } while (p != end && is_digit(*p));
  return Step::ok(p);
}

// The exponent at p (after the 'e'). One too large for 32 bits makes the value zero, or
// out of range; `settled` then tells that `out` holds the value (zero).
Step exponent_part(const char* p, const char* end, bool negative, Significand& n, JsonDocument& out,
                   bool& settled) {
  n.is_float = true;
  bool exp_negative = false;
  if (p != end && (*p == '+' || *p == '-')) {
    exp_negative = *p == '-';
    ++p;
  }
  if (p == end) return Step::fail(p, kEofValue);
  if (!is_digit(*p)) return Step::fail(p + 1, kInvalidNumber);
  int32_t e = 0;
  do {
    int d = *p - '0';
    if (e > INT32_MAX / 10 || (e == INT32_MAX / 10 && d > INT32_MAX % 10)) {
      p = skip_digits(p, end);
      if (n.s != 0 && !exp_negative) return Step::fail(p, kNumberOutOfRange);
      set(out, JsonDocument::real(negative ? -0.0 : 0.0));
      settled = true;
      return Step::ok(p);
    }
    e = e * 10 + d;
    ++p;
  } while (p != end && is_digit(*p));
  n.exponent += exp_negative ? -int64_t{e} : int64_t{e};
  return Step::ok(p);
}

// A number without fraction or exponent, in the narrowest of the three forms.
void store_integer(uint64_t s, bool negative, JsonDocument& out) {
  if (!negative) {
    set(out, JsonDocument::uint(s));
  } else if (s == 0) {
    set(out, JsonDocument::real(-0.0));
  } else if (s <= (uint64_t{1} << 63)) {
    set(out, JsonDocument::negint(static_cast<int64_t>(~s + 1)));
  } else {
    set(out, JsonDocument::real(-static_cast<double>(s)));
  }
}

}  // namespace

Step read_number_exact(const char* p, const char* end, JsonDocument& out) {
  bool negative = false;
  if (*p == '-') {
    negative = true;
    ++p;
    if (p == end) return Step::fail(p, kEofValue);
    if (!is_digit(*p)) return Step::fail(p + 1, kInvalidNumber);
  }
  Significand n;
  Step step = integer_part(p, end, n);
  if (step.end == nullptr) return step;
  p = step.end;
  if (p != end && *p == '.') {
    step = fraction_part(p + 1, end, n);
    if (step.end == nullptr) return step;
    p = step.end;
  }
  if (p != end && (*p | 0x20) == 'e') {
    bool settled = false;
    step = exponent_part(p + 1, end, negative, n, out, settled);
    if (step.end == nullptr || settled) return step;
    p = step.end;
  }
  if (!n.is_float) {
    store_integer(n.s, negative, out);
    return Step::ok(p);
  }
  int64_t exponent = std::clamp<int64_t>(n.exponent, INT32_MIN, INT32_MAX);
  double d;
  if (!scale(n.s, exponent, negative, d)) return Step::fail(p, kNumberOutOfRange);
  set(out, JsonDocument::real(d));
  return Step::ok(p);
}

}  // namespace quor::json::detail
