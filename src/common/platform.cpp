// What the platform layer asks the processor and the operating system, once per process.
#include "common/platform.hpp"

#include <chrono>
#include <cstdlib>
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

namespace {

uint32_t detect() {
  uint32_t word = 0;
#if QUOR_X86_64
  word |= kSse2;
  unsigned leaf1[4], leaf7[4];
  if (cpuid_1_7(leaf1, leaf7)) {
    const bool ssse3 = (leaf1[2] >> 9) & 1, sse41 = (leaf1[2] >> 19) & 1;
    if (ssse3 && sse41 && ((leaf7[1] >> 29) & 1)) word |= kShaNi;
    const bool osxsave = (leaf1[2] >> 27) & 1, avx = (leaf1[2] >> 28) & 1;
    // The XMM and YMM halves must both be saved, or the upper lanes are lost on a switch.
    if (osxsave && avx && (saved_state() & 6) == 6 && ((leaf7[1] >> 5) & 1)) word |= kAvx2;
  }
#elif QUOR_AARCH64
  word |= kNeon;
#if defined(_WIN32)
  if (IsProcessorFeaturePresent(PF_ARM_V8_CRYPTO_INSTRUCTIONS_AVAILABLE)) word |= kArmSha2;
#elif defined(__APPLE__)
  int value = 0;
  size_t size = sizeof value;
  // Older systems lack the name, but every Apple arm64 processor has the instructions.
  if (sysctlbyname("hw.optional.arm.FEAT_SHA256", &value, &size, nullptr, 0) != 0 || value) {
    word |= kArmSha2;
  }
#elif defined(__linux__)
  constexpr unsigned long kHwcapSha2 = 1ul << 6;  // HWCAP_SHA2 in the kernel's uapi
  if (getauxval(AT_HWCAP) & kHwcapSha2) word |= kArmSha2;
#endif
#endif
  return word;
}

#if defined(QUOR_DISPATCH_OVERRIDE)
// QUOR_KERNELS: implementation names separated by commas; only the features they name are
// kept ("portable" names none). A name the processor lacks stays off.
uint32_t named(const char* list) {
  static constexpr struct {
    const char* name;
    uint32_t bits;
  } kNames[] = {{"portable", 0}, {"sse2", kSse2},    {"avx2", kAvx2},
                {"neon", kNeon}, {"sha-ni", kShaNi}, {"armv8", kArmSha2}};
  uint32_t word = 0;
  for (const char* p = list; *p;) {
    const char* end = std::strchr(p, ',');
    const size_t n = end ? static_cast<size_t>(end - p) : std::strlen(p);
    for (const auto& entry : kNames) {
      if (std::strlen(entry.name) == n && std::strncmp(entry.name, p, n) == 0) word |= entry.bits;
    }
    p += end ? n + 1 : n;
  }
  return word;
}
#endif

}  // namespace

uint32_t features() {
  static const uint32_t word = [] {
    uint32_t found = detect();
#if defined(QUOR_DISPATCH_OVERRIDE)
    if (const char* list = std::getenv("QUOR_KERNELS")) found &= named(list);
#endif
    return found;
  }();
  return word;
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
