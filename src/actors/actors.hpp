// Audit chain links: SHA-256 over the previous link hash, the byte 0x1F and the payload.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace quor::actors {

inline constexpr char kSeparator = '\x1f';

// A link hash: 64 lowercase hexadecimal digits, held without a heap allocation.
struct LinkHash {
  std::array<char, 64> digits;
  operator std::string_view() const { return {digits.data(), digits.size()}; }
};

// The link hash of one entry. The three parts are fed to the digest in turn.
LinkHash hash_event(std::string_view prev_hash, std::string_view payload);

// Index of the first entry (payload, stored hash) whose stored hash is not, byte for
// byte, the link recomputed from the running previous hash; nullopt if every link holds.
std::optional<uint64_t> verify_chain(
    std::string_view genesis,
    std::span<const std::pair<std::string_view, std::string_view>> entries);

}  // namespace quor::actors
