// Checkpoint frames: "QUOR", a version byte, then the state in the JSON normal form.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"

namespace quor::checkpoint {

// The frame: a 5-byte header (magic, version) and the payload in the JSON normal form,
// with no length field, checksum or padding.
struct CheckpointFrame {
  static constexpr std::string_view magic = "QUOR";
  static constexpr uint8_t version = 1;
  static constexpr size_t header_size = 5;
};

// Normalises the JSON text and frames it.
Result<Bytes> encode_checkpoint(std::string_view json_str);

// Checks magic, then version, then reads the payload as JSON bytes and rewrites it.
Result<Buffer> decode_checkpoint(std::span<const uint8_t> blob);

}  // namespace quor::checkpoint
