// What the platform layer asks the processor and the operating system. Each question is
// answered once per process by its caller, which keeps the answer.
#include "common/platform.hpp"

#include <chrono>
#include <cstring>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>
#if defined(_MSC_VER)
#pragma comment(lib, "bcrypt")
#endif
#elif defined(__linux__)
#include <sys/auxv.h>
#elif defined(__APPLE__)
#include <stdlib.h>
#include <sys/sysctl.h>
#elif defined(__FreeBSD__) || defined(__OpenBSD__) || defined(__NetBSD__)
#include <stdlib.h>
#endif

#if QUOR_X86_64 && !QUOR_MSVC
#include <cpuid.h>
#endif

namespace quor::platform {
namespace cpu {

#if QUOR_X86_64
namespace {

// CPUID leaves 1 and 7 (eax, ebx, ecx, edx each); false when leaf 7 is not there.
bool cpuid_1_7(unsigned leaf1[4], unsigned leaf7[4]) {
#if QUOR_MSVC
  int r[4];
  __cpuid(r, 0);
  if (r[0] < 7) return false;
  __cpuid(r, 1);
  std::memcpy(leaf1, r, 4 * sizeof(unsigned));
  __cpuidex(r, 7, 0);
  std::memcpy(leaf7, r, 4 * sizeof(unsigned));
#else
  if (__get_cpuid_max(0, nullptr) < 7) return false;
  __cpuid(1, leaf1[0], leaf1[1], leaf1[2], leaf1[3]);
  __cpuid_count(7, 0, leaf7[0], leaf7[1], leaf7[2], leaf7[3]);
#endif
  return true;
}

// The register state the operating system saves on a switch (XCR0).
uint64_t saved_state() {
#if QUOR_MSVC
  return _xgetbv(0);
#else
  unsigned lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (uint64_t{hi} << 32) | lo;
#endif
}

}  // namespace
#endif

bool sha_ni() {
#if QUOR_X86_64
  unsigned leaf1[4], leaf7[4];
  if (!cpuid_1_7(leaf1, leaf7)) return false;
  bool ssse3 = (leaf1[2] >> 9) & 1, sse41 = (leaf1[2] >> 19) & 1;
  bool sha = (leaf7[1] >> 29) & 1;
  return ssse3 && sse41 && sha;
#else
  return false;
#endif
}

bool avx2() {
#if QUOR_X86_64
  unsigned leaf1[4], leaf7[4];
  if (!cpuid_1_7(leaf1, leaf7)) return false;
  bool osxsave = (leaf1[2] >> 27) & 1, avx = (leaf1[2] >> 28) & 1;
  if (!osxsave || !avx) return false;
  // The XMM and YMM halves must both be saved, or the upper lanes are lost on a switch.
  return (saved_state() & 6) == 6 && ((leaf7[1] >> 5) & 1);
#else
  return false;
#endif
}

bool arm_sha2() {
#if QUOR_AARCH64
#if defined(_WIN32)
  return IsProcessorFeaturePresent(PF_ARM_V8_CRYPTO_INSTRUCTIONS_AVAILABLE) != 0;
#elif defined(__APPLE__)
  int value = 0;
  size_t size = sizeof value;
  if (sysctlbyname("hw.optional.arm.FEAT_SHA256", &value, &size, nullptr, 0) != 0) {
    return true;  // older systems lack the name, but every Apple arm64 processor has them
  }
  return value != 0;
#elif defined(__linux__)
  constexpr unsigned long kHwcapSha2 = 1ul << 6;  // HWCAP_SHA2 in the kernel's uapi
  return (getauxval(AT_HWCAP) & kHwcapSha2) != 0;
#else
  return false;
#endif
#else
  return false;
#endif
}

}  // namespace cpu

namespace {

// A bijective mixer, so that every input bit reaches every output bit.
uint64_t scramble(uint64_t x) {
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

// Where the operating system gives nothing: this process's addresses (randomised on most
// systems) and the clocks.
uint64_t weak_seed() {
  static const int anchor = 0;
  int local = 0;
  uint64_t x = reinterpret_cast<uintptr_t>(&anchor);
  x = scramble(x ^ reinterpret_cast<uintptr_t>(&local));
  x = scramble(x ^ static_cast<uint64_t>(
                       std::chrono::high_resolution_clock::now().time_since_epoch().count()));
  return scramble(
      x ^ static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
}

}  // namespace

uint64_t random_seed() {
  uint64_t seed = 0;
  bool filled = false;
#if defined(_WIN32)
  filled = BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&seed), sizeof seed,
                           BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
#elif defined(__linux__)
  // Sixteen bytes the kernel hands every process at exec; no call, no file, no new libc.
  if (const void* bytes = reinterpret_cast<const void*>(getauxval(AT_RANDOM))) {
    uint64_t halves[2];
    std::memcpy(halves, bytes, sizeof halves);
    // Mixed, so that the seed is not the raw bytes the C library derives its guards from.
    seed = scramble(halves[0] ^ scramble(halves[1]));
    filled = true;
  }
#elif defined(__APPLE__) || defined(__FreeBSD__) || defined(__OpenBSD__) || defined(__NetBSD__)
  arc4random_buf(&seed, sizeof seed);
  filled = true;
#endif
  return filled ? seed : weak_seed();
}

}  // namespace quor::platform
