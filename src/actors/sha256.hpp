// SHA-256 as a streaming digest. The block function is chosen once per process: the x86
// SHA extensions or the ARMv8 SHA-2 instructions where the processor has them, a portable
// one otherwise.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quor::actors {

class Sha256 {
 public:
  using Digest = std::array<uint8_t, 32>;
  using BlockFn = void (*)(uint32_t state[8], const uint8_t* blocks, size_t count);

  Sha256();
  void update(const uint8_t* data, size_t size);
  void update(std::string_view text) {
    update(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  Digest finish();

  // The two block functions: the portable one, and the accelerated one where it exists.
  static void blocks_portable(uint32_t state[8], const uint8_t* blocks, size_t count);
  static BlockFn blocks_accelerated();  // nullptr where the processor lacks the extensions

  // `count` blocks of each of two independent messages (given as arrays of block
  // pointers), their rounds interleaved so that the processor overlaps them; nullptr where
  // the processor lacks the extensions.
  using PairFn = void (*)(uint32_t state_a[8], const uint8_t* const* blocks_a, uint32_t state_b[8],
                          const uint8_t* const* blocks_b, size_t count);
  static PairFn pair_accelerated();
  static void initial_state(uint32_t state[8]);

 private:
  static Digest digest_of(const uint32_t state[8]);

  uint32_t state_[8];
  uint8_t buffer_[64];
  size_t buffered_ = 0;
  uint64_t length_ = 0;
  BlockFn blocks_;
};

}  // namespace quor::actors
