#include "actors/sha256.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "common/platform.hpp"

namespace quor::actors::sha256 {
namespace {

constexpr Words kInitial = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t load_be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void blocks_portable(uint32_t state[8], const uint8_t* data, size_t count) {
  for (; count > 0; --count, data += 64) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) w[i] = load_be32(data + 4 * i);
    for (int i = 16; i < 64; ++i) {
      uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
      uint32_t t1 =
          h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
      uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

void pair_portable(uint32_t* const states[2], const uint8_t* const* const blocks[2], size_t count) {
  for (size_t b = 0; b < count; ++b) {
    blocks_portable(states[0], blocks[0][b], 1);
    blocks_portable(states[1], blocks[1][b], 1);
  }
}

constexpr Engine kPortable = {"portable", &blocks_portable, &pair_portable};

// The padded message (the parts, the byte 0x80, zeros, the length in bits as a big-endian
// 64-bit word), walked block by block. A block that one part holds whole is read in place;
// the few that straddle a part's edge or hold padding are assembled in a scratch block.
class Padded {
 public:
  explicit Padded(Parts parts) : parts_(parts) {
    for (std::string_view p : parts) size_ += p.size();
    blocks_ = (size_ + 72) / 64;
  }

  bool done() const { return next_ == blocks_; }
  size_t left() const { return blocks_ - next_; }

  // The next block, and with it up to `most` - 1 more that follow it in place in the same
  // part; *count says how many were taken.
  const uint8_t* take(uint8_t scratch[64], size_t most, size_t* count) {
    while (part_ < parts_.size() && at_ == parts_[part_].size()) next_part();
    if (part_ < parts_.size() && parts_[part_].size() - at_ >= 64) {
      const size_t n = std::min((parts_[part_].size() - at_) / 64, most);
      const uint8_t* p = reinterpret_cast<const uint8_t*>(parts_[part_].data()) + at_;
      at_ += 64 * n;
      next_ += n;
      *count = n;
      return p;
    }
    std::memset(scratch, 0, 64);
    for (size_t filled = 0; part_ < parts_.size() && filled < 64;) {
      const size_t n = std::min(parts_[part_].size() - at_, 64 - filled);
      if (n > 0) std::memcpy(scratch + filled, parts_[part_].data() + at_, n);
      filled += n;
      at_ += n;
      if (at_ == parts_[part_].size()) next_part();
    }
    const size_t start = 64 * next_;
    if (size_ >= start && size_ < start + 64) scratch[size_ - start] = 0x80;
    if (++next_ == blocks_) {
      const uint64_t bits = uint64_t{size_} * 8;
      for (int i = 0; i < 8; ++i) scratch[63 - i] = static_cast<uint8_t>(bits >> (8 * i));
    }
    *count = 1;
    return scratch;
  }

  const uint8_t* take(uint8_t scratch[64]) {
    size_t count;
    return take(scratch, 1, &count);
  }

 private:
  void next_part() {
    ++part_;
    at_ = 0;
  }

  Parts parts_;
  size_t size_ = 0, blocks_ = 0;
  size_t next_ = 0;           // blocks taken
  size_t part_ = 0, at_ = 0;  // where the next block starts: part, offset in it
};

// The rest of one message through the single-stream function.
void rest(Padded& m, uint32_t state[8], const Engine& with) {
  uint8_t scratch[64];
  while (!m.done()) {
    size_t count;
    const uint8_t* p = m.take(scratch, SIZE_MAX, &count);
    with.blocks(state, p, count);
  }
}

// A short message (a chain link) laid out whole with its padding: its blocks straddle the
// parts' edges, and one copy of each part costs less than assembling block by block.
class Laid {
 public:
  static constexpr size_t kMostBlocks = 16;

  // False when the message is too long to lay out here.
  bool lay(Parts parts) {
    size_t size = 0;
    for (std::string_view p : parts) size += p.size();
    if (size > kMostBlocks * 64 - 9) return false;
    blocks_ = (size + 72) / 64;
    uint8_t* w = bytes_;
    for (std::string_view p : parts) {
      if (!p.empty()) std::memcpy(w, p.data(), p.size());
      w += p.size();
    }
    *w++ = 0x80;
    uint8_t* const length = bytes_ + 64 * blocks_ - 8;
    std::memset(w, 0, static_cast<size_t>(length - w));
    const uint64_t bits = uint64_t{size} * 8;
    for (int i = 0; i < 8; ++i) length[7 - i] = static_cast<uint8_t>(bits >> (8 * i));
    return true;
  }
  size_t blocks() const { return blocks_; }
  const uint8_t* block(size_t b) const { return bytes_ + 64 * b; }

 private:
  size_t blocks_ = 0;
  uint8_t bytes_[kMostBlocks * 64];
};

}  // namespace

Bytes to_bytes(const Words& words) {
  Bytes out;
  for (int i = 0; i < 8; ++i) {
    out[4 * i] = static_cast<uint8_t>(words[i] >> 24);
    out[4 * i + 1] = static_cast<uint8_t>(words[i] >> 16);
    out[4 * i + 2] = static_cast<uint8_t>(words[i] >> 8);
    out[4 * i + 3] = static_cast<uint8_t>(words[i]);
  }
  return out;
}

const Engine& portable_engine() { return kPortable; }

const Engine& engine() {
  using namespace platform::cpu;
  if (const Engine* e = sha_ni_engine(); e && has(kShaNi)) return *e;
  if (const Engine* e = armv8_engine(); e && has(kArmSha2)) return *e;
  return kPortable;
}

Words digest(Parts message, const Engine& with) {
  Words state = kInitial;
  if (Laid l; l.lay(message)) {
    with.blocks(state.data(), l.block(0), l.blocks());
    return state;
  }
  Padded m(message);
  rest(m, state.data(), with);
  return state;
}

void digest_pair(Parts a, Parts b, Words& out_a, Words& out_b, const Engine& with) {
  Words state_a = kInitial, state_b = kInitial;
  uint32_t* const states[2] = {state_a.data(), state_b.data()};
  Laid la, lb;
  if (la.lay(a) && lb.lay(b)) {
    const size_t both = std::min(la.blocks(), lb.blocks());
    const uint8_t* list_a[Laid::kMostBlocks];
    const uint8_t* list_b[Laid::kMostBlocks];
    for (size_t t = 0; t < both; ++t) {
      list_a[t] = la.block(t);
      list_b[t] = lb.block(t);
    }
    const uint8_t* const* const lists[2] = {list_a, list_b};
    with.pair(states, lists, both);
    with.blocks(state_a.data(), la.block(both), la.blocks() - both);
    with.blocks(state_b.data(), lb.block(both), lb.blocks() - both);
    out_a = state_a;
    out_b = state_b;
    return;
  }
  Padded ma(a), mb(b);
  // A few blocks per call, so that the states stay in registers between them.
  constexpr size_t kChunk = 8;
  uint8_t scratch[2][kChunk][64];
  const uint8_t* list_a[kChunk];
  const uint8_t* list_b[kChunk];
  const uint8_t* const* const lists[2] = {list_a, list_b};
  while (!ma.done() && !mb.done()) {
    const size_t count = std::min({kChunk, ma.left(), mb.left()});
    for (size_t t = 0; t < count; ++t) {
      list_a[t] = ma.take(scratch[0][t]);
      list_b[t] = mb.take(scratch[1][t]);
    }
    with.pair(states, lists, count);
  }
  rest(ma, state_a.data(), with);
  rest(mb, state_b.data(), with);
  out_a = state_a;
  out_b = state_b;
}

}  // namespace quor::actors::sha256
