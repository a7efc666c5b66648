// Byte-level helpers shared by the reader and the writer: scanning for the bytes a string
// must stop at, UTF-8 validation, short copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/bytes.hpp"
#include "common/simd.hpp"

namespace quor::json::detail {

// The bytes a string stops at: '"', '\\' and those below 0x20. Both the reader (end of an
// escape-free run) and the writer (next byte to escape) stop at exactly these bytes.
inline bool is_special(unsigned char c) { return c == '"' || c == '\\' || c < 0x20; }

inline bool is_space(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u <= ' ' && ((uint64_t{1} << u) & ((uint64_t{1} << ' ') | (uint64_t{1} << '\n') |
                                            (uint64_t{1} << '\r') | (uint64_t{1} << '\t'))) != 0;
}

// Pretty-printed text puts a line feed and a run of indentation between most tokens:
// after the first byte, runs are skipped sixteen bytes at a time.
QUOR_NOINLINE inline const char* skip_space_run(const char* p, const char* end) {
  if (!is_space(*p)) return p;
  ++p;
  if (p == end || static_cast<unsigned char>(*p) > ' ') return p;
#if QUOR_SIMD
  // Runs are mostly spaces (indentation): one compare finds where the spaces stop, and a
  // newline, tab or return found there is stepped over and the search goes on.
  while (end - p >= 16) {
    unsigned other = ~simd::top_bits(simd::eq(simd::load(p), simd::splat(' '))) & 0xffff;
    if (other == 0) {
      p += 16;
      continue;
    }
    p += platform::ctz32(other);
    if (!is_space(*p)) return p;
    ++p;
  }
#endif
  while (p != end && is_space(*p)) ++p;
  return p;
}

// Whitespace before a token. One space, as json.dumps puts after ',' and ':', is the
// common case and is taken inline.
inline const char* skip_space(const char* p, const char* end) {
  if (p == end || static_cast<unsigned char>(*p) > ' ') return p;
  if (*p == ' ' && end - p > 1 && static_cast<unsigned char>(p[1]) > ' ') return p + 1;
  return skip_space_run(p, end);
}

// The short escape letter of a byte below 0x20 or '"' / '\\', or 'u' for \u00XX.
struct EscapeTable {
  char v[256];
  constexpr EscapeTable() : v() {
    for (int i = 0; i < 0x20; ++i) v[i] = 'u';
    v[unsigned{'\b'}] = 'b';
    v[unsigned{'\t'}] = 't';
    v[unsigned{'\n'}] = 'n';
    v[unsigned{'\f'}] = 'f';
    v[unsigned{'\r'}] = 'r';
    v[unsigned{'"'}] = '"';
    v[unsigned{'\\'}] = '\\';
  }
};
inline constexpr EscapeTable kEscape;

// The escape of a special byte (at most six bytes at p).
inline char* put_escape(unsigned char c, char* p) {
  char e = kEscape.v[c];
  *p++ = '\\';
  if (e != 'u') {
    *p++ = e;
    return p;
  }
  std::memcpy(p, "u00", 3);
  p[3] = "0123456789abcdef"[c >> 4];
  p[4] = "0123456789abcdef"[c & 0xf];
  return p + 5;
}

// The portable scans, which the vector ones must match bit for bit.
inline const char* find_special_portable(const char* p, const char* end) {
  while (p != end) {
    if (is_special(static_cast<unsigned char>(*p))) return p;
    ++p;
  }
  return end;
}
inline unsigned special_mask16_portable(const char* p) {
  unsigned mask = 0;
  for (int i = 0; i < 16; ++i) mask |= unsigned{is_special(static_cast<unsigned char>(p[i]))} << i;
  return mask;
}

#if QUOR_SIMD
inline unsigned special_bits(simd::Bytes x) {
  using simd::at_most, simd::either, simd::eq, simd::splat;
  return simd::top_bits(
      either(either(eq(x, splat('"')), eq(x, splat('\\'))), at_most(x, splat(0x1f))));
}
#endif

// Bit i set when byte i of the 16 at p is special; in `high`, when it is not ASCII.
inline unsigned special_high_mask16_portable(const char* p, unsigned& high) {
  high = 0;
  for (int i = 0; i < 16; ++i) high |= unsigned{static_cast<unsigned char>(p[i]) >= 0x80} << i;
  return special_mask16_portable(p);
}
inline unsigned special_high_mask16(const char* p, unsigned& high) {
#if QUOR_SIMD
  simd::Bytes x = simd::load(p);
  high = simd::top_bits(x);
  return special_bits(x);
#else
  return special_high_mask16_portable(p, high);
#endif
}

// First byte in [p, end) that is special, or end.
inline const char* find_special(const char* p, const char* end) {
#if QUOR_SIMD
  while (end - p >= 16) {
    unsigned mask = special_bits(simd::load(p));
    if (mask != 0) return p + platform::ctz32(mask);
    p += 16;
  }
#endif
  return find_special_portable(p, end);
}

// Bit i set when byte i of the 16 at p is special.
inline unsigned special_mask16(const char* p) {
#if QUOR_SIMD
  return special_bits(simd::load(p));
#else
  return special_mask16_portable(p);
#endif
}

// Whether [p, p + n) is well-formed UTF-8: no overlong forms, no encoded surrogates,
// nothing above U+10FFFF. The vector unit only skips runs of ASCII.
template <bool kVector>
inline bool valid_utf8_with(const char* text, size_t n) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < n) {
#if QUOR_SIMD
    while (kVector && n - i >= 16) {
      unsigned mask = simd::top_bits(simd::load(s + i));
      if (mask != 0) {
        i += platform::ctz32(mask);
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
inline bool valid_utf8(const char* text, size_t n) { return valid_utf8_with<QUOR_SIMD>(text, n); }

// Whether n bytes are all ASCII, a word at a time.
inline bool all_ascii(const char* text, size_t n) {
  uint64_t high = 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, text + i, 8);
    high |= w;
  }
  for (; i < n; ++i) high |= static_cast<unsigned char>(text[i]);
  return (high & 0x8080808080808080ull) == 0;
}

// A whole text checked 32 bytes at a time (utf8_avx2.cpp, with valid_utf8's answer), where
// the processor has AVX2: then cheaper than checking its strings one by one, which the
// caller does otherwise. Returns whether it checked, and puts the answer in `valid`.
bool valid_utf8_avx2(const char* text, size_t n);
inline bool utf8_whole_available() {
#if QUOR_X86_64 && !QUOR_MSVC
  return platform::cpu::has(platform::cpu::kAvx2);
#else
  return false;
#endif
}
inline bool check_utf8_whole(const char* text, size_t n, bool& valid) {
  if (!utf8_whole_available()) return false;
#if QUOR_X86_64 && !QUOR_MSVC
  valid = valid_utf8_avx2(text, n);
#else
  (void)text;
  (void)n;
  (void)valid;
#endif
  return true;
}
inline bool valid_utf8_portable(const char* text, size_t n) {
  return valid_utf8_with<false>(text, n);
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
