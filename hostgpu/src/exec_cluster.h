#pragma once
// One cluster of a grid (one block when the launch names no cluster): its
// blocks, each resident in a slot of the launch's simulated device (see
// exec_grid_run.h), the cluster barrier they share, the bulk copies in flight
// into their shared memory, and the rules of their lifetimes: a block's
// shared memory is reached through mapa, arrivals and copies only while the
// block is resident, and its peers see its barriers only once a cluster
// barrier orders their initialisation.
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <vector_types.h>

#include "exec_settings.h"

namespace hostgpu::detail {

class BlockRun;
class GridRun;

// A copy that lands when the barrier counting it is next observed.
struct InFlightCopy {
  uint64_t* barrier;
  unsigned char* destination;
  std::vector<unsigned char> data;
};

class ClusterRun {
 public:
  ClusterRun(GridRun& grid, uint3 first_block);
  ~ClusterRun();
  ClusterRun(const ClusterRun&) = delete;
  ClusterRun& operator=(const ClusterRun&) = delete;

  GridRun& grid() { return grid_; }
  uint3 first_block() const { return first_block_; }
  unsigned block_count() const { return static_cast<unsigned>(members_.size()); }
  uint3 cluster_dim() const { return cluster_dim_; }
  uint3 block_idx(unsigned rank) const;

  // Placement and lifetime, driven by the grid with the turn held.
  void place(unsigned rank, unsigned slot) { members_[rank].slot = slot; }
  unsigned slot_of(unsigned rank) const { return members_[rank].slot; }
  // Makes block `rank` on the calling (slot) host thread; starts the
  // cluster's threads once every block is made.
  BlockRun& make_block(unsigned rank);
  // The block's threads all returned: checks what it leaves behind (returns
  // a fault, or empty) and marks it exited.
  std::string exit_block(unsigned rank);
  bool exited(unsigned rank) const { return members_[rank].exited; }
  bool all_exited() const { return exited_ == members_.size(); }
  // Destroys block `rank` (on its slot's host thread when it was suspended).
  void destroy_block(unsigned rank);
  // Starts one block held back by the staggered start; false when none is.
  bool start_delayed_block();

  // Called by the blocks while their fiber holds the turn.
  void make_runnable(unsigned rank, std::vector<unsigned> threads);
  void requeue_poller(unsigned rank, unsigned thread);
  void requeue_yield(unsigned rank, unsigned thread);
  void note_change();
  void cluster_arrive(unsigned rank, unsigned thread);
  bool cluster_phase_passed(unsigned rank, unsigned thread) const;
  BlockRun& block(unsigned rank) { return *members_[rank].run; }
  bool has_block(unsigned rank) const { return members_[rank].run != nullptr; }
  // The address of the same shared byte in block `to`; null when `address`
  // is not shared memory of block `from`.
  void* map_shared(const void* address, unsigned from, unsigned to) const;
  // The rank of the block whose shared memory holds `address` (exited ones
  // included), or -1.
  int owner_rank(const void* address) const;
  void* dynamic_shared_of(unsigned rank) const;
  const ExecutionSettings& settings() const;
  std::mt19937_64& random();
  bool chance(unsigned one_in);
  std::vector<InFlightCopy>& in_flight_copies() { return in_flight_; }
  // A cta_group::2 tcgen05.alloc of the CTA pair `pair` (ranks 2·pair and
  // 2·pair + 1): what each side asked for, and the columns granted to both.
  struct PairAlloc {
    uint32_t asked[2] = {0, 0};
    bool granted[2] = {false, false};
    uint32_t column = 0;
  };
  PairAlloc& pair_alloc(unsigned pair);
  // The kernel touched shared memory through the async proxy: its later
  // blocks watch their stores from the start.
  void note_async_proxy_kernel();
  bool uses_async_proxy() const;

 private:
  struct Member {
    unsigned slot = 0;
    std::unique_ptr<BlockRun> run;
    bool made = false;
    bool delayed = false;
    bool exited = false;
  };

  void start();

  GridRun& grid_;
  uint3 first_block_;
  uint3 cluster_dim_;
  std::vector<Member> members_;
  unsigned made_ = 0;
  unsigned exited_ = 0;
  std::vector<InFlightCopy> in_flight_;
  std::vector<PairAlloc> pair_allocs_;
  unsigned long long cluster_phase_ = 0;
  unsigned cluster_arrived_ = 0;
  unsigned cluster_threads_ = 0;
};

}  // namespace hostgpu::detail
