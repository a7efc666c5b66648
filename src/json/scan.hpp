// Byte-level helpers shared by the reader and the writer: scanning for the bytes a string
// must stop at, UTF-8 validation, short copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/bytes.hpp"
#include "common/simd.hpp"

#if QUOR_SSE2
#include <emmintrin.h>
#endif

namespace quor::json::detail {

// First byte in [p, end) that is '"', '\\' or below 0x20, or end. Both the reader (end of
// an escape-free run) and the writer (next byte to escape) stop at exactly these bytes.
inline const char* find_special(const char* p, const char* end) {
#if QUOR_SSE2
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

// Bit i set when byte i of the 16 at p is '"', '\\' or below 0x20 (find_special's stops).
inline unsigned special_mask16(const char* p) {
#if !QUOR_SSE2
  unsigned mask = 0;
  for (int i = 0; i < 16; ++i) {
    unsigned char c = static_cast<unsigned char>(p[i]);
    if (c == '"' || c == '\\' || c < 0x20) mask |= 1u << i;
  }
  return mask;
#else
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i hit = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('"')), _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'))),
      _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(0x1f)), x));
  return static_cast<unsigned>(_mm_movemask_epi8(hit));
#endif
}

// Whether [p, p + n) is well-formed UTF-8: no overlong forms, no encoded surrogates,
// nothing above U+10FFFF.
inline bool valid_utf8(const char* text, size_t n) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < n) {
#if QUOR_SSE2
    while (n - i >= 16) {
      unsigned mask = static_cast<unsigned>(
          _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i))));
      if (mask != 0) {
        i += __builtin_ctz(mask);
        break;
      }
      i += 16;
    }
#endif
    // Non-ASCII text comes in runs: stay on this path until the next ASCII byte.
    while (i < n) {
      unsigned c = s[i];
      if (c < 0x80) {
        ++i;
        break;
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
  }
  return true;
}

// Copies n bytes, reading and writing nothing outside [src, src + n) and [dst, dst + n):
// most strings are short, and a library call costs more than the copy.
inline void copy_bytes(char* dst, const char* src, size_t n) {
  if (n >= 8) {
    if (n > 16) {
      if (n > 64) {
        std::memcpy(dst, src, n);
        return;
      }
      for (size_t i = 0; i + 16 < n; i += 16) std::memcpy(dst + i, src + i, 16);
      std::memcpy(dst + n - 16, src + n - 16, 16);
      return;
    }
    uint64_t a, b;
    std::memcpy(&a, src, 8);
    std::memcpy(&b, src + n - 8, 8);
    std::memcpy(dst, &a, 8);
    std::memcpy(dst + n - 8, &b, 8);
  } else if (n >= 4) {
    uint32_t a, b;
    std::memcpy(&a, src, 4);
    std::memcpy(&b, src + n - 4, 4);
    std::memcpy(dst, &a, 4);
    std::memcpy(dst + n - 4, &b, 4);
  } else if (n != 0) {
    char a = src[0], b = src[n / 2], c = src[n - 1];
    dst[0] = a;
    dst[n / 2] = b;
    dst[n - 1] = c;
  }
}

}  // namespace quor::json::detail
