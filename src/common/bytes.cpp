#include "common/bytes.hpp"

#include "common/platform.hpp"

namespace quor::bytes {

uint64_t process_seed() {
  static const uint64_t seed = platform::random_seed();
  return seed;
}

}  // namespace quor::bytes
