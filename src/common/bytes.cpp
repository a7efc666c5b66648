#include "common/bytes.hpp"

#include <random>

namespace quor::bytes {

uint64_t process_seed() {
  static const uint64_t seed = [] {
    try {
      std::random_device rd;
      return (uint64_t{rd()} << 32) ^ rd();
    } catch (...) {
      return uint64_t{0x9e3779b97f4a7c15};
    }
  }();
  return seed;
}

}  // namespace quor::bytes
