#include <bit>
#include <cstring>

#include "json/json.hpp"

namespace quor::json {
namespace {

// Slots available in a container block: a growable block holds bit_ceil(length); any
// other block is taken to hold exactly its length.
inline size_t capacity(const Value& v) {
  size_t n = v.size();
  return v.flag() && n != 0 ? std::bit_ceil(n) : n;
}

// First member whose key is not below `key`.
inline size_t lower_bound(const Value& object, std::string_view key) {
  size_t lo = 0, hi = object.size();
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    if (compare_keys(object.members[mid].key.str(), key) < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

}  // namespace

void array_append(Value& array, const Value* items, size_t n, Arena& arena) {
  if (n == 0) return;
  size_t len = array.size();
  if (len + n > capacity(array)) {
    Value* block = arena.allocate_array<Value>(std::bit_ceil(len + n));
    if (len != 0) std::memcpy(static_cast<void*>(block), array.items, len * sizeof(Value));
    array.items = block;
    array.tag |= Value::kFlag;
  }
  std::memcpy(static_cast<void*>(array.items + len), items, n * sizeof(Value));
  array.set_size(len + n);
}

Value* object_find(Value& object, std::string_view key) {
  size_t i = lower_bound(object, key);
  if (i < object.size() && compare_keys(object.members[i].key.str(), key) == 0) {
    return &object.members[i].value;
  }
  return nullptr;
}

Value& object_slot(Value& object, const Value& key, Arena& arena) {
  size_t len = object.size();
  size_t i = lower_bound(object, key.str());
  if (i < len && compare_keys(object.members[i].key.str(), key.str()) == 0) {
    return object.members[i].value;
  }
  Member* members = object.members;
  if (len + 1 > capacity(object)) {
    members = arena.allocate_array<Member>(std::bit_ceil(len + 1));
    if (i != 0) std::memcpy(static_cast<void*>(members), object.members, i * sizeof(Member));
    object.tag |= Value::kFlag;
  }
  if (len != i) {
    std::memmove(static_cast<void*>(members + i + 1), object.members + i,
                 (len - i) * sizeof(Member));
  }
  members[i].key = key;
  members[i].value = Value::null();
  object.members = members;
  object.set_size(len + 1);
  return members[i].value;
}

}  // namespace quor::json
