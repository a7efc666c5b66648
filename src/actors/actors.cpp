#include "actors/actors.hpp"

#include <cstring>

#include "actors/sha256.hpp"
#include "common/platform.hpp"

namespace quor::actors {
namespace {

constexpr size_t kLinkSize = 64;

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

// The link input: the previous hash, the separator and the payload, never joined.
struct LinkInput {
  std::string_view parts[3];
  LinkInput(std::string_view prev, std::string_view payload)
      : parts{prev, std::string_view(&kSeparator, 1), payload} {}
};

void link(std::string_view prev_hash, std::string_view payload, char out[kLinkSize]) {
  state_to_hex(sha256::digest(LinkInput(prev_hash, payload).parts).data(), out);
}

}  // namespace

LinkHash hash_event(std::string_view prev_hash, std::string_view payload) {
  LinkHash out;
  link(prev_hash, payload, out.digits.data());
  return out;
}

// Links i and i + 1 at once: link i + 1 is hashed from the stored hash of link i, which is
// its true previous hash whenever link i holds (and when it does not, the answer is i).
// Only the two links being checked are held.
std::optional<uint64_t> verify_chain(
    std::string_view genesis,
    std::span<const std::pair<std::string_view, std::string_view>> entries) {
  const sha256::Engine& with = sha256::engine();
  char computed[2][kLinkSize];
  for (size_t i = 0; i < entries.size(); i += 2) {
    const std::string_view prev = i == 0 ? genesis : entries[i - 1].second;
    const LinkInput first(prev, entries[i].first);
    if (i + 1 == entries.size()) {
      state_to_hex(sha256::digest(first.parts, with).data(), computed[0]);
      return matches(entries[i].second, computed[0]) ? std::nullopt : std::optional<uint64_t>(i);
    }
    const LinkInput second(entries[i].second, entries[i + 1].first);
    sha256::Words a, b;
    sha256::digest_pair(first.parts, second.parts, a, b, with);
    state_to_hex(a.data(), computed[0]);
    state_to_hex(b.data(), computed[1]);
    if (!matches(entries[i].second, computed[0])) return i;
    if (!matches(entries[i + 1].second, computed[1])) return i + 1;
  }
  return std::nullopt;
}

}  // namespace quor::actors
