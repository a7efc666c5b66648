// The platform layer's 128-bit arithmetic (the pair of words that compilers without a
// 128-bit type get, and that the portable build uses) against the compiler's own type,
// over random operands and every shift.
#include "check.hpp"
#include "common/platform.hpp"

#if defined(__SIZEOF_INT128__)
__extension__ typedef unsigned __int128 wide;

namespace {

using quor::platform::u128;

wide widen(u128 x) {
  return (wide{static_cast<uint64_t>(x >> 64)} << 64) | static_cast<uint64_t>(x);
}
u128 make(wide x) {
  return (u128{static_cast<uint64_t>(x >> 64)} << 64) | static_cast<uint64_t>(x);
}

// Operands with runs of ones and zeros, where carries and borrows go wrong.
uint64_t operand(check::Random& rng) {
  switch (rng.below(4)) {
    case 0:
      return rng.next();
    case 1:
      return ~uint64_t{0} >> rng.below(64);
    case 2:
      return uint64_t{1} << rng.below(64);
    default:
      return rng.below(1000);
  }
}

}  // namespace

int main() {
  std::printf("u128: %s\n", QUOR_INT128 ? "the compiler's type" : "a pair of words");
  check::Random rng(0x128);
  long cases = 0;
  for (int i = 0; i < 200000; ++i) {
    wide a = (wide{operand(rng)} << 64) | operand(rng),
         b = (wide{operand(rng)} << 64) | operand(rng);
    uint64_t c = operand(rng), d = operand(rng);
    int s = static_cast<int>(rng.below(128));
    u128 x = make(a), y = make(b);
    check::expect(widen(x + y) == a + b, "sum, case %d", i);
    check::expect(widen(x - y) == a - b, "difference, case %d", i);
    check::expect(widen(x * y) == a * b, "product, case %d", i);
    check::expect(widen(x | y) == (a | b), "or, case %d", i);
    check::expect(widen(x << s) == a << s && widen(x >> s) == a >> s, "shift by %d, case %d", s, i);
    check::expect(widen(static_cast<u128>(c) * d) == wide{c} * d, "wide product, case %d", i);
    check::expect(quor::platform::mul_high(c, d) == static_cast<uint64_t>((wide{c} * d) >> 64),
                  "high half, case %d", i);
    ++cases;
  }
  return check::finish("u128", cases);
}
#else
int main() {
  std::printf("u128: no 128-bit type to compare with\n");
  return 0;
}
#endif
