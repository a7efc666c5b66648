// The two halves of reading a string with escapes, as pure functions: decoding one
// escape, and copying the run of plain bytes after it.
#pragma once

#include <cstring>

#include "json/reader.hpp"
#include "json/scan.hpp"

namespace quor::json::detail {

// Four hex digits at p.
inline Step hex4(const char* p, const char* end, unsigned& cp) {
  if (end - p < 4) return Step::fail(end, kEofString);
  const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
  int a = kHex.v[u[0]], b = kHex.v[u[1]], c = kHex.v[u[2]], d = kHex.v[u[3]];
  if ((a | b | c | d) < 0) return Step::fail(p + 4, kInvalidEscape);
  cp = static_cast<unsigned>((a << 12) | (b << 8) | (c << 4) | d);
  return Step::ok(p + 4);
}

inline char* put_utf8(char* w, unsigned cp) {
  if (cp < 0x80) {
    *w++ = static_cast<char>(cp);
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
  return w;
}

// A \u escape after its 'u' (at p): one code point, or a surrogate pair in two escapes.
inline Step decode_unicode(const char* p, const char* end, char*& w, bool& clean) {
  unsigned cp;
  Step s = hex4(p, end, cp);
  if (s.end == nullptr) return s;
  p = s.end;
  if (cp - 0xd800 < 0x800) {
    if (cp >= 0xdc00) return Step::fail(p, kLoneSurrogate);
    if (p == end) return Step::fail(end, kEofString);
    if (*p++ != '\\') return Step::fail(p, kUnexpectedEndOfHex);
    if (p == end) return Step::fail(end, kEofString);
    if (*p++ != 'u') return Step::fail(p, kUnexpectedEndOfHex);
    unsigned low;
    s = hex4(p, end, low);
    if (s.end == nullptr) return s;
    p = s.end;
    if (low - 0xdc00 >= 0x400) return Step::fail(p, kLoneSurrogate);
    cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
  }
  if (cp < 0x20 || cp == '"' || cp == '\\') clean = false;
  w = put_utf8(w, cp);
  return Step::ok(p);
}

// The escape whose backslash is just before p (p < end): its UTF-8 bytes are written at
// w, which has room for four, and w is moved past them. `clean` is cleared when a
// decoded byte would need escaping again when written.
inline Step decode_escape(const char* p, const char* end, char*& w, bool& clean) {
  char e = *p++;
  // \u00XX with XX at or above 0x80, two UTF-8 bytes, is the escape text written with
  // ASCII-only output is full of.
  if (e == 'u' && end - p >= 4 && p[0] == '0' && p[1] == '0') {
    int hi = kHex.v[static_cast<unsigned char>(p[2])],
        lo = kHex.v[static_cast<unsigned char>(p[3])];
    if (hi >= 8 && lo >= 0) {
      unsigned cp = static_cast<unsigned>(hi << 4 | lo);
      w[0] = static_cast<char>(0xc0 | (cp >> 6));
      w[1] = static_cast<char>(0x80 | (cp & 0x3f));
      w += 2;
      return Step::ok(p + 4);
    }
  }
  char plain;
  switch (e) {
    case '/':
      *w++ = '/';
      return Step::ok(p);
    case '"':
      plain = '"';
      break;
    case '\\':
      plain = '\\';
      break;
    case 'b':
      plain = '\b';
      break;
    case 'f':
      plain = '\f';
      break;
    case 'n':
      plain = '\n';
      break;
    case 'r':
      plain = '\r';
      break;
    case 't':
      plain = '\t';
      break;
    case 'u':
      return decode_unicode(p, end, w, clean);
    default:
      return Step::fail(p, kInvalidEscape);
  }
  *w++ = plain;
  clean = false;
  return Step::ok(p);
}

// Copies from p to w the run of bytes before the next '"', '\\' or control byte, sixteen
// at a time (w has room for sixteen past `limit`), and stops early once w passes `limit`.
// Returns whether it reached such a byte; p is then at it, or at end when there is none.
inline bool copy_run(const char*& p, const char* end, char*& w, const char* limit) {
  while (w <= limit) {
    if (end - p < 16) {
      const char* r = find_special(p, end);
      std::memcpy(w, p, static_cast<size_t>(r - p));
      w += r - p;
      p = r;
      return p != end;
    }
    std::memcpy(w, p, 16);
    unsigned mask = special_mask16(p);
    if (mask != 0) {
      unsigned k = static_cast<unsigned>(platform::ctz32(mask));
      p += k;
      w += k;
      return true;
    }
    p += 16;
    w += 16;
  }
  return false;
}

}  // namespace quor::json::detail
