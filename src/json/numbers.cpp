#include "json/numbers.hpp"

namespace quor::json::detail {

Step read_number_exact(const char* p, const char* end, JsonDocument& out) {
  bool negative = false;
  if (*p == '-') {
    negative = true;
    ++p;
    if (p == end) return Step::fail(p, kEofValue);
    if (!is_digit(*p)) return Step::fail(p + 1, kInvalidNumber);
  }
  constexpr uint64_t kCut = UINT64_MAX / 10;       // 1844674407370955161
  constexpr unsigned kCutDigit = UINT64_MAX % 10;  // 5
  uint64_t s = 0;
  int64_t exponent = 0;
  bool is_float = false;
  if (*p == '0') {
    ++p;
    if (p != end && is_digit(*p)) return Step::fail(p + 1, kInvalidNumber);
  } else {
    while (p != end && is_digit(*p)) {
      unsigned d = static_cast<unsigned>(*p - '0');
      if (s >= kCut && (s > kCut || d > kCutDigit)) {
        // Too many digits: keep the leading ones and count the rest as a scale.
        const char* more = p;
        while (p != end && is_digit(*p)) ++p;
        exponent += p - more;
        is_float = true;
        break;
      }
      s = s * 10 + d;
      ++p;
    }
  }
  if (p != end && *p == '.') {
    ++p;
    is_float = true;
    if (p == end) return Step::fail(p, kEofValue);
    if (!is_digit(*p)) return Step::fail(p + 1, kInvalidNumber);
    do {
      unsigned d = static_cast<unsigned>(*p - '0');
      if (s >= kCut && (s > kCut || d > kCutDigit)) {
        while (p != end && is_digit(*p)) ++p;
        break;
      }
      s = s * 10 + d;
      --exponent;
      ++p;
    } while (p != end && is_digit(*p));
  }
  if (p != end && (*p | 0x20) == 'e') {
    ++p;
    is_float = true;
    bool exp_negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
      exp_negative = *p == '-';
      ++p;
    }
    if (p == end) return Step::fail(p, kEofValue);
    if (!is_digit(*p)) return Step::fail(p + 1, kInvalidNumber);
    int32_t e = 0;
    bool overflow = false;
    do {
      int d = *p - '0';
      if (e > INT32_MAX / 10 || (e == INT32_MAX / 10 && d > INT32_MAX % 10)) {
        overflow = true;
        while (p != end && is_digit(*p)) ++p;
        break;
      }
      e = e * 10 + d;
      ++p;
    } while (p != end && is_digit(*p));
    if (overflow) {
      if (s != 0 && !exp_negative) return Step::fail(p, kNumberOutOfRange);
      set(out, JsonDocument::real(negative ? -0.0 : 0.0));
      return Step::ok(p);
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
    return Step::ok(p);
  }
  exponent = std::clamp<int64_t>(exponent, INT32_MIN, INT32_MAX);
  double d;
  if (!scale(s, exponent, negative, d)) return Step::fail(p, kNumberOutOfRange);
  set(out, JsonDocument::real(d));
  return Step::ok(p);
}

}  // namespace quor::json::detail
