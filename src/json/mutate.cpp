#include <bit>
#include <cstring>

#include "json/json.hpp"

namespace quor::json {
namespace {

// Slots available in a container block: a growable block holds bit_ceil(length); any
// other block is taken to hold exactly its length.
inline size_t capacity(const JsonDocument& v) {
  size_t n = v.size();
  return v.flag() && n != 0 ? std::bit_ceil(n) : n;
}

}  // namespace

void array_append(JsonDocument& array, const JsonDocument* items, size_t n, Arena& arena) {
  if (n == 0) return;
  size_t len = array.size();
  if (len + n > capacity(array)) {
    JsonDocument* block = arena.allocate_array<JsonDocument>(std::bit_ceil(len + n));
    if (len != 0) std::memcpy(static_cast<void*>(block), array.items(), len * sizeof(JsonDocument));
    array.set_payload(block);
    array.tag |= JsonDocument::kFlag;
  }
  std::memcpy(static_cast<void*>(array.items() + len), items, n * sizeof(JsonDocument));
  array.set_size(len + n);
}

}  // namespace quor::json
