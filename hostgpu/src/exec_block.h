#pragma once
// One block of a grid: its threads as fibers on the host thread of the slot
// it is resident in, resumed by the launch's schedule between rendezvous
// points (block and cluster barriers, warp collectives, polls of a wait) and
// yield points (arrivals, atomics, fences, mbarrier tests, when yields are
// on). A rendezvous that can no longer complete, a trap or an exception
// escaping a thread ends the launch with a fault. The block also keeps the
// mbarriers initialised in its shared memory and the tensor-memory columns
// it holds, which it must leave settled when it exits.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/context/fiber.hpp>
#include <vector_types.h>

#include "exec_async_copy.h"
#include "exec_fiber_stack.h"
#include "exec_proxy_shadow.h"
#include "hostgpu/device_sync.h"

namespace hostgpu::detail {

class ClusterRun;

// Ends the faulting thread's fiber (or the landing of an arrival); the fault
// itself is already recorded.
struct KernelFault {};

// An mbarrier initialised in the block's shared memory.
struct BarrierRecord {
  unsigned init_thread = 0;
  // Cluster-barrier arrivals the initialising thread had made before: a peer
  // may use the barrier once it has waited for the phase its next arrival
  // completes.
  unsigned long long init_arrivals = 0;
  // Block barriers completed before: another thread of the block may use it
  // once it has passed the next one.
  unsigned long long init_barriers = 0;
  // Warp collectives completed in its warp before: a thread of that warp may
  // use it once it has passed the next one.
  unsigned long long init_warp_syncs = 0;
  // The async proxy (bulk copies) sees the initialisation only once the
  // initialising thread has fenced it (fence.mbarrier_init or
  // fence.proxy.async).
  bool async_visible = false;
};

constexpr uint64_t kNoPoll = 0;

class BlockRun {
 public:
  BlockRun(ClusterRun& cluster, unsigned rank, unsigned slot, uint3 block_idx, uint3 block_dim,
           const std::function<void()>& body, FiberStackPool& stacks);
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
  unsigned slot() const { return slot_; }
  bool at_cluster_barrier(unsigned index) const { return threads_[index].state == State::at_cluster_barrier; }
  void release_from_cluster_barrier(unsigned index) { threads_[index].state = State::runnable; }
  unsigned long long& cluster_arrival(unsigned index) { return threads_[index].cluster_arrival; }
  unsigned long long cluster_waited(unsigned index) const { return threads_[index].cluster_waited; }
  // __syncthreads completed in the block, and those the thread has passed.
  unsigned long long block_barriers() const { return barrier_generation_; }
  unsigned long long block_barriers_passed(unsigned index) const { return threads_[index].barriers_passed; }
  // Warp collectives completed in the thread's warp, and those it has passed.
  unsigned long long warp_syncs(unsigned index) const { return warp_generation_[index / 32]; }
  unsigned long long warp_syncs_passed(unsigned index) const { return threads_[index].warp_syncs_passed; }
  // The change epoch in which the thread failed a poll for the second time
  // (kNoPoll: none since): it then waits for a change.
  uint64_t poll_epoch(unsigned index) const { return threads_[index].poll_epoch; }
  const char* waits_for(unsigned index) const { return threads_[index].waits_for; }
  // The mbarrier the thread's last test read (null: none since it went on).
  const void* polled_barrier(unsigned index) const { return threads_[index].polled_barrier; }
  void note_polled_barrier(const void* barrier) { threads_[running_].polled_barrier = barrier; }

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
  // Gives the turn away while a wait is not yet satisfied; `what` names the
  // wait in a stall's report (null: a barrier phase).
  void poll_yield(const char* what = nullptr);
  void poll_satisfied();
  // Gives the turn away at a yield point.
  void yield();
  // Whether one of the block's fibers runs now (not work landed for it).
  bool in_fiber() const { return in_fiber_; }
  void cluster_wait();

  // Lands work for another thread of this block (an arrival it posted): a
  // fault then names that thread. Returns the thread it replaces.
  unsigned act_as(unsigned thread) { return std::exchange(running_, thread); }

  // A peer mapped an address of this block's shared memory (mapa) when the
  // mapping thread had made `arrivals` cluster-barrier arrivals: the block
  // may exit once it has waited for a cluster phase after that.
  void note_mapped_by_peer(unsigned long long arrivals) {
    if (arrivals + 1 > mapped_until_) mapped_until_ = arrivals + 1;
  }
  unsigned long long mapped_until() const { return mapped_until_; }
  // The most cluster phases any of its threads has seen complete.
  unsigned long long cluster_phases_waited() const;

  // Mbarriers initialised in the block's shared memory.
  void record_barrier(const void* barrier, const BarrierRecord& record) { barriers_[barrier] = record; }
  const BarrierRecord* barrier_record(const void* barrier) const;
  // A fence by `thread` makes the barriers it initialised visible to the async proxy.
  void fence_barrier_inits(unsigned thread);
  const std::unordered_map<const void*, BarrierRecord>& barriers() const { return barriers_; }

  // Tensor memory: the slices of its SM's 512 columns the block holds, and
  // whether it gave up its permit to allocate.
  uint32_t& tensor_memory_slices() { return tensor_memory_slices_; }
  bool& tensor_memory_relinquished() { return tensor_memory_relinquished_; }
  uint32_t& tensor_memory_wanted() { return tensor_memory_wanted_; }  // by a waiting alloc
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
    unsigned long long cluster_waited = 0;   // phases it has seen complete at a cluster wait
    unsigned long long barriers_passed = 0;  // block barriers it has passed
    unsigned long long warp_syncs_passed = 0;  // warp collectives of its warp it has passed
    uint64_t first_poll_epoch = kNoPoll;  // of its last failed poll
    uint64_t poll_epoch = kNoPoll;        // set when it fails a poll again in the same epoch
    const char* waits_for = nullptr;
    const void* polled_barrier = nullptr;
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
  unsigned slot_;
  uint3 block_idx_;
  uint3 block_dim_;
  unsigned thread_count_;
  const std::function<void()>& body_;
  FiberStackPool& stacks_;
  std::vector<Thread> threads_;
  std::vector<unsigned> warp_arrived_;  // lanes waiting at a warp collective, per warp
  std::vector<unsigned long long> warp_generation_;  // warp collectives completed, per warp
  std::map<const void*, std::vector<unsigned char>> states_;
  std::unordered_map<const void*, BarrierRecord> barriers_;
  uint32_t tensor_memory_slices_ = 0;
  bool tensor_memory_relinquished_ = false;
  uint32_t tensor_memory_wanted_ = 0;
  unsigned long long mapped_until_ = 0;
  std::map<const void*, std::shared_ptr<void>> objects_;
  ProxyShadow shadow_;
  boost::context::fiber scheduler_;     // where the running fiber returns to
  unsigned running_ = 0;
  bool in_fiber_ = false;
  unsigned barrier_arrived_ = 0;
  unsigned barrier_true_ = 0;
  unsigned barrier_result_ = 0;
  unsigned long long barrier_generation_ = 0;
  unsigned returned_ = 0;
  std::string fault_;
};

// The block that the calling host thread is running, or null.
BlockRun* running_block();
// Makes `block` the running one of the host thread; returns the previous one.
BlockRun* exchange_running_block(BlockRun* block);

}  // namespace hostgpu::detail
