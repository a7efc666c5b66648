// Key order for objects whose members were read out of order: sorted by key bytes, and of
// equal keys only the one read last kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "json/json.hpp"
#include "json/scan.hpp"

namespace quor::json::detail {

// A member's text position with its first eight key bytes as a big-endian number
// (zero-padded): unequal prefixes order two keys by themselves.
struct Keyed {
  uint64_t prefix;
  uint32_t index;
};

// Objects of up to this many members are sorted on the spot.
inline constexpr size_t kSmallObject = 16;

// The order of one small shape. Records of one shape come in runs, so the order worked
// out last is kept and reused while the same keys come in the same order.
class SmallShape {
 public:
  size_t apply(JsonMember* m, size_t n);

 private:
  bool same_keys(const JsonMember* m, size_t n) const;
  void work_out(const JsonMember* m, size_t n);

  size_t n_ = 0;  // no shape yet
  size_t kept_ = 0;
  uint64_t prefix_[kSmallObject];
  const char* key_[kSmallObject];
  uint32_t size_[kSmallObject];
  uint32_t order_[kSmallObject];
};

class MemberOrder;

// One read's key order. Records of different shapes interleave (an object and the objects
// inside it), so a few small shapes are remembered, told apart by their first key.
class KeyOrder {
 public:
  KeyOrder();
  ~KeyOrder();
  KeyOrder(const KeyOrder&) = delete;
  KeyOrder& operator=(const KeyOrder&) = delete;

  // Puts m[0, n) in key order; returns how many members are kept.
  size_t apply(JsonMember* m, size_t n) {
    size_t i = 1;
    while (i < n && bytes::compare(m[i - 1].key.str(), m[i].key.str()) < 0) ++i;
    if (i >= n) return n;
    return reorder(m, n);
  }

 private:
  size_t reorder(JsonMember* m, size_t n);

  static constexpr size_t kShapes = 4;
  SmallShape small_[kShapes];
  std::unique_ptr<MemberOrder> large_;  // made on the first large object out of order
};

}  // namespace quor::json::detail
