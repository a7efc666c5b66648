// Every SHA-256 engine the processor can run (SHA-NI on x86-64, the ARMv8 instructions on
// aarch64) against the portable one: messages of every length around the block edges and
// some long ones, split into random parts, one at a time and two at once (the two-stream
// path), the portable engine itself against a plain padded reference.
#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "actors/sha256.hpp"
#include "check.hpp"
#include "common/platform.hpp"

namespace sha256 = quor::actors::sha256;
using quor::platform::cpu::has;

namespace {

// The padding written out: the message, 0x80, zeros to 56 mod 64, the bit length.
sha256::Words padded_reference(const std::vector<uint8_t>& message) {
  std::vector<uint8_t> padded = message;
  padded.push_back(0x80);
  while (padded.size() % 64 != 56) padded.push_back(0);
  const uint64_t bits = uint64_t{message.size()} * 8;
  for (int i = 7; i >= 0; --i) padded.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  sha256::Words state = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  sha256::portable_engine().blocks(state.data(), padded.data(), padded.size() / 64);
  return state;
}

// The message cut at up to three random places (parts may be empty).
std::vector<std::string_view> split(const std::vector<uint8_t>& message, check::Random& rng) {
  std::vector<size_t> cuts = {0, message.size()};
  for (int i = static_cast<int>(rng.below(4)); i > 0; --i)
    cuts.push_back(rng.below(message.size() + 1));
  std::sort(cuts.begin(), cuts.end());
  std::vector<std::string_view> parts;
  const char* base = reinterpret_cast<const char*>(message.data());
  for (size_t i = 0; i + 1 < cuts.size(); ++i)
    parts.emplace_back(base + cuts[i], cuts[i + 1] - cuts[i]);
  return parts;
}

}  // namespace

int main() {
  const uint8_t abc_digest[32] = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                                  0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                                  0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
  const std::string_view abc = "abc";
  check::expect(
      std::memcmp(sha256::to_bytes(sha256::digest({&abc, 1}, sha256::portable_engine())).data(),
                  abc_digest, 32) == 0,
      "portable digest of abc");

  std::vector<const sha256::Engine*> engines = {&sha256::portable_engine()};
  if (sha256::sha_ni_engine() && has(quor::platform::cpu::kShaNi))
    engines.push_back(sha256::sha_ni_engine());
  if (sha256::armv8_engine() && has(quor::platform::cpu::kArmSha2))
    engines.push_back(sha256::armv8_engine());
  std::printf("sha256 engines:");
  for (const auto* e : engines) std::printf(" %s", e->name);
  std::printf(" (chosen: %s)\n", sha256::engine().name);

  check::Random rng(0x5a256);
  long cases = 0;
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
  for (size_t n : {1000, 4095, 4096, 4097, 65536 + 55, 100000}) lengths.push_back(n);
  for (size_t n : lengths) {
    std::vector<uint8_t> message(n), other(rng.below(400));
    for (auto& b : message) b = static_cast<uint8_t>(rng.next());
    for (auto& b : other) b = static_cast<uint8_t>(rng.next());
    const sha256::Words expected = padded_reference(message),
                        expected_other = padded_reference(other);
    for (const sha256::Engine* e : engines) {
      const auto parts = split(message, rng), other_parts = split(other, rng);
      check::expect(sha256::digest(parts, *e) == expected, "%s digest, length %zu", e->name, n);
      sha256::Words a, b;
      sha256::digest_pair(parts, other_parts, a, b, *e);
      check::expect(a == expected && b == expected_other, "%s pair, lengths %zu and %zu", e->name,
                    n, other.size());
      sha256::digest_pair(other_parts, parts, b, a, *e);
      check::expect(a == expected && b == expected_other, "%s pair, lengths %zu and %zu", e->name,
                    other.size(), n);
      ++cases;
    }
  }
  return check::finish("sha256", cases);
}
