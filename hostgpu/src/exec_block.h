#pragma once
// One block of a grid: its threads as fibers on the calling host thread, run
// round-robin between rendezvous points (block barriers, warp collectives).
// A rendezvous that can no longer complete, a trap or an exception escaping a
// thread ends the block with a fault.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/context/fiber.hpp>
#include <vector_types.h>

#include "exec_async_copy.h"
#include "exec_fiber_stack.h"
#include "hostgpu/device_sync.h"

namespace hostgpu::detail {

class BlockRun {
 public:
  BlockRun(uint3 block_idx, uint3 block_dim, const std::function<void()>& body, FiberStackPool& stacks);
  ~BlockRun();
  BlockRun(const BlockRun&) = delete;
  BlockRun& operator=(const BlockRun&) = delete;

  // Runs the block to its end; false after a fault, described in *fault.
  bool run(std::string* fault);

  // Called from the running thread's fiber.
  int barrier(BarrierReduction reduction, int predicate);
  unsigned long long warp_collective(WarpOp op, unsigned mask, unsigned long long value, int lane_argument,
                                     int width);
  const unsigned char* warp_exchange(const char* instruction, unsigned mask, const void* deposit, unsigned bytes);
  unsigned active_lanes() const;
  void spin_yield(const char* what);
  void spin_succeeded() { idle_spins_ = 0; }
  void set_max_registers(bool increase, unsigned count);
  unsigned running_lane() const { return running_ % 32; }
  AsyncCopyQueue& running_async_copies() { return threads_[running_].async_copies; }
  [[noreturn]] void fail(const std::string& reason);

 private:
  enum class State : unsigned char { not_started, runnable, spinning, at_barrier, at_warp_op, returned };

  struct Thread {
    boost::context::fiber fiber;
    State state = State::not_started;
    WarpOp op = WarpOp::sync;
    unsigned mask = 0;
    unsigned long long value = 0;
    int lane_argument = 0;
    int width = 32;
    unsigned long long result = 0;
    const char* instruction = nullptr;  // of a warp exchange
    const void* deposit = nullptr;
    std::shared_ptr<const std::vector<unsigned char>> exchanged;  // the last exchange's table
    AsyncCopyQueue async_copies;
  };

  boost::context::fiber thread_main(unsigned index, boost::context::fiber&& scheduler);
  void resume(unsigned index);
  void suspend();
  void complete_warp_op(unsigned warp, unsigned lanes);
  void complete_exchange(unsigned warp, unsigned lanes, unsigned bytes);
  std::string op_label(const Thread& thread) const;
  unsigned long long warp_op_result(unsigned warp, unsigned lane, unsigned lanes) const;
  unsigned existing_lanes(unsigned warp) const;
  std::string describe_deadlock() const;
  std::string thread_name(unsigned index) const;
  std::string block_name() const;

  uint3 block_idx_;
  uint3 block_dim_;
  unsigned thread_count_;
  const std::function<void()>& body_;
  FiberStackPool& stacks_;
  std::vector<Thread> threads_;
  std::vector<unsigned> warp_arrived_;  // lanes waiting at a warp collective, per warp
  std::deque<unsigned> runnable_;
  boost::context::fiber scheduler_;     // where the running fiber returns to
  unsigned running_ = 0;
  unsigned barrier_arrived_ = 0;
  unsigned barrier_true_ = 0;
  unsigned barrier_result_ = 0;
  unsigned returned_ = 0;
  unsigned idle_spins_ = 0;             // spin yields since any thread last did something else
  const char* spin_reason_ = nullptr;
  std::vector<unsigned> warp_registers_;  // per-thread register limit of each warp
  unsigned register_pool_ = 0;          // registers of the block not held by a warp
  std::string fault_;
};

// The block that the calling host thread is running, or null.
BlockRun* running_block();

}  // namespace hostgpu::detail
