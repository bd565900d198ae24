#pragma once
// The shared-memory barriers (mbarrier) as the host device keeps them: the
// whole state lives in the barrier's 64-bit word, as on a GPU, so a block's
// barriers are plain shared memory. The word holds the pending arrivals
// (bits 0-19), the expected arrivals (20-39), the pending transaction bytes
// as a signed count (40-62) and the phase parity (63). The instruction
// layer's mbarrier twins are built on these.
#include <cstdint>

namespace hostgpu::mbarrier {

constexpr uint64_t kCountMask = (uint64_t{1} << 20) - 1;
constexpr uint64_t kTxMask = (uint64_t{1} << 23) - 1;

struct State {
  uint32_t pending;
  uint32_t expected;
  int32_t tx;
  uint32_t phase;
};

inline State decode(uint64_t word) {
  State s;
  s.pending = static_cast<uint32_t>(word & kCountMask);
  s.expected = static_cast<uint32_t>((word >> 20) & kCountMask);
  const uint32_t tx = static_cast<uint32_t>((word >> 40) & kTxMask);
  s.tx = (tx & (1u << 22)) ? static_cast<int32_t>(tx) - (1 << 23) : static_cast<int32_t>(tx);
  s.phase = static_cast<uint32_t>(word >> 63);
  return s;
}

// A state whose arrivals and bytes are all in completes its phase.
inline uint64_t encode(State s) {
  if (s.pending == 0 && s.tx == 0) {
    s.pending = s.expected;
    s.phase ^= 1u;
  }
  return (uint64_t{s.pending} & kCountMask) | ((uint64_t{s.expected} & kCountMask) << 20) |
         ((static_cast<uint64_t>(static_cast<uint32_t>(s.tx)) & kTxMask) << 40) | (uint64_t{s.phase} << 63);
}

// Counts `bytes` of completed bulk copies on the barrier.
inline void complete_tx(uint64_t* barrier, uint32_t bytes) {
  State s = decode(*barrier);
  s.tx -= static_cast<int32_t>(bytes);
  *barrier = encode(s);
}

// `count` arrivals on the barrier.
inline void arrive(uint64_t* barrier, uint32_t count = 1) {
  State s = decode(*barrier);
  s.pending -= count;
  *barrier = encode(s);
}

}  // namespace hostgpu::mbarrier
