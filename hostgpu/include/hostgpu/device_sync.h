#pragma once
// Block barriers, warp shuffles and votes, fences and traps for device code
// run by the executor. Barriers, shuffles and votes are rendezvous points of
// the block's fibers; a rendezvous that cannot complete faults the launch.
#include <atomic>
#include <cstring>
#include <string>
#include <type_traits>

namespace hostgpu::detail {

enum class BarrierReduction : unsigned char { none, count, all, any };

enum class WarpOp : unsigned char { sync, shfl_idx, shfl_up, shfl_down, shfl_xor, ballot, any, all, exchange };

// Waits until every thread of the block arrives; returns the number of
// threads that passed a non-zero predicate, reduced as asked.
int block_barrier(BarrierReduction reduction, int predicate);

// Waits until every lane named in mask arrives at the same operation with the
// same mask; returns this lane's result (the shuffled bits, or the vote).
unsigned long long warp_collective(WarpOp op, unsigned mask, unsigned long long value,
                                   int lane_argument, int width);

// The warp-collective instructions' rendezvous (matrix multiply-accumulate,
// matrix loads): every lane named in mask arrives at the same instruction
// with a deposit of the same size; when the last one arrives, all deposits
// are read at once (null reads as zeros) into a table of 32 slots of `bytes`
// bytes, slot i holding lane i's deposit (zeros for lanes outside the mask).
// Returns the calling lane's view of that table, valid until its next warp
// operation. `instruction` names the instruction in fault messages and must
// match across the lanes.
const unsigned char* warp_exchange(const char* instruction, unsigned mask, const void* deposit, unsigned bytes);

// The compute capability (major x 10 + minor) of the device whose grid the
// calling host thread runs; 0 outside a grid or when the launch named none.
int running_compute_capability();

// The calling thread's lane in its warp (%laneid): its linear index in the block modulo 32.
unsigned lane_id();

// Lanes of the calling thread's warp that exist and have not returned.
unsigned active_lanes();

// A point where the GPU may switch to another warp: with yields on, the
// running thread sometimes gives the turn away (arrivals, atomics, fences,
// mbarrier tests). Nothing outside a kernel.
void yield_point();

// An atomic read-modify-write of the running thread changed memory that
// other threads may wait on; a failed compare-and-swap gives the turn away
// instead, so that a thread spinning on a lock lets its holder run.
void atomic_done(bool changed);

[[noreturn]] void trap();

// Ends the kernel with a fault that names its reason (what a GPU reports as
// an illegal or misaligned access, or an illegal instruction).
[[noreturn]] void fault(const std::string& reason);

template <typename T>
unsigned long long to_shuffle_bits(const T& value) {
  static_assert(std::is_trivially_copyable_v<T> && sizeof(T) <= 8, "shuffled values are at most 8 bytes");
  unsigned long long bits = 0;
  std::memcpy(&bits, &value, sizeof(T));
  return bits;
}

template <typename T>
T from_shuffle_bits(unsigned long long bits) {
  T value;
  std::memcpy(&value, &bits, sizeof(T));
  return value;
}

template <typename T>
T shuffle(WarpOp op, unsigned mask, const T& value, int lane_argument, int width) {
  return from_shuffle_bits<T>(warp_collective(op, mask, to_shuffle_bits(value), lane_argument, width));
}

}  // namespace hostgpu::detail

inline void __syncthreads() {
  ::hostgpu::detail::block_barrier(::hostgpu::detail::BarrierReduction::none, 0);
}
inline int __syncthreads_count(int predicate) {
  return ::hostgpu::detail::block_barrier(::hostgpu::detail::BarrierReduction::count, predicate);
}
inline int __syncthreads_and(int predicate) {
  return ::hostgpu::detail::block_barrier(::hostgpu::detail::BarrierReduction::all, predicate);
}
inline int __syncthreads_or(int predicate) {
  return ::hostgpu::detail::block_barrier(::hostgpu::detail::BarrierReduction::any, predicate);
}

inline void __syncwarp(unsigned mask = 0xffffffffu) {
  ::hostgpu::detail::warp_collective(::hostgpu::detail::WarpOp::sync, mask, 0, 0, 32);
}

template <typename T>
T __shfl_sync(unsigned mask, T var, int src_lane, int width = 32) {
  return ::hostgpu::detail::shuffle(::hostgpu::detail::WarpOp::shfl_idx, mask, var, src_lane, width);
}
template <typename T>
T __shfl_up_sync(unsigned mask, T var, unsigned delta, int width = 32) {
  return ::hostgpu::detail::shuffle(::hostgpu::detail::WarpOp::shfl_up, mask, var, static_cast<int>(delta), width);
}
template <typename T>
T __shfl_down_sync(unsigned mask, T var, unsigned delta, int width = 32) {
  return ::hostgpu::detail::shuffle(::hostgpu::detail::WarpOp::shfl_down, mask, var, static_cast<int>(delta), width);
}
template <typename T>
T __shfl_xor_sync(unsigned mask, T var, int lane_mask, int width = 32) {
  return ::hostgpu::detail::shuffle(::hostgpu::detail::WarpOp::shfl_xor, mask, var, lane_mask, width);
}

inline unsigned __ballot_sync(unsigned mask, int predicate) {
  return static_cast<unsigned>(
      ::hostgpu::detail::warp_collective(::hostgpu::detail::WarpOp::ballot, mask, predicate != 0, 0, 32));
}
inline int __any_sync(unsigned mask, int predicate) {
  return static_cast<int>(
      ::hostgpu::detail::warp_collective(::hostgpu::detail::WarpOp::any, mask, predicate != 0, 0, 32));
}
inline int __all_sync(unsigned mask, int predicate) {
  return static_cast<int>(
      ::hostgpu::detail::warp_collective(::hostgpu::detail::WarpOp::all, mask, predicate != 0, 0, 32));
}
inline unsigned __activemask() { return ::hostgpu::detail::active_lanes(); }

inline void __threadfence_block() {
  std::atomic_thread_fence(std::memory_order_seq_cst);
  ::hostgpu::detail::yield_point();
}
inline void __threadfence() {
  std::atomic_thread_fence(std::memory_order_seq_cst);
  ::hostgpu::detail::yield_point();
}
inline void __threadfence_system() {
  std::atomic_thread_fence(std::memory_order_seq_cst);
  ::hostgpu::detail::yield_point();
}

[[noreturn]] inline void __trap() { ::hostgpu::detail::trap(); }
