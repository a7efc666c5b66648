// The vector byte scans (SSE2 or NEON) against the portable ones: random bytes rich in
// quotes, backslashes, control bytes and high bytes, at every offset and length.
#include <cstring>
#include <string>
#include <vector>

#include "check.hpp"
#include "json/scan.hpp"

namespace detail = quor::json::detail;

namespace {

unsigned char draw_byte(check::Random& rng, unsigned rare) {
  static const unsigned char kEdges[] = {'"', '\\', 0x00, 0x1f, 0x20, 0x7f, 0x80, 0xff, 0x1e, '!'};
  uint64_t r = rng.below(1000);
  if (r < rare) return kEdges[rng.below(sizeof kEdges)];
  if (r < 2 * rare) return static_cast<unsigned char>(rng.next());
  return static_cast<unsigned char>('a' + rng.below(26));
}

// Text that is mostly valid UTF-8 (sequences of every length, ASCII runs) with a rare
// broken byte, so that both answers of the check are common.
void draw_utf8(check::Random& rng, std::vector<char>& out, size_t n) {
  out.clear();
  while (out.size() < n) {
    if (rng.below(40) == 0) {
      out.push_back(static_cast<char>(0x80 | rng.next()));
    } else {
      const std::string_view piece = rng.word(
          "a \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xed\x9f\xbf \xf4\x8f\xbf\xbf \xe0\xa0\x80 "
          "abcdefghijklmnopq");
      out.insert(out.end(), piece.begin(), piece.end());
    }
  }
  out.resize(n);
}

}  // namespace

int main() {
  std::printf("scans: %s\n", QUOR_SSE2 ? "sse2" : QUOR_NEON ? "neon" : "portable");
  check::Random rng(0x5ca9);
  long cases = 0;
  std::vector<char> buffer(160);
  for (int round = 0; round < 600; ++round) {
    unsigned rare = round % 3 == 0 ? 2 : round % 3 == 1 ? 20 : 200;  // per thousand bytes
    for (char& c : buffer) c = static_cast<char>(draw_byte(rng, rare));
    const char* base = buffer.data();
    for (size_t at = 0; at < 24; ++at) {
      for (size_t n = 0; at + n <= buffer.size(); n += 1 + (n >= 40) * 7) {
        const char* p = base + at;
        check::expect(detail::find_special(p, p + n) == detail::find_special_portable(p, p + n),
                      "find_special at %zu, length %zu, round %d", at, n, round);
        ++cases;
      }
      check::expect(detail::special_mask16(base + at) == detail::special_mask16_portable(base + at),
                    "special_mask16 at %zu, round %d", at, round);
      unsigned high = 0, high_portable = 0;
      check::expect(detail::special_high_mask16(base + at, high) ==
                            detail::special_high_mask16_portable(base + at, high_portable) &&
                        high == high_portable,
                    "special_high_mask16 at %zu, round %d", at, round);
    }
  }
  // Whitespace runs: mostly spaces, with newlines, tabs and returns amid them.
  for (int round = 0; round < 2000; ++round) {
    std::vector<char> run(1 + rng.below(90));
    for (char& c : run) c = rng.below(8) != 0 ? ' ' : "\n\t\rx"[rng.below(4)];
    for (size_t at = 0; at < run.size(); ++at) {
      const char *p = run.data() + at, *end = run.data() + run.size(), *expected = p;
      while (expected != end && detail::is_space(*expected)) ++expected;
      check::expect(detail::skip_space_run(p, end) == expected, "skip_space_run at %zu, round %d",
                    at, round);
      ++cases;
    }
  }
  std::vector<char> text;
  for (int round = 0; round < 3000; ++round) {
    size_t n = rng.below(round % 50 == 0 ? 2000 : 90);
    draw_utf8(rng, text, n);
    for (size_t at = 0; at < 4 && at <= n; ++at) {
      check::expect(detail::valid_utf8(text.data() + at, n - at) ==
                        detail::valid_utf8_portable(text.data() + at, n - at),
                    "valid_utf8 at %zu, length %zu, round %d", at, n - at, round);
      ++cases;
    }
  }
  // The whole-text check 32 bytes at a time: generated text at every length, then every
  // byte pair and every three-byte start placed across a block boundary, amid ASCII.
  bool valid = false;
  if (detail::check_utf8_whole("", 0, valid)) {
    auto agree = [&](const char* p, size_t n, const char* what) {
      detail::check_utf8_whole(p, n, valid);
      check::expect(valid == detail::valid_utf8_portable(p, n), "whole-text check, %s", what);
      ++cases;
    };
    for (int round = 0; round < 3000; ++round) {
      draw_utf8(rng, text, rng.below(round % 10 == 0 ? 3000 : 200));
      agree(text.data(), text.size(), "generated");
    }
    std::string block(96, 'a');
    for (size_t at : {0, 29, 30, 31, 62, 94}) {
      for (unsigned a = 0x80; a < 0x100; ++a) {
        for (unsigned b = 0; b < 0x100; ++b) {
          for (unsigned c : {0x41u, 0x80u, 0x9fu, 0xa0u, 0xbfu, 0xc2u}) {
            std::string t = block;
            t[at] = static_cast<char>(a);
            if (at + 1 < t.size()) t[at + 1] = static_cast<char>(b);
            if (at + 2 < t.size()) t[at + 2] = static_cast<char>(c);
            if (at + 3 < t.size() && a >= 0xf0) t[at + 3] = static_cast<char>(0x80 | (b & 0x3f));
            agree(t.data(), t.size(), "placed bytes");
            agree(t.data(), at + 1 + (a & 1), "placed bytes at the end");
          }
        }
      }
    }
  }
  return check::finish("scans", cases);
}
