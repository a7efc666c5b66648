// The platform layer: the one place that names a compiler builtin, a compiler attribute
// or the processor. Everything else asks it, so that GCC, Clang (Apple's too) and MSVC
// build the same code, and QUOR_PORTABLE (a build option) can force the portable code on
// every path, so that what other processors run is built and tested on this one.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#define QUOR_MSVC 1
#else
#define QUOR_MSVC 0
#endif

// The processor the fast paths are written for; 0 under QUOR_PORTABLE.
#if !defined(QUOR_PORTABLE) && (defined(__x86_64__) || (defined(_M_X64) && !defined(_M_ARM64EC)))
#define QUOR_X86_64 1
#else
#define QUOR_X86_64 0
#endif
#if !defined(QUOR_PORTABLE) && (defined(__aarch64__) || defined(_M_ARM64))
#define QUOR_AARCH64 1
#else
#define QUOR_AARCH64 0
#endif

#define QUOR_PRAGMA(x) _Pragma(#x)

// A symbol the shared library exports despite hidden visibility.
#if QUOR_MSVC
#define QUOR_EXPORT __declspec(dllexport)
#else
#define QUOR_EXPORT __attribute__((visibility("default")))
#endif

#if QUOR_MSVC
#define QUOR_ALWAYS_INLINE __forceinline
#define QUOR_NOINLINE __declspec(noinline)
#define QUOR_COLD __declspec(noinline)
#define QUOR_UNROLL(n)
#define QUOR_FP_CONTRACT_OFF __pragma(fp_contract(off))
#else
#define QUOR_ALWAYS_INLINE inline __attribute__((always_inline))
#define QUOR_NOINLINE __attribute__((noinline))
#define QUOR_COLD __attribute__((cold, noinline))
#define QUOR_UNROLL(n) QUOR_PRAGMA(GCC unroll n)
// GCC does not read the pragma in C++; it contracts nothing under -std=c++20 or
// -ffp-contract=off, which the build passes.
#if defined(__clang__)
#define QUOR_FP_CONTRACT_OFF QUOR_PRAGMA(STDC FP_CONTRACT OFF)
#else
#define QUOR_FP_CONTRACT_OFF
#endif
#endif

// Functions compiled for an optional instruction set, called only once the processor
// has been asked (see cpu below). MSVC and Apple's arm64 targets need no attribute.
#if QUOR_MSVC
#define QUOR_TARGET_SHA_NI
#define QUOR_TARGET_AVX2
#define QUOR_TARGET_ARM_SHA2
#else
#define QUOR_TARGET_SHA_NI __attribute__((target("sha,sse4.1")))
#define QUOR_TARGET_AVX2 __attribute__((target("avx2")))
// "crypto" (SHA-2 and AES) rather than "sha2": GCC 12 declares the SHA-256 intrinsics for
// "+crypto", and a function may inline only intrinsics whose features it has.
#if defined(__clang__)
#define QUOR_TARGET_ARM_SHA2 __attribute__((target("crypto")))
#else
#define QUOR_TARGET_ARM_SHA2 __attribute__((target("+crypto")))
#endif
#endif

// Whether the ARMv8 SHA-256 intrinsics can be compiled without a build-wide flag: clang
// before 16 declares them only when the whole build targets them.
#if QUOR_AARCH64 && (QUOR_MSVC || !defined(__clang__) || __clang_major__ >= 16 || \
                     defined(__ARM_FEATURE_SHA2) || defined(__ARM_FEATURE_CRYPTO))
#define QUOR_ARM_SHA2 1
#else
#define QUOR_ARM_SHA2 0
#endif

namespace quor::platform {

// Count of trailing zero bits; x must not be zero.
inline int ctz32(uint32_t x) {
#if QUOR_MSVC
  unsigned long i;
  _BitScanForward(&i, x);
  return static_cast<int>(i);
#else
  return __builtin_ctz(x);
#endif
}

inline int ctz64(uint64_t x) {
#if QUOR_MSVC
  unsigned long i;
  _BitScanForward64(&i, x);
  return static_cast<int>(i);
#else
  return __builtin_ctzll(x);
#endif
}

// Count of leading zero bits; x must not be zero.
inline int clz64(uint64_t x) {
#if QUOR_MSVC
  unsigned long i;
  _BitScanReverse64(&i, x);
  return 63 - static_cast<int>(i);
#else
  return __builtin_clzll(x);
#endif
}

inline uint64_t bswap64(uint64_t x) {
#if QUOR_MSVC
  return _byteswap_uint64(x);
#else
  return __builtin_bswap64(x);
#endif
}

inline void prefetch(const void* p) {
#if QUOR_MSVC
#if defined(_M_X64)
  _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
#else
  (void)p;
#endif
#else
  __builtin_prefetch(p);
#endif
}

// The same pointer, which the compiler may no longer assume it knows: loads through it
// are not merged with loads through the original.
template <class T>
QUOR_ALWAYS_INLINE T* opaque(T* p) {
#if QUOR_MSVC
  return p;
#else
  __asm__("" : "+r"(p));
  return p;
#endif
}

[[noreturn]] inline void unreachable() {
#if QUOR_MSVC
  __assume(0);
#else
  __builtin_unreachable();
#endif
}

// Unsigned 128-bit arithmetic: the compiler's type where it has one, else a pair of words
// with the few operations the float formatter and its tables use (QUOR_PORTABLE builds
// take the pair too, so that it is tested).
#if defined(__SIZEOF_INT128__) && !defined(QUOR_PORTABLE)
#define QUOR_INT128 1
__extension__ typedef unsigned __int128 u128;
#else
#define QUOR_INT128 0

// The high half of a * b.
constexpr uint64_t mul_high_words(uint64_t a, uint64_t b) {
  uint64_t a0 = a & 0xffffffff, a1 = a >> 32, b0 = b & 0xffffffff, b1 = b >> 32;
  uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
  uint64_t middle = (p00 >> 32) + (p01 & 0xffffffff) + (p10 & 0xffffffff);
  return p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32);
}

