#include "checkpoint/checkpoint.hpp"

#include <cstring>

#include "json/json.hpp"

namespace quor::checkpoint {

Result<Bytes> encode_checkpoint(std::string_view json_str) {
  Bytes frame;
  // Normal form is rarely longer than its source; one reservation covers most documents.
  frame.data.reserve(CheckpointFrame::header_size + json_str.size() + 16);
  frame.data.append(CheckpointFrame::magic);
  frame.data.push_back(static_cast<char>(CheckpointFrame::version));
  if (json::normalize_json(json_str, json::InputMode::Text, frame.data)) return frame;
  frame.data.resize_for_overwrite(CheckpointFrame::header_size);
  json::Arena arena;
  auto doc = json::parse_json(json_str, json::InputMode::Text, arena);
  if (!doc.ok()) return Error::value(doc.error().text());
  json::write_json(doc.value(), frame.data);
  return frame;
}

Result<Buffer> decode_checkpoint(std::span<const uint8_t> blob) {
  if (blob.size() < CheckpointFrame::header_size ||
      std::memcmp(blob.data(), CheckpointFrame::magic.data(), CheckpointFrame::magic.size()) != 0) {
    return Error::value("invalid checkpoint: bad magic header");
  }
  if (blob[4] != CheckpointFrame::version) {
    return Error::value("unsupported checkpoint version: " + std::to_string(blob[4]));
  }
  std::string_view payload(
      reinterpret_cast<const char*>(blob.data()) + CheckpointFrame::header_size,
      blob.size() - CheckpointFrame::header_size);
  Buffer text;
  text.reserve(payload.size() + 16);
  if (json::normalize_json(payload, json::InputMode::Bytes, text)) return text;
  text.resize_for_overwrite(0);
  json::Arena arena;
  auto doc = json::parse_json(payload, json::InputMode::Bytes, arena);
  if (!doc.ok()) return Error::value(doc.error().text());
  json::write_json(doc.value(), text);
  return text;
}

}  // namespace quor::checkpoint
