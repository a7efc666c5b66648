// The accelerated SHA-256 block function (SHA-NI on x86-64, the ARMv8 instructions on
// aarch64) against the portable one, over every length around the first block edges,
// some long messages, and messages fed in random pieces.
#include <algorithm>
#include <cstring>
#include <vector>

#include "actors/sha256.hpp"
#include "check.hpp"
#include "common/platform.hpp"

using quor::actors::Sha256;

namespace {

// The digest of a whole message through one block function.
Sha256::Digest digest_with(Sha256::BlockFn blocks, const std::vector<uint8_t>& message) {
  uint32_t state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::vector<uint8_t> padded = message;
  padded.push_back(0x80);
  while (padded.size() % 64 != 56) padded.push_back(0);
  uint64_t bits = uint64_t{message.size()} * 8;
  for (int i = 7; i >= 0; --i) padded.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  blocks(state, padded.data(), padded.size() / 64);
  Sha256::Digest out;
  for (int i = 0; i < 32; ++i) out[i] = static_cast<uint8_t>(state[i / 4] >> (24 - 8 * (i % 4)));
  return out;
}

const char* path_name() {
#if QUOR_X86_64
  return Sha256::blocks_accelerated() ? "sha-ni" : "portable (no SHA-NI here)";
#elif QUOR_ARM_SHA2
  return Sha256::blocks_accelerated() ? "armv8-sha2" : "portable (no SHA-2 instructions here)";
#else
  return "portable (no accelerated path in this build)";
#endif
}

}  // namespace

int main() {
  // The portable function itself, on a known answer ("abc").
  const uint8_t abc_digest[32] = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                                  0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                                  0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
  std::vector<uint8_t> abc = {'a', 'b', 'c'};
  check::expect(std::memcmp(digest_with(&Sha256::blocks_portable, abc).data(), abc_digest, 32) == 0,
                "portable digest of abc");

  Sha256::BlockFn fast = Sha256::blocks_accelerated();
  std::printf("sha256 path: %s\n", path_name());
  check::Random rng(0x5a256);
  long cases = 0;
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
  for (size_t n : {1000, 4095, 4096, 4097, 65536 + 55, 100000}) lengths.push_back(n);
  for (size_t n : lengths) {
    for (int round = 0; round < 3; ++round) {
      std::vector<uint8_t> message(n);
      for (auto& b : message) b = static_cast<uint8_t>(round == 0 ? 0xff : rng.next());
      Sha256::Digest expected = digest_with(&Sha256::blocks_portable, message);
      if (fast) {
        check::expect(digest_with(fast, message) == expected, "block function, length %zu", n);
      }
      // The streaming digest (on the process's chosen function), fed in random pieces.
      Sha256 streamed;
      for (size_t at = 0; at < n;) {
        size_t take = std::min<size_t>(n - at, rng.below(130));
        streamed.update(message.data() + at, take);
        at += take;
      }
      check::expect(streamed.finish() == expected, "streamed digest, length %zu", n);
      ++cases;
    }
  }
  return check::finish("sha256", cases);
}
