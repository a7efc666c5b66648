#include "actors/actors.hpp"

#include <algorithm>
#include <cstring>

#include "actors/sha256.hpp"
#include "common/platform.hpp"

namespace quor::actors {
namespace {

constexpr size_t kLinkSize = 64;

void to_hex(const Sha256::Digest& bytes, char out[kLinkSize]) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < bytes.size(); ++i) {
    out[2 * i] = kHex[bytes[i] >> 4];
    out[2 * i + 1] = kHex[bytes[i] & 15];
  }
}

void link(std::string_view prev_hash, std::string_view payload, char out[kLinkSize]) {
  Sha256 digest;
  digest.update(prev_hash);
  digest.update(std::string_view(&kSeparator, 1));
  digest.update(payload);
  to_hex(digest.finish(), out);
}

// The digest of a finished state as hex, eight digits per state word at once: each nibble
// spread into a byte of its own, then '0' added, and 'a' - '0' - 10 more where it is 10 or
// above (the +6 carries into bit 4 exactly then).
void state_to_hex(const uint32_t state[8], char out[kLinkSize]) {
  for (int i = 0; i < 8; ++i) {
    uint64_t x = state[i];
    x = ((x & 0xffff0000u) << 16) | (x & 0xffffu);
    x = ((x & 0x0000ff000000ff00ull) << 8) | (x & 0x000000ff000000ffull);
    x = ((x & 0x00f000f000f000f0ull) << 4) | (x & 0x000f000f000f000full);
    const uint64_t letters = ((x + 0x0606060606060606ull) >> 4) & 0x0101010101010101ull;
    x += 0x3030303030303030ull + letters * ('a' - '0' - 10);
    // Byte k holds nibble k, least significant first: the most significant goes first.
    const uint64_t digits = platform::bswap64(x);
    std::memcpy(out + 8 * i, &digits, 8);
  }
}

bool matches(std::string_view stored, const char computed[kLinkSize]) {
  return stored.size() == kLinkSize && std::memcmp(stored.data(), computed, kLinkSize) == 0;
}

// The padded message of one link (previous hash, separator, payload, then the digest's
// padding and length) block by block: blocks wholly inside the previous hash or the
// payload are read in place, the few others are assembled in a scratch block.
class LinkMessage {
 public:
  LinkMessage(std::string_view prev, std::string_view payload)
      : prev_(prev), payload_(payload), size_(prev.size() + 1 + payload.size()) {}

  size_t blocks() const { return (size_ + 72) / 64; }

  const uint8_t* block(size_t j, uint8_t scratch[64]) const {
    const size_t start = 64 * j, head = prev_.size() + 1;
    if (start + 64 <= prev_.size()) return reinterpret_cast<const uint8_t*>(prev_.data()) + start;
    if (start >= head && start + 64 <= size_) {
      return reinterpret_cast<const uint8_t*>(payload_.data()) + (start - head);
    }
    std::memset(scratch, 0, 64);
    auto put = [&](size_t from, const char* src, size_t len) {
      const size_t lo = std::max(from, start), hi = std::min(from + len, start + 64);
      if (lo < hi) std::memcpy(scratch + (lo - start), src + (lo - from), hi - lo);
    };
    put(0, prev_.data(), prev_.size());
    put(prev_.size(), &kSeparator, 1);
    put(head, payload_.data(), payload_.size());
    if (size_ >= start && size_ < start + 64) scratch[size_ - start] = 0x80;
    if (j + 1 == blocks()) {
      const uint64_t bits = uint64_t{size_} * 8;
      for (int i = 0; i < 8; ++i) scratch[63 - i] = static_cast<uint8_t>(bits >> (8 * i));
    }
    return scratch;
  }

 private:
  std::string_view prev_, payload_;
  size_t size_;
};

// Two links hashed together, block for block, so that their rounds overlap.
void link_pair(const LinkMessage& a, const LinkMessage& b, Sha256::PairFn pair,
               Sha256::BlockFn single, char out_a[kLinkSize], char out_b[kLinkSize]) {
  uint32_t state_a[8], state_b[8];
  Sha256::initial_state(state_a);
  Sha256::initial_state(state_b);
  // A few blocks per call, so that the state stays in registers between them.
  constexpr size_t kChunk = 8;
  uint8_t scratch_a[kChunk][64], scratch_b[kChunk][64];
  const uint8_t *blocks_a[kChunk], *blocks_b[kChunk];
  const size_t common = std::min(a.blocks(), b.blocks());
  for (size_t j = 0; j < common; j += kChunk) {
    const size_t count = std::min(kChunk, common - j);
    for (size_t t = 0; t < count; ++t) {
      blocks_a[t] = a.block(j + t, scratch_a[t]);
      blocks_b[t] = b.block(j + t, scratch_b[t]);
    }
    pair(state_a, blocks_a, state_b, blocks_b, count);
  }
  for (size_t j = common; j < a.blocks(); ++j) single(state_a, a.block(j, scratch_a[0]), 1);
  for (size_t j = common; j < b.blocks(); ++j) single(state_b, b.block(j, scratch_b[0]), 1);
  state_to_hex(state_a, out_a);
  state_to_hex(state_b, out_b);
}

// Links i and i + 1 at once: link i + 1 is hashed from the stored hash of link i, which is
// its true previous hash whenever link i holds (and when it does not, the answer is i).
std::optional<uint64_t> verify_in_pairs(
    std::string_view genesis,
    std::span<const std::pair<std::string_view, std::string_view>> entries, Sha256::PairFn pair,
    Sha256::BlockFn single) {
  char computed[2][kLinkSize];
  for (size_t i = 0; i < entries.size(); i += 2) {
    const std::string_view prev = i == 0 ? genesis : entries[i - 1].second;
    if (i + 1 == entries.size()) {
      link(prev, entries[i].first, computed[0]);
      if (!matches(entries[i].second, computed[0])) return i;
      break;
    }
    link_pair(LinkMessage(prev, entries[i].first),
              LinkMessage(entries[i].second, entries[i + 1].first), pair, single, computed[0],
              computed[1]);
    if (!matches(entries[i].second, computed[0])) return i;
    if (!matches(entries[i + 1].second, computed[1])) return i + 1;
  }
  return std::nullopt;
}

}  // namespace

LinkHash hash_event(std::string_view prev_hash, std::string_view payload) {
  LinkHash out;
  link(prev_hash, payload, out.digits.data());
  return out;
}

std::optional<uint64_t> verify_chain(
    std::string_view genesis,
    std::span<const std::pair<std::string_view, std::string_view>> entries) {
  const Sha256::PairFn pair = Sha256::pair_accelerated();
  if (pair) return verify_in_pairs(genesis, entries, pair, Sha256::blocks_accelerated());
  // Only the running link is held: two fixed buffers, swapped as each link matches.
  char buffers[2][kLinkSize];
  std::string_view previous = genesis;
  for (size_t i = 0; i < entries.size(); ++i) {
    char* computed = buffers[i & 1];
    link(previous, entries[i].first, computed);
    if (!matches(entries[i].second, computed)) return i;
    previous = std::string_view(computed, kLinkSize);
  }
  return std::nullopt;
}

}  // namespace quor::actors
