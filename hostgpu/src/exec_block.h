#pragma once
// One block of a grid: its threads as fibers on the block's host thread,
// resumed by its cluster's schedule between rendezvous points (block and
// cluster barriers, warp collectives, polls of a wait). A rendezvous that can
// no longer complete, a trap or an exception escaping a thread ends the
// launch with a fault.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/context/fiber.hpp>
#include <vector_types.h>

#include "exec_async_copy.h"
#include "exec_fiber_stack.h"
#include "exec_proxy_shadow.h"
#include "hostgpu/device_sync.h"

namespace hostgpu::detail {

class ClusterRun;

class BlockRun {
 public:
  BlockRun(ClusterRun& cluster, unsigned rank, uint3 block_idx, uint3 block_dim, const std::function<void()>& body,
           FiberStackPool& stacks);
  ~BlockRun();
  BlockRun(const BlockRun&) = delete;
  BlockRun& operator=(const BlockRun&) = delete;

  // Driven by the cluster, on the block's host thread.
  unsigned thread_count() const { return thread_count_; }
  void resume(unsigned index);
  bool finished() const { return returned_ == thread_count_; }
  // Whether every thread of warp `warp` has returned.
  bool warp_returned(unsigned warp) const {
    for (unsigned i = warp * 32; i < thread_count_ && i < warp * 32 + 32; ++i) {
      if (threads_[i].state != State::returned) return false;
    }
    return true;
  }
  const std::string& fault() const { return fault_; }
  std::string describe_deadlock() const;
  std::string block_name() const;
  uint3 block_idx() const { return block_idx_; }
  unsigned rank() const { return rank_; }
  bool at_cluster_barrier(unsigned index) const { return threads_[index].state == State::at_cluster_barrier; }
  void release_from_cluster_barrier(unsigned index) { threads_[index].state = State::runnable; }
  unsigned long long& cluster_arrival(unsigned index) { return threads_[index].cluster_arrival; }

  // Called from the running thread's fiber.
  int barrier(BarrierReduction reduction, int predicate);
  unsigned long long warp_collective(WarpOp op, unsigned mask, unsigned long long value, int lane_argument,
                                     int width);
  const unsigned char* warp_exchange(const char* instruction, unsigned mask, const void* deposit, unsigned bytes);
  unsigned active_lanes() const;
  unsigned running_lane() const { return running_ % 32; }
  unsigned running_thread() const { return running_; }
  AsyncCopyQueue& running_async_copies() { return threads_[running_].async_copies; }
  [[noreturn]] void fail(const std::string& reason);
  // Gives the turn away while a wait is not yet satisfied.
  void poll_yield();
  void cluster_wait();
  // Zeroed storage of `bytes` bytes kept with the block under `key`.
  void* state(const void* key, size_t bytes);
  // An object kept with the block under `key` (empty until set), destroyed
  // with the block after its threads.
  std::shared_ptr<void>& object(const void* key) { return objects_[key]; }
  ClusterRun& cluster() { return cluster_; }
  ProxyShadow& shadow() { return shadow_; }
  // Thread synchronisation as the ordering rules of asynchronous units see
  // it: the barrier waits the running thread has passed, and work of it
  // that must be fenced before it signals a barrier (null: none; a signal
  // while some is held fails, naming it and `how` the thread signalled).
  unsigned long long sync_waits() const { return threads_[running_].sync_waits; }
  void passed_sync_wait() { ++threads_[running_].sync_waits; }
  void hold_unfenced(const char* what) { threads_[running_].unfenced = what; }
  void signal_sync(const char* how);
  std::string thread_name(unsigned index) const;

 private:
  enum class State : unsigned char { not_started, runnable, at_barrier, at_warp_op, at_cluster_barrier, returned };

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
    unsigned long long cluster_arrival = 0;  // 1 + the cluster barrier phase it arrived at; 0: none
    unsigned long long sync_waits = 0;
    const char* unfenced = nullptr;
  };

  boost::context::fiber thread_main(unsigned index, boost::context::fiber&& scheduler);
  void suspend();
  void release(std::vector<unsigned> threads);
  void complete_warp_op(unsigned warp, unsigned lanes, unsigned reference);
  unsigned participating_lanes(unsigned warp, WarpOp op) const;
  void complete_after_return(unsigned warp);
  void complete_exchange(unsigned warp, unsigned lanes, unsigned bytes);
  std::string op_label(const Thread& thread) const;
  unsigned long long warp_op_result(unsigned warp, unsigned lane, unsigned lanes) const;
  unsigned existing_lanes(unsigned warp) const;

  ClusterRun& cluster_;
  unsigned rank_;
  uint3 block_idx_;
  uint3 block_dim_;
  unsigned thread_count_;
  const std::function<void()>& body_;
  FiberStackPool& stacks_;
  std::vector<Thread> threads_;
  std::vector<unsigned> warp_arrived_;  // lanes waiting at a warp collective, per warp
  std::map<const void*, std::vector<unsigned char>> states_;
  std::map<const void*, std::shared_ptr<void>> objects_;
  ProxyShadow shadow_;
  boost::context::fiber scheduler_;     // where the running fiber returns to
  unsigned running_ = 0;
  unsigned barrier_arrived_ = 0;
  unsigned barrier_true_ = 0;
  unsigned barrier_result_ = 0;
  unsigned returned_ = 0;
  std::string fault_;
};

// The block that the calling host thread is running, or null.
BlockRun* running_block();
// Makes `block` the running one of the host thread; returns the previous one.
BlockRun* exchange_running_block(BlockRun* block);

}  // namespace hostgpu::detail
