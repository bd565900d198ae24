// The checked mbarrier operations (device_mbarrier.h).
#include <cstdio>
#include <stdexcept>
#include <string>

#include "exec_block.h"
#include "exec_cluster.h"
#include "exec_grid_run.h"
#include "exec_mbarrier.h"
#include "hostgpu/device_cluster.h"
#include "hostgpu/device_mbarrier.h"
#include "hostgpu/device_sync.h"

namespace hostgpu {
namespace detail {
namespace {

BlockRun& require_block(const char* what) {
  BlockRun* block = running_block();
  if (block == nullptr) throw std::logic_error(std::string(what) + " called outside a kernel");
  return *block;
}

std::string offset_text(ClusterRun& cluster, unsigned rank, const void* address) {
  char text[32];
  const uintptr_t low = cluster.grid().slot(cluster.slot_of(rank)).tls_low;
  std::snprintf(text, sizeof(text), "0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address) - low));
  return text;
}

}  // namespace

BarrierUse check_barrier_use(const void* barrier, const char* what) {
  BlockRun& running = require_block(what);
  ClusterRun& cluster = running.cluster();
  const int found = cluster.owner_rank(barrier);
  if (found < 0) running.fail(std::string(what) + ": an address outside the shared memory of every block of the cluster");
  const unsigned rank = static_cast<unsigned>(found);
  const std::string where = "the mbarrier at shared offset " + offset_text(cluster, rank, barrier) + " of " +
                            cluster.block(rank).block_name();
  if (cluster.exited(rank)) running.fail(std::string(what) + " on " + where + ", which has exited");
  BlockRun& owner = cluster.block(rank);
  const BarrierRecord* record = owner.barrier_record(barrier);
  if (record == nullptr) running.fail(std::string(what) + " on " + where + " before its initialisation");
  const unsigned thread = running.running_thread();
  const bool by_cluster_barrier = running.cluster_waited(thread) > record->init_arrivals;
  if (&owner != &running) {
    if (!by_cluster_barrier) {
      running.fail(std::string(what) + " on " + where +
                   ", whose initialisation no cluster barrier has ordered before it");
    }
  } else if (thread != record->init_thread && !by_cluster_barrier &&
             running.block_barriers_passed(thread) <= record->init_barriers &&
             !(thread / 32 == record->init_thread / 32 && running.warp_syncs_passed(thread) > record->init_warp_syncs)) {
    running.fail(std::string(what) + " on " + where + ", whose initialisation by " +
                 running.thread_name(record->init_thread) + " no barrier has ordered before it");
  }
  return BarrierUse{&cluster, rank};
}

BarrierUse check_async_barrier_use(const void* barrier, const char* what) {
  const BarrierUse use = check_barrier_use(barrier, what);
  BlockRun& owner = use.cluster->block(use.rank);
  const BarrierRecord* record = owner.barrier_record(barrier);
  if (!record->async_visible) {
    running_block()->fail(std::string(what) + " on the mbarrier at shared offset " +
                          offset_text(*use.cluster, use.rank, barrier) + " of " + owner.block_name() +
                          ", whose initialisation by " + owner.thread_name(record->init_thread) +
                          " was not fenced for the async proxy (no fence.mbarrier_init or fence.proxy.async "
                          "by that thread after its mbarrier.init)");
  }
  return use;
}

}  // namespace detail

namespace mbarrier {

void init(uint64_t* barrier, uint32_t arrivals) {
  detail::BlockRun& block = detail::require_block("mbarrier.init");
  if (block.cluster().owner_rank(barrier) != static_cast<int>(block.rank())) {
    block.fail("mbarrier.init of an address outside the block's shared memory");
  }
  if (arrivals == 0 || arrivals > kCountMask) block.fail("mbarrier.init with " + std::to_string(arrivals) + " arrivals");
  *barrier = encode({arrivals, arrivals, 0, 0});
  const unsigned thread = block.running_thread();
  detail::BarrierRecord record;
  record.init_thread = thread;
  record.init_arrivals = block.cluster_arrival(thread);
  record.init_barriers = block.block_barriers();
  record.init_warp_syncs = block.warp_syncs(thread);
  block.record_barrier(barrier, record);
  block.cluster().note_change();
}

void init_fence() {
  detail::BlockRun& block = detail::require_block("fence.mbarrier_init");
  block.fence_barrier_inits(block.running_thread());
}

void check(const uint64_t* barrier, const char* what) { detail::check_barrier_use(barrier, what); }

void check_bulk_copy(const uint64_t* barrier, const char* what) { detail::check_async_barrier_use(barrier, what); }

void arrive(uint64_t* barrier, uint32_t count) {
  detail::BarrierUse use = detail::check_barrier_use(barrier, "mbarrier.arrive");
  apply_arrival(barrier, count);
  use.cluster->note_change();
  detail::yield_point();
}

void arrive_expect_tx(uint64_t* barrier, uint32_t bytes) {
  detail::BarrierUse use = detail::check_barrier_use(barrier, "mbarrier.arrive.expect_tx");
  State s = decode(*barrier);
  s.tx += static_cast<int32_t>(bytes);
  s.pending -= 1;
  *barrier = encode(s);
  use.cluster->note_change();
  detail::yield_point();
}

void complete_tx(uint64_t* barrier, uint32_t bytes) {
  detail::BarrierUse use = detail::check_async_barrier_use(barrier, "a bulk copy's complete_tx");
  apply_complete_tx(barrier, bytes);
  use.cluster->note_change();
}

bool phase_complete(uint64_t* barrier, uint32_t parity) {
  detail::BarrierUse use = detail::check_barrier_use(barrier, "mbarrier.try_wait");
  detail::running_block()->note_polled_barrier(barrier);
  const uint32_t landed = land_bulk_copies(barrier);
  if (landed != 0) {
    apply_complete_tx(barrier, landed);
    use.cluster->note_change();
  }
  return decode(*barrier).phase != (parity & 1u);
}

}  // namespace mbarrier
}  // namespace hostgpu
