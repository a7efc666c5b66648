#include "actors/actors.hpp"

#include <cstring>

#include "actors/sha256.hpp"

namespace quor::actors {
namespace {

constexpr size_t kLinkSize = 64;

void link(std::string_view prev_hash, std::string_view payload, char out[kLinkSize]) {
  Sha256 digest;
  digest.update(prev_hash);
  digest.update(std::string_view(&kSeparator, 1));
  digest.update(payload);
  static constexpr char kHex[] = "0123456789abcdef";
  Sha256::Digest bytes = digest.finish();
  for (size_t i = 0; i < bytes.size(); ++i) {
    out[2 * i] = kHex[bytes[i] >> 4];
    out[2 * i + 1] = kHex[bytes[i] & 15];
  }
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
  // Only the running link is held: two fixed buffers, swapped as each link matches.
  char buffers[2][kLinkSize];
  std::string_view previous = genesis;
  for (size_t i = 0; i < entries.size(); ++i) {
    char* computed = buffers[i & 1];
    link(previous, entries[i].first, computed);
    const std::string_view stored = entries[i].second;
    if (stored.size() != kLinkSize || std::memcmp(stored.data(), computed, kLinkSize) != 0) {
      return i;
    }
    previous = std::string_view(computed, kLinkSize);
  }
  return std::nullopt;
}

}  // namespace quor::actors
