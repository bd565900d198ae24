// The cluster and wait functions of device code (device_cluster.h).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "exec_block.h"
#include "exec_cluster.h"
#include "exec_grid_run.h"
#include "hostgpu/device_cluster.h"

namespace hostgpu {
namespace {

detail::BlockRun& require_block(const char* what) {
  detail::BlockRun* block = detail::running_block();
  if (block == nullptr) throw std::logic_error(std::string(what) + " called outside a kernel");
  return *block;
}

detail::BlockRun& require_rank(const char* what, unsigned rank) {
  detail::BlockRun& block = require_block(what);
  if (rank >= block.cluster().block_count()) {
    block.fail(std::string(what) + " names block rank " + std::to_string(rank) + " of a cluster of " +
               std::to_string(block.cluster().block_count()));
  }
  return block;
}

}  // namespace

ClusterPlace cluster_place() {
  detail::BlockRun& block = require_block("a cluster special register");
  const uint3 dim = block.cluster().cluster_dim();
  const uint3 at = block.block_idx();
  ClusterPlace place;
  place.cluster_dim = dim;
  place.block = uint3{at.x % dim.x, at.y % dim.y, at.z % dim.z};
  place.cluster = uint3{at.x / dim.x, at.y / dim.y, at.z / dim.z};
  place.rank = block.rank();
  place.blocks = block.cluster().block_count();
  return place;
}

namespace {

void* map_into(const void* shared, unsigned rank, bool plain_access) {
  detail::BlockRun& block = require_rank("mapa", rank);
  detail::ClusterRun& cluster = block.cluster();
  void* mapped = cluster.map_shared(shared, block.rank(), rank);
  if (mapped == nullptr) block.fail("mapa of an address outside the block's shared memory");
  // An instruction's own check of the barrier it reaches names an exited peer.
  if (plain_access && cluster.exited(rank)) {
    block.fail("mapa into the shared memory of " + cluster.block(rank).block_name() + ", which has exited");
  }
  if (plain_access && rank != block.rank()) {
    cluster.block(rank).note_mapped_by_peer(block.cluster_arrival(block.running_thread()));
  }
  return mapped;
}

}  // namespace

void* map_shared(const void* shared, unsigned rank) { return map_into(shared, rank, true); }

void* peer_address(const void* shared, unsigned rank) { return map_into(shared, rank, false); }

unsigned shared_rank(const void* shared) {
  detail::BlockRun& block = require_block("a shared::cluster address");
  detail::ClusterRun& cluster = block.cluster();
  for (unsigned rank = 0; rank < cluster.block_count(); ++rank) {
    if (cluster.map_shared(shared, rank, rank) != nullptr) return rank;
  }
  block.fail("an address outside the shared memory of every block of the cluster");
}

void* block_dynamic_shared(unsigned rank) {
  detail::BlockRun& block = require_rank("dynamic shared memory of a cluster block", rank);
  if (block.cluster().exited(rank)) {
    block.fail("shared memory of " + block.cluster().block(rank).block_name() + ", which has exited");
  }
  return block.cluster().dynamic_shared_of(rank);
}

void* block_state(unsigned rank, const void* key, size_t bytes) {
  return require_rank("block state", rank).cluster().block(rank).state(key, bytes);
}

void cluster_arrive() {
  detail::BlockRun& block = require_block("barrier.cluster.arrive");
  block.signal_sync("barrier.cluster.arrive");
  block.cluster().cluster_arrive(block.rank(), block.running_thread());
}

void cluster_wait() { require_block("barrier.cluster.wait").cluster_wait(); }

void wait_state_changed() {
  if (detail::BlockRun* block = detail::running_block()) block->cluster().note_change();
}

namespace detail {
void poll_yield(const char* what) { require_block("a wait").poll_yield(what); }
void poll_satisfied() { require_block("a wait").poll_satisfied(); }

void yield_point() {
  BlockRun* block = running_block();
  if (block == nullptr || !block->in_fiber() || !block->cluster().settings().yields) return;
  if (block->cluster().chance(2)) block->yield();
}

void atomic_done(bool changed) {
  BlockRun* block = running_block();
  if (block == nullptr || !block->in_fiber()) return;
  if (!changed) {
    block->yield();
    return;
  }
  block->cluster().note_change();
  yield_point();
}
}  // namespace detail

bool late_copies() {
  detail::ClusterRun& cluster = require_block("a bulk copy").cluster();
  if (!cluster.settings().late_copies) return false;
  return !(cluster.settings().early_copies && cluster.chance(4));
}

bool poison_enabled() {
  detail::BlockRun* block = detail::running_block();
  return block != nullptr && block->cluster().settings().poison;
}

void hold_bulk_copy(uint64_t* barrier, void* destination, const void* data, size_t bytes) {
  detail::BlockRun& block = require_block("a bulk copy");
  auto* target = static_cast<unsigned char*>(destination);
  const auto* from = static_cast<const unsigned char*>(data);
  block.cluster().in_flight_copies().push_back(
      detail::InFlightCopy{barrier, target, std::vector<unsigned char>(from, from + bytes)});
  if (block.cluster().settings().poison) {
    std::memset(target, poison_byte, bytes);
    async_proxy_wrote(target, bytes);
  }
}

uint32_t land_bulk_copies(uint64_t* barrier) {
  detail::BlockRun& block = require_block("an mbarrier wait");
  std::vector<detail::InFlightCopy>& copies = block.cluster().in_flight_copies();
  uint64_t bytes = 0;
  for (const detail::InFlightCopy& copy : copies) {
    if (copy.barrier != barrier) continue;
    std::memcpy(copy.destination, copy.data.data(), copy.data.size());
    async_proxy_wrote(copy.destination, copy.data.size());
    bytes += copy.data.size();
  }
  copies.erase(std::remove_if(copies.begin(), copies.end(),
                              [barrier](const detail::InFlightCopy& copy) { return copy.barrier == barrier; }),
               copies.end());
  return static_cast<uint32_t>(bytes);
}

namespace {

detail::BlockRun* shadow_owner(detail::ClusterRun& cluster, const void* shared) {
  for (unsigned rank = 0; rank < cluster.block_count(); ++rank) {
    if (cluster.block(rank).shadow().watches(shared)) return &cluster.block(rank);
  }
  return nullptr;
}

std::string hex_address(const void* address) {
  char text[32];
  std::snprintf(text, sizeof(text), "%p", address);
  return text;
}

}  // namespace

void async_proxy_access(const void* shared, size_t bytes, const char* what) {
  detail::BlockRun& block = require_block(what);
  block.cluster().note_async_proxy_kernel();
  // What the running thread stored up to now is its own.
  block.shadow().attribute(block.running_thread());
  detail::BlockRun* owner = shadow_owner(block.cluster(), shared);
  if (owner == nullptr) return;
  if (!owner->shadow().active()) owner->shadow().attribute(0);  // starts looking; earlier stores are unknown
  size_t offset = 0;
  uint32_t writer = 0;
  if (!owner->shadow().unfenced(shared, bytes, &offset, &writer)) return;
  const std::string by = writer == detail::ProxyShadow::unknown ? "a thread" : owner->thread_name(writer - 1);
  const std::string where = owner == &block ? "" : " of " + owner->block_name();
  block.fail(std::string(what) + " at shared address " +
             hex_address(static_cast<const unsigned char*>(shared) + offset) + " after a generic store by " + by +
             where + " with no fence.proxy.async between them");
}

void async_proxy_wrote(const void* shared, size_t bytes) {
  detail::BlockRun& block = require_block("the async proxy");
  if (detail::BlockRun* owner = shadow_owner(block.cluster(), shared)) owner->shadow().async_wrote(shared, bytes);
}

void async_proxy_fence() {
  detail::BlockRun& block = require_block("fence.proxy.async");
  block.shadow().fence(block.running_thread());
  // It orders the thread's mbarrier.init writes for the async proxy too.
  block.fence_barrier_inits(block.running_thread());
}

}  // namespace hostgpu
