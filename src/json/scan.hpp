// Byte scanning shared by the reader and the writer.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace quor::json::detail {

// First byte in [p, end) that is '"', '\\' or below 0x20, or end. Both the reader (end of
// an escape-free run) and the writer (next byte to escape) stop at exactly these bytes.
inline const char* find_special(const char* p, const char* end) {
#ifdef __SSE2__
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control = _mm_set1_epi8(0x1f);
  while (end - p >= 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)),
                               _mm_cmpeq_epi8(_mm_min_epu8(x, control), x));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (mask != 0) return p + __builtin_ctz(mask);
    p += 16;
  }
#endif
  while (p != end) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\' || c < 0x20) return p;
    ++p;
  }
  return end;
}

// Whether [p, p + n) is well-formed UTF-8: no overlong forms, no encoded surrogates,
// nothing above U+10FFFF.
inline bool valid_utf8(const char* text, size_t n) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < n) {
#ifdef __SSE2__
    if (n - i >= 16) {
      unsigned mask = static_cast<unsigned>(
          _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i))));
      if (mask == 0) {
        i += 16;
        continue;
      }
      i += __builtin_ctz(mask);
    }
#endif
    unsigned c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    if (c < 0xc2) return false;  // stray continuation byte or overlong two-byte form
    if (c < 0xe0) {
      if (n - i < 2 || (s[i + 1] & 0xc0) != 0x80) return false;
      i += 2;
      continue;
    }
    if (c < 0xf0) {
      if (n - i < 3) return false;
      unsigned c1 = s[i + 1];
      if ((c1 & 0xc0) != 0x80 || (s[i + 2] & 0xc0) != 0x80) return false;
      if (c == 0xe0 && c1 < 0xa0) return false;   // overlong
      if (c == 0xed && c1 >= 0xa0) return false;  // surrogate
      i += 3;
      continue;
    }
    if (c < 0xf5) {
      if (n - i < 4) return false;
      unsigned c1 = s[i + 1];
      if ((c1 & 0xc0) != 0x80 || (s[i + 2] & 0xc0) != 0x80 || (s[i + 3] & 0xc0) != 0x80) {
        return false;
      }
      if (c == 0xf0 && c1 < 0x90) return false;   // overlong
      if (c == 0xf4 && c1 >= 0x90) return false;  // above U+10FFFF
      i += 4;
      continue;
    }
    return false;
  }
  return true;
}

// Float layout of `d` (finite or not) into `out`, which must have room for 64 bytes.
char* format_double(double d, char* out);
// Both layouts with a comma between; room for 128 bytes.
char* format_double_pair(double a, double b, char* out);

}  // namespace quor::json::detail
