#pragma once
// One cluster of a grid (one block when the launch names no cluster): its
// blocks resident together, each on a fresh host thread of its own so that
// each has its own static and dynamic shared memory (both are host-thread
// storage, zeroed or poisoned for every block), and all their threads fibers
// that take turns under one schedule. Exactly one fiber of the cluster runs
// at any time: the host threads hand the turn to each other, so what the
// blocks share is plain data that only the fiber holding the turn touches.
// A lone block runs on the calling host thread instead, which is much cheaper
// for large grids: on a kind device it finds the shared memory the block
// before it left; with poison the grid runs on a host thread of its own,
// whose thread-local storage is poisoned afresh for every block.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <vector_types.h>

#include "exec_fiber_stack.h"
#include "exec_settings.h"
#include "hostgpu/executor.h"

namespace hostgpu::detail {

class BlockRun;

// A copy that lands when the barrier counting it is next observed.
struct InFlightCopy {
  uint64_t* barrier;
  unsigned char* destination;
  std::vector<unsigned char> data;
};

class ClusterRun {
 public:
  // `own_host_thread`: the calling host thread is the grid's own, so a lone
  // block may poison its thread-local storage and run on it.
  ClusterRun(const GridLaunch& launch, uint3 first_block, const std::function<void()>& body,
             const ExecutionSettings& settings, FiberStackPool& stacks, bool own_host_thread);
  ~ClusterRun();
  ClusterRun(const ClusterRun&) = delete;
  ClusterRun& operator=(const ClusterRun&) = delete;

  // Runs every block to its end; false after a fault, described in *fault.
  bool run(std::string* fault);

  // Called by the blocks while their fiber holds the turn.
  void make_runnable(unsigned rank, std::vector<unsigned> threads);  // released together; ordered here
  void requeue_poller(unsigned rank, unsigned thread);
  void note_progress() { polls_without_progress_ = 0; }
  void cluster_arrive(unsigned rank, unsigned thread);
  bool cluster_phase_passed(unsigned rank, unsigned thread) const;
  unsigned block_count() const { return static_cast<unsigned>(blocks_.size()); }
  BlockRun& block(unsigned rank) { return *blocks_[rank].run; }
  uint3 cluster_dim() const { return cluster_dim_; }
  // The address of the same shared byte in block `to`; null when `address`
  // is not shared memory of block `from`.
  void* map_shared(const void* address, unsigned from, unsigned to) const;
  void* dynamic_shared_of(unsigned rank) const { return blocks_[rank].dynamic_shared; }
  const ExecutionSettings& settings() const { return settings_; }
  std::mt19937_64& random() { return random_; }
  std::vector<InFlightCopy>& in_flight_copies() { return in_flight_; }
  // The kernel touched shared memory through the async proxy: its later
  // blocks watch their stores from the start.
  void note_async_proxy_kernel();

 private:
  struct Entry {
    unsigned rank;
    unsigned thread;
  };
  struct Resident {
    std::thread host;
    BlockRun* run = nullptr;
    uintptr_t tls_low = 0;
    uintptr_t tls_high = 0;
    unsigned char* dynamic_shared = nullptr;
  };

  void start_host_threads();
  void start_schedule();
  void host_thread(unsigned rank, bool fresh);
  void take_turns(unsigned rank, std::unique_lock<std::mutex>& lock);
  void finish(const std::string& fault);
  std::string describe_stall() const;

  const GridLaunch& launch_;
  uint3 first_block_;
  uint3 cluster_dim_;
  const std::function<void()>& body_;
  ExecutionSettings settings_;
  FiberStackPool& stacks_;
  bool own_host_thread_;
  std::mt19937_64 random_;
  std::vector<Resident> blocks_;
  std::deque<Entry> queue_;
  std::vector<InFlightCopy> in_flight_;

  std::mutex mutex_;
  std::condition_variable turn_changed_;
  unsigned ready_ = 0;
  int turn_ = -1;  // the rank whose host thread runs fibers; -1: none yet
  bool finished_ = false;
  std::string fault_;
  size_t polls_without_progress_ = 0;
  unsigned long long cluster_phase_ = 0;
  unsigned cluster_arrived_ = 0;
  unsigned cluster_threads_ = 0;
};

// The cluster whose fiber runs on the calling host thread, or null.
ClusterRun* running_cluster();

}  // namespace hostgpu::detail
