#pragma once
// The simulated device of one launch: SMs holding resident blocks, one host
// thread per resident slot (a block's static and dynamic shared memory is the
// thread-local storage of its slot's host thread), the one schedule that all
// resident fibers share, the dispatch of clusters onto SMs, mbarrier
// arrivals in flight, and each SM's tensor memory.
//
// A cluster of C blocks takes one slot on each of C SMs (rank r on SM r);
// each SM has room for `resident` blocks, so that many clusters are resident
// together and their fibers interleave. A block that exits frees its slot at
// once: the next cluster is placed as soon as every SM has a free slot, and a
// block placed in a freed slot finds the shared memory its last holder left
// (or poison). Without the resident freedom one cluster runs at a time.
//
// Exactly one host thread acts at any time, the one holding the turn, under
// one mutex: it sets up the blocks assigned to its slot, resumes its fibers
// while they are at the front of the queue, lands arrivals, starts staggered
// blocks, and hands the turn to the slot whose fiber comes next.
//
// A stall is declared only when every thread in the queue failed a poll since
// the last change of anything a wait can observe (an mbarrier, a block or
// cluster barrier, an atomic, tensor memory, a returned thread) and nothing is
// left in flight to land or to start.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "exec_fiber_stack.h"
#include "exec_settings.h"
#include "hostgpu/device_async_arrival.h"
#include "hostgpu/executor.h"
#include "hostgpu/tensor_memory.h"

namespace hostgpu::detail {

class BlockRun;
class ClusterRun;

struct Slot {
  unsigned index = 0;
  unsigned sm = 0;
  bool calling_thread = false;  // the launching host thread serves it
  std::thread host;
  std::condition_variable turn;
  bool thread_started = false;
  bool fresh = true;            // its host thread has held no block yet
  uintptr_t tls_low = 0;        // its program thread-local block (shared memory)
  uintptr_t tls_high = 0;
  unsigned char* dynamic_shared = nullptr;
  // The block assigned to it: waiting for set-up, then resident until it exits.
  ClusterRun* cluster = nullptr;
  unsigned rank = 0;
  bool needs_set_up = false;
  BlockRun* block = nullptr;
};

// The tensor memory of one SM, shared by its resident blocks.
struct SmTensorMemory {
  std::unique_ptr<TensorMemory> memory;  // made at the first use
  const BlockRun* owner[TensorMemory::kColumns / TensorMemory::kSliceColumns] = {};
};

class GridRun {
 public:
  GridRun(const GridLaunch& launch, const std::function<void()>& body, const ExecutionSettings& settings,
          FiberStackPool& stacks);
  ~GridRun();
  GridRun(const GridRun&) = delete;
  GridRun& operator=(const GridRun&) = delete;

  // Runs every cluster of the grid; false after a fault, described in *fault.
  bool run(std::string* fault);

  // ---- called with the turn held ---------------------------------------------
  const GridLaunch& launch() const { return launch_; }
  const ExecutionSettings& settings() const { return settings_; }
  const std::function<void()>& body() const { return body_; }
  FiberStackPool& stacks() { return stacks_; }
  Slot& slot(unsigned index) { return *slots_[index]; }
  const Slot& slot(unsigned index) const { return *slots_[index]; }
  // True with probability 1 / one_in, drawn from the schedule's seed.
  bool chance(unsigned one_in);
  std::mt19937_64& random() { return random_; }

  // Queues released threads of the block in `slot` (ordered as the schedule says).
  void make_runnable(unsigned slot, std::vector<unsigned> threads);
  // The running thread failed a poll: it goes to the back of the queue.
  void requeue_poller(unsigned slot, unsigned thread);
  // The running thread gives the turn away at a yield point.
  void requeue_yield(unsigned slot, unsigned thread);
  // Something a wait can observe changed.
  void note_change();
  uint64_t change_epoch() const { return epoch_; }

  // Mbarrier arrivals in flight (late arrivals only).
  struct Target {
    uint64_t* barrier;
    uint32_t count;
    ClusterRun* cluster;
    unsigned rank;       // of the block whose barrier it is
    bool landed = false;
  };
  void post(BlockRun& issuer, unsigned thread, std::vector<Target> targets, ArrivalAction action);
  // An arrival still in flight for block `rank` of `cluster`, or null.
  std::string arrival_in_flight_for(const ClusterRun* cluster, unsigned rank) const;

  // Tensor memory of the SM of the running block's slot.
  SmTensorMemory& sm_tensor_memory(unsigned sm);

  // Ends the launch with `fault` (the first one recorded stays).
  void finish(const std::string& fault);

 private:
  struct Entry {
    unsigned slot;
    unsigned thread;
  };
  struct Posted {
    uint64_t order;
    BlockRun* issuer;
    unsigned thread;
    std::vector<Target> targets;
    ArrivalAction action;
    bool acted = false;
  };

  void plan_slots();
  Slot* free_slot(unsigned sm, Slot* preferred);
  void dispatch(Slot* preferred = nullptr);
  void start_host_thread(Slot& slot);
  void host_thread(Slot& slot);
  void take_turns(Slot& slot, std::unique_lock<std::mutex>& lock);
  void pass_turn(unsigned to);
  void set_up(Slot& slot);
  void retire(Slot& slot);
  void tear_down(Slot& slot);
  void push(const Entry& entry, bool front);
  // Queues `threads` at the front, in their order: they run before all others.
  void push_ahead(unsigned slot, const std::vector<unsigned>& threads);
  bool stale(const Entry& entry) const;
  // Picks what runs next: -1 when the launch ended (done or faulted).
  int pick();
  bool start_delayed_block();
  bool deliver_one(bool needed_only);
  void deliver(Posted& posted, size_t target);
  void run_actions_up_to(const Posted& posted);
  std::string describe_stall() const;
  std::string describe_deadlock() const;

  const GridLaunch& launch_;
  const std::function<void()>& body_;
  ExecutionSettings settings_;
  FiberStackPool& stacks_;
  std::mt19937_64 random_;
  unsigned cluster_blocks_ = 1;
  unsigned per_sm_ = 1;               // resident clusters at most
  std::vector<std::unique_ptr<Slot>> slots_;
  std::vector<SmTensorMemory> tensor_memory_;

  // Clusters in grid order: the next one to place, and those resident.
  uint64_t next_cluster_ = 0;
  uint64_t cluster_count_ = 0;
  std::list<std::unique_ptr<ClusterRun>> resident_;

  std::deque<Entry> queue_;
  // The warp running ahead of its block and how many more of its own
  // releases (warp collectives) keep it at the front.
  struct Lead {
    unsigned slot = 0;
    unsigned warp = 0;
    unsigned releases_left = 0;
  } lead_;
  size_t stale_queued_ = 0;         // entries whose thread failed a poll since the last change
  uint64_t epoch_ = 1;              // advanced by every change
  uint64_t turns_since_change_ = 0;
  std::list<Posted> posted_;
  uint64_t next_post_ = 0;

  std::mutex mutex_;
  std::condition_variable done_;
  int turn_ = -1;
  bool finished_ = false;
  std::string fault_;
};

}  // namespace hostgpu::detail
