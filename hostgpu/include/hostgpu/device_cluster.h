#pragma once
// Clusters and waits for device code run by the executor, for the instruction
// layer's host twins of the cluster instructions:
//   cluster_place()          %cluster_ctarank, %cluster_nctarank, %cluster_ctaid,
//                            %cluster_nctaid and %clusterid of the running block
//   map_shared(p, rank)      mapa: the same shared-memory byte in block `rank` of
//                            the cluster (a plain pointer the running block may
//                            read, write and arrive on); the peer must not exit
//                            before a cluster barrier orders this thread's
//                            accesses through it
//   peer_address(p, rank)    the same mapping for an instruction that reaches
//                            the peer itself (a remote arrival, a multicast
//                            copy, a commit), checked when it lands instead
//   shared_rank(p)           the block whose shared memory holds p
//   block_dynamic_shared(r)  the dynamic shared memory of block r
//   block_state(r, key, n)   n zeroed bytes kept with block r under key (for
//                            per-block machine state such as tensor memory)
//   cluster_arrive/wait()    barrier.cluster.arrive and barrier.cluster.wait
//   wait_until(ready)        a wait that gives the turn to other threads until
//                            ready() holds (an mbarrier wait); one that can never
//                            hold ends the launch with a fault
//   try_wait_a_while(ready)  a potentially blocking test (mbarrier.try_wait):
//                            when ready() does not hold, gives the turn away
//                            once and tests again
//   wait_state_changed()     what a wait's ready() reads changed, other than
//                            through the executor's own operations (barriers,
//                            mbarriers, atomics, tensor memory): a stall is
//                            declared only when every waiting thread tested
//                            again since the last such change
//   hold_bulk_copy / land_bulk_copies: bulk copies in flight until the barrier
//                            counting them is next observed
//   async_proxy_access(p, n, what): the async proxy (a bulk copy into, or a
//                            tensor-core descriptor read of, shared memory) is
//                            about to touch n bytes at p; a generic store there
//                            that its thread did not order by fence.proxy.async
//                            ends the launch with a fault
//   async_proxy_wrote(p, n)  the async proxy wrote n bytes at p
//   async_proxy_fence()      fence.proxy.async by the running thread (also
//                            fences its mbarrier initialisations, device_mbarrier.h)
// The blocks of a cluster are resident together and take turns with their
// threads; a launch without clusters is made of clusters of one block.
#include <cstddef>
#include <cstdint>

#include <vector_types.h>

namespace hostgpu {

struct ClusterPlace {
  uint3 cluster_dim;    // blocks per cluster in each dimension
  uint3 block;          // the block's position in its cluster
  uint3 cluster;        // the cluster's position in the grid
  unsigned rank = 0;    // the block's linear rank in its cluster
  unsigned blocks = 1;  // blocks in the cluster
};

ClusterPlace cluster_place();
void* map_shared(const void* shared, unsigned rank);
void* peer_address(const void* shared, unsigned rank);
unsigned shared_rank(const void* shared);
void* block_dynamic_shared(unsigned rank);
void* block_state(unsigned rank, const void* key, size_t bytes);
void cluster_arrive();
void cluster_wait();

void wait_state_changed();

namespace detail {
// `what` names the wait in a stall's report (null: a barrier phase).
void poll_yield(const char* what = nullptr);
void poll_satisfied();
}  // namespace detail

template <typename Ready>
void wait_until(Ready&& ready, const char* what = nullptr) {
  while (!ready()) detail::poll_yield(what);
  detail::poll_satisfied();
}

template <typename Ready>
bool try_wait_a_while(Ready&& ready) {
  if (!ready()) {
    detail::poll_yield();
    if (!ready()) return false;
  }
  detail::poll_satisfied();
  return true;
}

// Whether this copy lands late (at its completion point; with early copies
// on, some land at issue anyway) and whether fresh or pending memory holds
// poison, for the running launch.
bool late_copies();
bool poison_enabled();
constexpr unsigned char poison_byte = 0xA5;

// Holds `bytes` bytes for `destination` (poisoning it meanwhile when poison
// is on) until land_bulk_copies(barrier); returns nothing, counts nothing.
void hold_bulk_copy(uint64_t* barrier, void* destination, const void* data, size_t bytes);
// Writes every held copy counted on `barrier`; returns their bytes.
uint32_t land_bulk_copies(uint64_t* barrier);

void async_proxy_access(const void* shared, size_t bytes, const char* what);
void async_proxy_wrote(const void* shared, size_t bytes);
void async_proxy_fence();

}  // namespace hostgpu
