#include "exec_cluster.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>

#include "exec_block.h"
#include "exec_grid_run.h"
#include "hostgpu/device_mbarrier.h"

namespace hostgpu::detail {
namespace {

// Kernels known to use the async proxy, in every host thread.
std::mutex async_proxy_kernels_mutex;
std::set<const void*> async_proxy_kernels;

std::string hex_offset(uintptr_t offset) {
  char text[32];
  std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(offset));
  return text;
}

}  // namespace

ClusterRun::ClusterRun(GridRun& grid, uint3 first_block)
    : grid_(grid),
      first_block_(first_block),
      cluster_dim_{grid.launch().cluster.x, grid.launch().cluster.y, grid.launch().cluster.z},
      members_(cluster_dim_.x * cluster_dim_.y * cluster_dim_.z),
      pair_allocs_((members_.size() + 1) / 2) {
  const dim3 block = grid.launch().block;
  cluster_threads_ = static_cast<unsigned>(members_.size()) * block.x * block.y * block.z;
}

ClusterRun::~ClusterRun() = default;

uint3 ClusterRun::block_idx(unsigned rank) const {
  return uint3{first_block_.x + rank % cluster_dim_.x, first_block_.y + (rank / cluster_dim_.x) % cluster_dim_.y,
               first_block_.z + rank / (cluster_dim_.x * cluster_dim_.y)};
}

BlockRun& ClusterRun::make_block(unsigned rank) {
  const dim3 block = grid_.launch().block;
  Member& member = members_[rank];
  member.run = std::make_unique<BlockRun>(*this, rank, member.slot, block_idx(rank),
                                          uint3{block.x, block.y, block.z}, grid_.body(), grid_.stacks());
  member.made = true;
  if (++made_ == members_.size()) start();
  return *member.run;
}

// The blocks start in rank order, or in the schedule's order of them; with
// the staggered start some of them only later.
void ClusterRun::start() {
  const ExecutionSettings& settings = grid_.settings();
  std::vector<unsigned> ranks(members_.size());
  for (unsigned rank = 0; rank < ranks.size(); ++rank) ranks[rank] = rank;
  if (settings.schedule == ScheduleKind::reverse) std::reverse(ranks.begin(), ranks.end());
  if (settings.schedule == ScheduleKind::shuffle) std::shuffle(ranks.begin(), ranks.end(), grid_.random());
  if (settings.stagger && ranks.size() > 1) {
    // A proper, non-empty part of the cluster waits: it starts once the
    // others can do nothing more, or at a random later turn.
    const size_t starting = 1 + grid_.random()() % (ranks.size() - 1);
    for (size_t i = starting; i < ranks.size(); ++i) members_[ranks[i]].delayed = true;
    ranks.resize(starting);
  }
  for (unsigned rank : ranks) {
    std::vector<unsigned> threads(members_[rank].run->thread_count());
    for (unsigned i = 0; i < threads.size(); ++i) threads[i] = i;
    make_runnable(rank, std::move(threads));
  }
}

bool ClusterRun::start_delayed_block() {
  if (made_ != members_.size()) return false;
  for (unsigned rank = 0; rank < members_.size(); ++rank) {
    if (!members_[rank].delayed) continue;
    members_[rank].delayed = false;
    std::vector<unsigned> threads(members_[rank].run->thread_count());
    for (unsigned i = 0; i < threads.size(); ++i) threads[i] = i;
    make_runnable(rank, std::move(threads));
    return true;
  }
  return false;
}

std::string ClusterRun::exit_block(unsigned rank) {
  Member& member = members_[rank];
  BlockRun& block = *member.run;
  const std::string name = block.block_name();
  const Slot& slot = grid_.slot(member.slot);
  if (block.tensor_memory_slices() != 0) {
    const uint32_t slices = block.tensor_memory_slices();
    const unsigned first = static_cast<unsigned>(__builtin_ctz(slices)) * TensorMemory::kSliceColumns;
    return name + " exits holding " + std::to_string(__builtin_popcount(slices) * TensorMemory::kSliceColumns) +
           " tensor-memory columns from column " + std::to_string(first) + " (no tcgen05.dealloc)";
  }
  for (const auto& [address, record] : block.barriers()) {
    const mbarrier::State s = mbarrier::decode(*static_cast<const uint64_t*>(address));
    if (s.pending != s.expected || s.tx != 0) {
      return name + " exits with its mbarrier at shared offset " +
             hex_offset(reinterpret_cast<uintptr_t>(address) - slot.tls_low) + " partway through a phase (" +
             std::to_string(s.expected - s.pending) + " of " + std::to_string(s.expected) + " arrivals, " +
             std::to_string(s.tx) + " transaction bytes pending)";
    }
  }
  const std::string arrival = grid_.arrival_in_flight_for(this, rank);
  if (!arrival.empty()) return name + " exits while " + arrival + " is still in flight to it";
  for (const InFlightCopy& copy : in_flight_) {
    const auto at = reinterpret_cast<uintptr_t>(copy.destination);
    if (at >= slot.tls_low && at < slot.tls_high) {
      return name + " exits while a bulk copy into its shared memory at offset " + hex_offset(at - slot.tls_low) +
             " is still in flight";
    }
  }
  if (block.mapped_until() > block.cluster_phases_waited()) {
    return name + " exits while a peer may still reach its shared memory through an address it mapped (mapa) "
                  "with no cluster barrier between that and the exit";
  }
  member.exited = true;
  ++exited_;
  // Its shared memory may go to another block at once: a stale mapped
  // address reads whatever is there.
  if (grid_.settings().poison) std::memset(slot.dynamic_shared, poison_byte, grid_.launch().dynamic_shared_bytes);
  return {};
}

