// The UTF-8 check of a whole text, 32 bytes at a time (AVX2). Each byte pair is classed by
// three table lookups (the first byte's high and low nibble, the second byte's high
// nibble); every way a pair can break a sequence (a missing or stray continuation, an
// overlong form, a surrogate, a code point past U+10FFFF) is a bit that only a broken pair
// has in all three. Third and fourth bytes, which the pair tables count as stray, are
// told apart by the lead two or three bytes back. The answer is valid_utf8's on every text.
#include "common/platform.hpp"
#include "json/scan.hpp"

#if QUOR_X86_64 && !QUOR_MSVC
#include <immintrin.h>

#include <cstring>

namespace quor::json::detail {
namespace {

constexpr uint8_t kTooShort = 1 << 0;    // a lead byte not followed by a continuation
constexpr uint8_t kTooLong = 1 << 1;     // ASCII followed by a continuation
constexpr uint8_t kOverlong3 = 1 << 2;   // E0 80..9F
constexpr uint8_t kTooLarge = 1 << 3;    // F4 90..BF, F5..FF 90..BF
constexpr uint8_t kSurrogate = 1 << 4;   // ED A0..BF
constexpr uint8_t kOverlong2 = 1 << 5;   // C0, C1
constexpr uint8_t kTooLarge80 = 1 << 6;  // F5..FF 80..8F
constexpr uint8_t kOverlong4 = 1 << 6;   // F0 80..8F
constexpr uint8_t kTwoConts = 1 << 7;    // a continuation after a continuation
constexpr uint8_t kCarry = kTooShort | kTooLong | kTwoConts;  // the low nibble plays no part
constexpr uint8_t kLarge = kCarry | kTooLarge | kTooLarge80;

alignas(16) constexpr uint8_t kFirstHigh[16] = {kTooLong,
                                                kTooLong,
                                                kTooLong,
                                                kTooLong,
                                                kTooLong,
                                                kTooLong,
                                                kTooLong,
                                                kTooLong,
                                                kTwoConts,
                                                kTwoConts,
                                                kTwoConts,
                                                kTwoConts,
                                                kTooShort | kOverlong2,
                                                kTooShort,
                                                kTooShort | kOverlong3 | kSurrogate,
                                                kTooShort | kTooLarge | kTooLarge80 | kOverlong4};
alignas(16) constexpr uint8_t kFirstLow[16] = {kCarry | kOverlong3 | kOverlong2 | kOverlong4,
                                               kCarry | kOverlong2,
                                               kCarry,
                                               kCarry,
                                               kCarry | kTooLarge,
                                               kLarge,
                                               kLarge,
                                               kLarge,
                                               kLarge,
                                               kLarge,
                                               kLarge,
                                               kLarge,
                                               kLarge,
                                               kLarge | kSurrogate,
                                               kLarge,
                                               kLarge};
constexpr uint8_t kCont = kTooLong | kOverlong2 | kTwoConts;
alignas(16) constexpr uint8_t kSecondHigh[16] = {kTooShort,
                                                 kTooShort,
                                                 kTooShort,
                                                 kTooShort,
                                                 kTooShort,
                                                 kTooShort,
                                                 kTooShort,
                                                 kTooShort,
                                                 kCont | kOverlong3 | kTooLarge80 | kOverlong4,
                                                 kCont | kOverlong3 | kTooLarge,
                                                 kCont | kSurrogate | kTooLarge,
                                                 kCont | kSurrogate | kTooLarge,
                                                 kTooShort,
                                                 kTooShort,
                                                 kTooShort,
                                                 kTooShort};
// A block ending in a lead byte whose sequence it does not finish.
alignas(32) constexpr uint8_t kTailMax[32] = {
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,      255,      255,
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 0xf0 - 1, 0xe0 - 1, 0xc0 - 1};

QUOR_TARGET_AVX2 QUOR_ALWAYS_INLINE __m256i table(const uint8_t (&t)[16]) {
  return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(t)));
}

// The block's bytes moved N places later, the last N of `previous` in front.
template <int N>
QUOR_TARGET_AVX2 QUOR_ALWAYS_INLINE __m256i earlier(__m256i block, __m256i previous) {
  return _mm256_alignr_epi8(block, _mm256_permute2x128_si256(previous, block, 0x21), 16 - N);
}

struct Checker {
  __m256i first_high, first_low, second_high, nibble, tail_max, error, previous, unfinished;

  QUOR_TARGET_AVX2 Checker()
      : first_high(table(kFirstHigh)),
        first_low(table(kFirstLow)),
        second_high(table(kSecondHigh)),
        nibble(_mm256_set1_epi8(0x0f)),
        tail_max(_mm256_load_si256(reinterpret_cast<const __m256i*>(kTailMax))),
        error(_mm256_setzero_si256()),
        previous(_mm256_setzero_si256()),
        unfinished(_mm256_setzero_si256()) {}

  QUOR_TARGET_AVX2 QUOR_ALWAYS_INLINE void add(__m256i block) {
    if (_mm256_movemask_epi8(block) == 0) {
      error = _mm256_or_si256(error, unfinished);  // a sequence cut short by ASCII
      unfinished = _mm256_setzero_si256();
    } else {
      const __m256i prev1 = earlier<1>(block, previous);
      const __m256i high1 = _mm256_and_si256(_mm256_srli_epi16(prev1, 4), nibble);
      const __m256i high2 = _mm256_and_si256(_mm256_srli_epi16(block, 4), nibble);
      const __m256i pair = _mm256_and_si256(
          _mm256_and_si256(_mm256_shuffle_epi8(first_high, high1),
                           _mm256_shuffle_epi8(first_low, _mm256_and_si256(prev1, nibble))),
          _mm256_shuffle_epi8(second_high, high2));
      // Bytes two after a three- or four-byte lead, or three after a four-byte one, must be
      // continuations: exactly the continuations the pair tables called stray.
      const __m256i third = _mm256_subs_epu8(earlier<2>(block, previous), _mm256_set1_epi8(0x60));
      const __m256i fourth = _mm256_subs_epu8(earlier<3>(block, previous), _mm256_set1_epi8(0x70));
      const __m256i must = _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(-128));
      error = _mm256_or_si256(error, _mm256_xor_si256(must, pair));
      unfinished = _mm256_subs_epu8(block, tail_max);
    }
    previous = block;
  }
};

}  // namespace

QUOR_TARGET_AVX2 bool valid_utf8_avx2(const char* text, size_t n) {
  Checker check;
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    check.add(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i)));
  }
  if (i < n) {  // the rest, followed by ASCII zeros
    alignas(32) char last[32] = {};
    std::memcpy(last, text + i, n - i);
    check.add(_mm256_load_si256(reinterpret_cast<const __m256i*>(last)));
  }
  const __m256i error = _mm256_or_si256(check.error, check.unfinished);
  return _mm256_testz_si256(error, error) != 0;
}

}  // namespace quor::json::detail

#endif
