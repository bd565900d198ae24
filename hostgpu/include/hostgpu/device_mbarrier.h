#pragma once
// The shared-memory barriers (mbarrier) as the host device keeps them: the
// whole state lives in the barrier's 64-bit word, as on a GPU, so a block's
// barriers are plain shared memory. The word holds the pending arrivals
// (bits 0-19), the expected arrivals (20-39), the pending transaction bytes
// as a signed count (40-62) and the phase parity (63). The instruction
// layer's mbarrier twins are built on the checked operations below; the
// inline ones only change the word.
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

// Counts `bytes` of completed bulk copies on the barrier's word.
inline void apply_complete_tx(uint64_t* barrier, uint32_t bytes) {
  State s = decode(*barrier);
  s.tx -= static_cast<int32_t>(bytes);
  *barrier = encode(s);
}

// `count` arrivals on the barrier's word.
inline void apply_arrival(uint64_t* barrier, uint32_t count) {
  State s = decode(*barrier);
  s.pending -= count;
  *barrier = encode(s);
}

// ---- checked operations of the running thread ---------------------------------
// `barrier` is in the shared memory of a block of the running block's
// cluster (a peer's through map_shared). Each use faults, naming the block,
// when the barrier is not initialised, when its block has exited, or when a
// thread uses it that no barrier orders after the initialisation: another
// thread of the block needs a __syncthreads or a cluster barrier after it (or
// a warp collective, in the initialising thread's warp), a thread of a peer
// block a cluster barrier. Every change may give the turn
// away (a yield point) and wakes the waiters.

// mbarrier.init on the running block's own shared memory. The async proxy
// does not see the initialisation until the initialising thread fences it.
void init(uint64_t* barrier, uint32_t arrivals);
// fence.mbarrier_init: the running thread's initialisations become visible
// to the async proxy (as they do after its fence.proxy.async).
void init_fence();
// Checks a use without changing the barrier (what: the instruction, for the fault).
void check(const uint64_t* barrier, const char* what);
// The same for a bulk copy that will count its bytes on the barrier, which
// also needs the initialisation fenced for the async proxy.
void check_bulk_copy(const uint64_t* barrier, const char* what);
// `count` arrivals that land now (late ones are posted, device_async_arrival.h).
void arrive(uint64_t* barrier, uint32_t count = 1);
// One arrival announcing `bytes` of bulk copies for the current phase.
void arrive_expect_tx(uint64_t* barrier, uint32_t bytes);
// `bytes` of bulk copies counted on the barrier at issue (checked as check_bulk_copy).
void complete_tx(uint64_t* barrier, uint32_t bytes);
// The test of a wait: lands the copies in flight on the barrier, then
// whether the phase of `parity` has completed.
bool phase_complete(uint64_t* barrier, uint32_t parity);

}  // namespace hostgpu::mbarrier
