#include "json/key_order.hpp"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

namespace quor::json::detail {
namespace {

// Orders keyed members: the prefixes first, the whole keys only when those are equal.
struct KeyedLess {
  const JsonMember* m;
  bool operator()(const Keyed& a, const Keyed& b) const {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    return bytes::compare(m[a.index].key.str(), m[b.index].key.str()) < 0;
  }
};

// Writes to `order` the text positions of the members to keep, in key order, and returns
// how many there are. The sort is stable (insertion sort on runs of sixteen, then merges),
// so of equal keys the last one read is the last of its run, and it alone is kept.
// `keyed` has room for 2n.
template <class Index>
size_t sorted_positions(const JsonMember* m, size_t n, Keyed* keyed, Index* order) {
  constexpr size_t kRun = 16;
  const KeyedLess less{m};
  Keyed* from = keyed;
  Keyed* to = keyed + n;
  for (size_t k = 0; k < n; ++k)
    from[k] = {bytes::name_prefix(m[k].key.str()), static_cast<uint32_t>(k)};
  for (size_t lo = 0; lo < n; lo += kRun) {
    size_t hi = std::min(lo + kRun, n);
    for (size_t k = lo + 1; k < hi; ++k) {
      Keyed cur = from[k];
      size_t j = k;
      while (j > lo && less(cur, from[j - 1])) {
        from[j] = from[j - 1];
        --j;
      }
      from[j] = cur;
    }
  }
  for (size_t width = kRun; width < n; width *= 2) {
    for (size_t lo = 0; lo < n; lo += 2 * width) {
      size_t mid = std::min(lo + width, n), hi = std::min(lo + 2 * width, n);
      size_t a = lo, b = mid, out = lo;
      while (a < mid && b < hi) to[out++] = less(from[b], from[a]) ? from[b++] : from[a++];
      while (a < mid) to[out++] = from[a++];
      while (b < hi) to[out++] = from[b++];
    }
    std::swap(from, to);
  }
  size_t kept = 0;
  for (size_t k = 0; k < n; ++k) {
    if (k + 1 < n && from[k].prefix == from[k + 1].prefix &&
        m[from[k].index].key.str() == m[from[k + 1].index].key.str()) {
      continue;
    }
    order[kept++] = static_cast<Index>(from[k].index);
  }
  return kept;
}

// The cache slot of a shape mixes the first key's prefix with the member count, so that
// shapes which interleave (a record and the records inside it, which may differ in size by
// a multiple of the slot count) rarely share a slot and evict each other; the shift lets
// the fifth key byte take part beside the eighth.
uint64_t slot(const JsonMember* m, size_t n) {
  const uint64_t first = bytes::name_prefix(m[0].key.str());
  return first ^ (first >> 29) ^ n;
}

}  // namespace

size_t SmallShape::apply(JsonMember* m, size_t n) {
  if (!same_keys(m, n)) work_out(m, n);
  JsonMember copy[kSmallObject];
  std::memcpy(static_cast<void*>(copy), m, n * sizeof(JsonMember));
  for (size_t k = 0; k < kept_; ++k) m[k] = copy[order_[k]];
  return kept_;
}

bool SmallShape::same_keys(const JsonMember* m, size_t n) const {
  if (n != n_) return false;
  for (size_t k = 0; k < n; ++k) {
    size_t size = m[k].key.size();
    if (size != size_[k] || bytes::name_prefix(m[k].key.str()) != prefix_[k]) return false;
    if (size > 8 && std::memcmp(m[k].key.s() + 8, key_[k] + 8, size - 8) != 0) return false;
  }
  return true;
}

void SmallShape::work_out(const JsonMember* m, size_t n) {
  Keyed keyed[2 * kSmallObject];
  kept_ = sorted_positions(m, n, keyed, order_);
  n_ = n;
  for (size_t k = 0; k < n; ++k) {
    prefix_[k] = bytes::name_prefix(m[k].key.str());
    size_[k] = static_cast<uint32_t>(m[k].key.size());
    key_[k] = m[k].key.s();  // lives as long as the read
  }
}

// Larger objects: the last order worked out for each member count is kept for the rest of
// the read, and reused when the same keys come again in the same order. This is a second
// cache rather than a bigger SmallShape because small records, by far the common case, are
// matched against fixed inline arrays with no allocation; only large objects pay for
// storage that grows with them.
class MemberOrder {
 public:
  size_t apply(JsonMember* m, size_t n) {
    Shape& shape = shapes_[slot(m, n) % kShapes];
    if (!same_keys(shape, m, n)) work_out(shape, m, n);
    if (members_.size() < n) members_.resize(n);
    std::copy(m, m + n, members_.data());
    size_t w = shape.order.size();
    for (size_t k = 0; k < w; ++k) m[k] = members_[shape.order[k]];
    return w;
  }

 private:
  static constexpr size_t kShapes = 16;

  struct Shape {
    std::vector<std::string_view> keys;  // in text order
    std::vector<uint32_t> order;         // text positions of the members kept, in key order
  };

  static bool same_keys(const Shape& shape, const JsonMember* m, size_t n) {
    if (shape.keys.size() != n) return false;
    for (size_t k = 0; k < n; ++k) {
      std::string_view key = shape.keys[k];
      if (key.size() != m[k].key.size() || std::memcmp(key.data(), m[k].key.s(), key.size()) != 0) {
        return false;
      }
    }
    return true;
  }

  void work_out(Shape& shape, const JsonMember* m, size_t n) {
    if (keyed_.size() < 2 * n) keyed_.resize(2 * n);
    shape.order.resize(n);
    shape.order.resize(sorted_positions(m, n, keyed_.data(), shape.order.data()));
    shape.keys.resize(n);
    for (size_t k = 0; k < n; ++k) shape.keys[k] = m[k].key.str();
  }

  Shape shapes_[kShapes];
  std::vector<Keyed> keyed_;
  std::vector<JsonMember> members_;
};

KeyOrder::KeyOrder() = default;
KeyOrder::~KeyOrder() = default;

size_t KeyOrder::reorder(JsonMember* m, size_t n) {
  if (n <= kSmallObject) return small_[slot(m, n) % kShapes].apply(m, n);
  if (!large_) large_ = std::make_unique<MemberOrder>();
  return large_->apply(m, n);
}

}  // namespace quor::json::detail
