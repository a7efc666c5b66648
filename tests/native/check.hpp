// What the native checks share: a failure that stops the run with its case, and one
// seeded generator, so that every run (and every platform) sees the same inputs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

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

 private:
  uint64_t state_;
};

}  // namespace check
