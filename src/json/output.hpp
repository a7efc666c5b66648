// Writing through a raw cursor into a Buffer's own storage, shared by the writer and the
// direct normal form: the buffer is lengthened a slice at a time just ahead of the cursor
// (never zero-filled), and trimmed to the text at the end.
#pragma once

#include <algorithm>
#include <cstddef>

#include "common/buffer.hpp"
#include "common/platform.hpp"

namespace quor::json::detail {

class Output {
 public:
  explicit Output(Buffer& out) : out_(out), base_(out.size()) {}

  // Where the text starts in the buffer.
  size_t base() const { return base_; }
  char* data() { return out_.data(); }
  const char* data() const { return out_.data(); }
  // The first cursor, with at least n writable bytes after it.
  char* start(size_t n) { return grow(nullptr, n); }
  // A cursor with at least n writable bytes after it.
  char* room(char* p, size_t n) {
    if (static_cast<size_t>(limit_ - p) < n) p = grow(p, n);
    return p;
  }
  // Ends the text at p.
  void finish(char* p) { out_.resize_for_overwrite(static_cast<size_t>(p - out_.data())); }

 private:
  static constexpr size_t kSlice = 16 * 1024;

  QUOR_NOINLINE char* grow(char* p, size_t n) {
    size_t used = p == nullptr ? base_ : static_cast<size_t>(p - out_.data());
    size_t need = used + n;
    size_t capacity = out_.capacity();
    // Small texts grow by doubling, large ones a slice at a time; a reservation the
    // caller made is used up before anything is reallocated.
    size_t want = need + std::min(kSlice, std::max(capacity, size_t{64}));
    if (want > capacity) {
      if (need <= capacity) {
        want = capacity;
      } else {
        out_.reserve(std::max(want, 2 * capacity));
      }
    }
    out_.resize_for_overwrite(want);
    limit_ = out_.data() + want;
    return out_.data() + used;
  }

  Buffer& out_;
  size_t base_;
  char* limit_ = nullptr;
};

}  // namespace quor::json::detail