struct u128 {
  uint64_t lo = 0, hi = 0;  // in this order: the layout of a little-endian 128-bit word

  constexpr u128() = default;
  constexpr u128(uint64_t v) : lo(v) {}  // NOLINT: converts like the built-in type
  constexpr u128(uint64_t low, uint64_t high) : lo(low), hi(high) {}
  explicit constexpr operator uint64_t() const { return lo; }

  friend constexpr u128 operator|(u128 a, u128 b) { return {a.lo | b.lo, a.hi | b.hi}; }
  friend constexpr u128 operator&(u128 a, u128 b) { return {a.lo & b.lo, a.hi & b.hi}; }
  friend constexpr u128 operator+(u128 a, u128 b) {
    uint64_t lo = a.lo + b.lo;
    return {lo, a.hi + b.hi + (lo < a.lo)};
  }
  friend constexpr u128 operator-(u128 a, u128 b) {
    return {a.lo - b.lo, a.hi - b.hi - (a.lo < b.lo)};
  }
  friend constexpr u128 operator*(u128 a, u128 b) {
    uint64_t high;
#if QUOR_MSVC && (defined(_M_X64) || defined(_M_ARM64))
    if (!std::is_constant_evaluated()) {
      high = __umulh(a.lo, b.lo);
    } else {
      high = mul_high_words(a.lo, b.lo);
    }
#else
    high = mul_high_words(a.lo, b.lo);
#endif
    return {a.lo * b.lo, high + a.lo * b.hi + a.hi * b.lo};
  }
  friend constexpr u128 operator<<(u128 a, int n) {
    if (n == 0) return a;
    if (n >= 64) return {0, a.lo << (n - 64)};
    return {a.lo << n, (a.hi << n) | (a.lo >> (64 - n))};
  }
  friend constexpr u128 operator>>(u128 a, int n) {
    if (n == 0) return a;
    if (n >= 64) return {a.hi >> (n - 64), 0};
    return {(a.lo >> n) | (a.hi << (64 - n)), a.hi >> n};
  }
  friend constexpr bool operator==(u128 a, u128 b) = default;
};
static_assert(sizeof(u128) == 16);
#endif

// The high half of the 128-bit product.
inline uint64_t mul_high(uint64_t a, uint64_t b) {
  return static_cast<uint64_t>((static_cast<u128>(a) * b) >> 64);
}

// Both halves of the 128-bit product, for hashing.
inline uint64_t mul_fold(uint64_t a, uint64_t b) {
  u128 r = static_cast<u128>(a) * b;
  return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
}

// Optional instruction sets: one word, asked of the processor and the operating system
// once and kept. Every kernel dispatch reads it. Builds with QUOR_DISPATCH_OVERRIDE (test
// builds only) narrow it to the implementations that QUOR_KERNELS names, so that one build
// can run every suite on each of them.
namespace cpu {
enum Feature : uint32_t {
  kSse2 = 1u << 0,     // x86-64 vector kernels (every x86-64 processor has it)
  kAvx2 = 1u << 1,     // with the operating system saving the 256-bit registers
  kShaNi = 1u << 2,    // x86-64 SHA extensions with SSSE3 and SSE4.1
  kNeon = 1u << 3,     // aarch64 vector kernels (every aarch64 processor has it)
  kArmSha2 = 1u << 4,  // ARMv8 SHA-256 instructions
};
uint32_t features();
inline bool has(uint32_t feature) { return (features() & feature) != 0; }
}  // namespace cpu

// Sixty-four bits the operating system made up for this process (or, where it gives
// none, the best mix of address and time at hand).
uint64_t random_seed();

}  // namespace quor::platform