void ClusterRun::destroy_block(unsigned rank) { members_[rank].run.reset(); }

ClusterRun::PairAlloc& ClusterRun::pair_alloc(unsigned pair) { return pair_allocs_[pair]; }

void ClusterRun::make_runnable(unsigned rank, std::vector<unsigned> threads) {
  grid_.make_runnable(members_[rank].slot, std::move(threads));
}

void ClusterRun::requeue_poller(unsigned rank, unsigned thread) { grid_.requeue_poller(members_[rank].slot, thread); }

void ClusterRun::requeue_yield(unsigned rank, unsigned thread) { grid_.requeue_yield(members_[rank].slot, thread); }

void ClusterRun::note_change() { grid_.note_change(); }

const ExecutionSettings& ClusterRun::settings() const { return grid_.settings(); }

std::mt19937_64& ClusterRun::random() { return grid_.random(); }

bool ClusterRun::chance(unsigned one_in) { return grid_.chance(one_in); }

void ClusterRun::cluster_arrive(unsigned rank, unsigned thread) {
  BlockRun& arriving = *members_[rank].run;
  if (arriving.cluster_arrival(thread) == cluster_phase_ + 1) {
    arriving.fail("barrier.cluster.arrive twice in one phase");
  }
  arriving.cluster_arrival(thread) = cluster_phase_ + 1;
  note_change();
  if (++cluster_arrived_ < cluster_threads_) return;
  cluster_arrived_ = 0;
  ++cluster_phase_;
  for (unsigned r = 0; r < members_.size(); ++r) {
    if (!members_[r].run) continue;
    BlockRun& block = *members_[r].run;
    std::vector<unsigned> waiting;
    for (unsigned i = 0; i < block.thread_count(); ++i) {
      if (block.at_cluster_barrier(i)) {
        block.release_from_cluster_barrier(i);
        waiting.push_back(i);
      }
    }
    if (!waiting.empty()) make_runnable(r, std::move(waiting));
  }
}

bool ClusterRun::cluster_phase_passed(unsigned rank, unsigned thread) const {
  return members_[rank].run->cluster_arrival(thread) <= cluster_phase_;
}

void* ClusterRun::map_shared(const void* address, unsigned from, unsigned to) const {
  const uintptr_t at = reinterpret_cast<uintptr_t>(address);
  if (to >= members_.size()) return nullptr;
  const Slot& source = grid_.slot(members_[from].slot);
  if (at < source.tls_low || at >= source.tls_high) return nullptr;
  const Slot& target = grid_.slot(members_[to].slot);
  return reinterpret_cast<void*>(at - source.tls_high + target.tls_high);
}

int ClusterRun::owner_rank(const void* address) const {
  const uintptr_t at = reinterpret_cast<uintptr_t>(address);
  for (unsigned rank = 0; rank < members_.size(); ++rank) {
    if (!members_[rank].made) continue;
    const Slot& slot = grid_.slot(members_[rank].slot);
    if (at >= slot.tls_low && at < slot.tls_high) return static_cast<int>(rank);
  }
  return -1;
}

void* ClusterRun::dynamic_shared_of(unsigned rank) const {
  return grid_.slot(members_[rank].slot).dynamic_shared;
}

void ClusterRun::note_async_proxy_kernel() {
  std::lock_guard<std::mutex> lock(async_proxy_kernels_mutex);
  async_proxy_kernels.insert(grid_.launch().kernel);
}

bool ClusterRun::uses_async_proxy() const {
  std::lock_guard<std::mutex> lock(async_proxy_kernels_mutex);
  return async_proxy_kernels.count(grid_.launch().kernel) != 0;
}

}  // namespace hostgpu::detail
