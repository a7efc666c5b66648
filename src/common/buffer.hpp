// Output bytes that grow without being zero-filled: a writer fills the room it asks for
// before anything reads it, so clearing it first is wasted work (a std::string can only
// grow by filling).
#pragma once

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "common/alloc.hpp"

namespace quor {

class Buffer {
 public:
  Buffer() = default;
  Buffer(Buffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  Buffer& operator=(Buffer&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    return *this;
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { memory::release(data_); }

  char* data() { return data_; }
  const char* data() const { return data_; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  operator std::string_view() const { return {data_, size_}; }

  void reserve(size_t n) {
    if (n <= capacity_) return;
    void* bigger = memory::reallocate(data_, n);
    if (bigger == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(bigger);
    capacity_ = n;
  }
  // Bytes past the old size are left unwritten: the caller writes them before use.
  void resize_for_overwrite(size_t n) {
    if (n > capacity_) reserve(std::max(n, 2 * capacity_));
    size_ = n;
  }
  void append(std::string_view s) {
    size_t at = size_;
    resize_for_overwrite(at + s.size());
    if (!s.empty()) std::memcpy(data_ + at, s.data(), s.size());
  }
  void push_back(char c) {
    resize_for_overwrite(size_ + 1);
    data_[size_ - 1] = c;
  }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace quor
