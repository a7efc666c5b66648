// What the native checks and fuzzers share: a failure that stops the run with its case, one
// seeded generator, so that every run (and every platform) sees the same inputs, and the
// one float equality that every kernel is held to.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace check {

inline int failures = 0;

template <typename... Args>
void expect(bool ok, const char* what, Args... args) {
  if (ok) return;
  std::fprintf(stderr, "failed: ");
  if constexpr (sizeof...(Args) == 0) {
    std::fputs(what, stderr);
  } else {
    std::fprintf(stderr, what, args...);
  }
  std::fprintf(stderr, "\n");
  if (++failures >= 10) std::exit(1);
}

// For the fuzzers: a failed property aborts, so that the fuzzer keeps the input.
inline void require(bool ok, const char* what, const char* name = "") {
  if (ok) return;
  std::fprintf(stderr, "property failed: %s%s%s\n", what, *name ? " " : "", name);
  std::abort();
}

// Equal bits, or both NaN (a NaN's payload is the processor's choice, not a result).
inline bool same(float a, float b) {
  return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b) ||
         (std::isnan(a) && std::isnan(b));
}

inline int finish(const char* name, long cases) {
  if (failures != 0) return 1;
  std::printf("%s: %ld cases agree\n", name, cases);
  return 0;
}

// splitmix64: small, and the same sequence on every compiler.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  uint64_t below(uint64_t n) { return next() % n; }
  // One of the space-separated words of a list.
  std::string_view word(std::string_view list) {
    std::vector<std::string_view> words;
    for (size_t at = 0, end; at < list.size(); at = end + 1) {
      end = list.find(' ', at);
      if (end == std::string_view::npos) end = list.size();
      words.push_back(list.substr(at, end - at));
    }
    return words[below(words.size())];
  }

 private:
  uint64_t state_;
};

}  // namespace check
