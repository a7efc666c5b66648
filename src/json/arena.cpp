#include "json/json.hpp"

namespace quor::json {

void* Arena::allocate_slow(size_t bytes) {
  size_t size = planned_ > next_block_ ? planned_ : next_block_;
  // A request that would waste most of a fresh block gets a block of its own, so the
  // current block keeps serving small requests.
  if (bytes > size / 4) {
    blocks_.push_back(std::unique_ptr<char[]>(new char[bytes]));
    return blocks_.back().get();
  }
  // A planned block answers for one document; unplanned growth doubles.
  if (size == planned_) {
    planned_ = 0;
  } else if (next_block_ < (size_t{64} << 20)) {
    next_block_ *= 2;
  }
  blocks_.push_back(std::unique_ptr<char[]>(new char[size]));
  cursor_ = blocks_.back().get() + bytes;
  left_ = size - bytes;
  return blocks_.back().get();
}

}  // namespace quor::json
