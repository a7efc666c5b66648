// Differential fuzzing across kernel implementations, as plain C++ under libFuzzer: every
// vector kernel set and SHA-256 engine the processor has, against the portable one, on
// rows and messages made from the input. Any difference in bits aborts.
#include <cstring>
#include <string_view>
#include <vector>

#include "../../native/check.hpp"
#include "actors/sha256.hpp"
#include "common/platform.hpp"
#include "vectors/kernels.hpp"

namespace kernels = quor::vectors::kernels;
namespace sha256 = quor::actors::sha256;
using namespace quor::platform::cpu;

namespace {

// The input read as a stream of values, wrapping around (and never empty).
struct Stream {
  const uint8_t* data;
  size_t size, at = 0;
  uint8_t byte() { return size ? data[at++ % size] : 0; }
  uint64_t word() {
    uint64_t w = 0;
    for (int i = 0; i < 8; ++i) w = (w << 8) | byte();
    return w;
  }
};

void vectors_agree(Stream in) {
  const size_t n = in.byte() % 41, count = in.byte() % (2 * kernels::kTile + 3);
  const bool from_doubles = in.byte() & 1;
  std::vector<float> q(n);
  for (float& x : q) x = std::bit_cast<float>(static_cast<uint32_t>(in.word()));
  std::vector<double> wide(count * n);
  for (double& x : wide) {
    const uint64_t w = in.word();
    x = from_doubles ? std::bit_cast<double>(w) : std::bit_cast<float>(static_cast<uint32_t>(w));
  }
  std::vector<float> narrow(wide.size());
  for (size_t i = 0; i < wide.size(); ++i) narrow[i] = static_cast<float>(wide[i]);
  std::vector<const float*> rows(count);
  std::vector<const double*> wide_rows(count);
  for (size_t j = 0; j < count; ++j) {
    rows[j] = narrow.data() + j * n;
    wide_rows[j] = wide.data() + j * n;
  }
  std::vector<float> dot0(count), yy0(count), dot(count), yy(count);
  kernels::portable().rows(q.data(), rows.data(), count, n, dot0.data(), yy0.data());
  const kernels::Set* sets[] = {kernels::sse2(), kernels::avx2(), kernels::neon()};
  const uint32_t needs[] = {kSse2, kAvx2, kNeon};
  for (int s = 0; s < 3; ++s) {
    if (!sets[s] || !has(needs[s])) continue;
    sets[s]->rows(q.data(), rows.data(), count, n, dot.data(), yy.data());
    for (size_t j = 0; j < count; ++j)
      check::require(check::same(dot[j], dot0[j]) && check::same(yy[j], yy0[j]), "row sums",
                     sets[s]->name);
    sets[s]->wide_rows(q.data(), wide_rows.data(), count, n, dot.data(), yy.data());
    for (size_t j = 0; j < count; ++j)
      check::require(check::same(dot[j], dot0[j]) && check::same(yy[j], yy0[j]),
                     "narrowed row sums", sets[s]->name);
  }
}

void digests_agree(Stream in) {
  // Two messages, each the input's bytes from some offset, cut into up to three parts.
  std::string_view all(reinterpret_cast<const char*>(in.data), in.size);
  std::string_view parts[2][3];
  for (auto& message : parts) {
    size_t from = in.byte() % (all.size() + 1), to = from + in.word() % (all.size() - from + 1);
    size_t a = from + in.byte() % (to - from + 1), b = a + in.byte() % (to - a + 1);
    message[0] = all.substr(from, a - from);
    message[1] = all.substr(a, b - a);
    message[2] = all.substr(b, to - b);
  }
  const sha256::Engine& base = sha256::portable_engine();
  const sha256::Words a0 = sha256::digest(parts[0], base), b0 = sha256::digest(parts[1], base);
  const sha256::Engine* engines[] = {&base, sha256::sha_ni_engine(), sha256::armv8_engine()};
  const uint32_t needs[] = {0, kShaNi, kArmSha2};
  for (int e = 0; e < 3; ++e) {
    if (!engines[e] || (needs[e] && !has(needs[e]))) continue;
    sha256::Words a, b;
    sha256::digest_pair(parts[0], parts[1], a, b, *engines[e]);
    check::require(a == a0 && b == b0, "two-message digest", engines[e]->name);
    check::require(sha256::digest(parts[1], *engines[e]) == b0, "digest", engines[e]->name);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vectors_agree({data, size});
  digests_agree({data, size});
  return 0;
}
