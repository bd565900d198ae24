#pragma once
// Thread-block clusters: the block's rank, the cluster barrier and the
// mapping of a shared-memory address into another block of the cluster
// (distributed shared memory). Part of the instruction layer: include
// "core/device_instructions.h", not this header. Remote mbarrier arrivals and
// multicast bulk copies are in tma.h.
//
// The instructions exist from sm_90 on; images for older architectures still
// build, and trap if they ever reach one (the rank and size read as those of
// a cluster of one block there, as a launch without clusters is).
#include <cstdint>

#if defined(KORVATH_FLAVOUR_HOST)
#include "hostgpu/device_cluster.h"
#endif

#if defined(KORVATH_FLAVOUR_CUDA) && defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 900
#define KORVATH_DEVICE_HAS_CLUSTERS 1
#endif

namespace device_instructions {

// %cluster_ctarank: the block's linear rank in its cluster.
KORVATH_DEVICE_INSTRUCTION uint32_t cluster_block_rank() {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_CLUSTERS)
  uint32_t rank;
  asm volatile("mov.u32 %0, %%cluster_ctarank;" : "=r"(rank));
  return rank;
#else
  return 0;
#endif
#else
  return hostgpu::cluster_place().rank;
#endif
}

// %cluster_nctarank: the number of blocks in the cluster.
KORVATH_DEVICE_INSTRUCTION uint32_t cluster_block_count() {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_CLUSTERS)
  uint32_t count;
  asm volatile("mov.u32 %0, %%cluster_nctarank;" : "=r"(count));
  return count;
#else
  return 1;
#endif
#else
  return hostgpu::cluster_place().blocks;
#endif
}

// barrier.cluster.arrive (release): this thread's arrival at the cluster barrier.
KORVATH_DEVICE_INSTRUCTION void cluster_arrive() {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_CLUSTERS)
  asm volatile("barrier.cluster.arrive.aligned;" ::: "memory");
#else
  __trap();
#endif
#else
  hostgpu::cluster_arrive();
#endif
}

// barrier.cluster.wait (acquire): waits until every thread of every block of
// the cluster has arrived in the phase of this thread's last arrival.
KORVATH_DEVICE_INSTRUCTION void cluster_wait() {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_CLUSTERS)
  asm volatile("barrier.cluster.wait.aligned;" ::: "memory");
#else
  __trap();
#endif
#else
  hostgpu::cluster_wait();
#endif
}

KORVATH_DEVICE_INSTRUCTION void cluster_sync() {
  cluster_arrive();
  cluster_wait();
}

// mapa on a generic address: the same shared-memory byte in block `rank` of
// the cluster, as a generic address this thread may read and write.
template <typename T>
KORVATH_DEVICE_INSTRUCTION T* map_shared_rank(T* shared, uint32_t rank) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_CLUSTERS)
  uint64_t mapped;
  asm volatile("mapa.u64 %0, %1, %2;" : "=l"(mapped) : "l"(reinterpret_cast<uint64_t>(shared)), "r"(rank));
  return reinterpret_cast<T*>(mapped);
#else
  __trap();
  return shared;
#endif
#else
  return static_cast<T*>(hostgpu::map_shared(shared, rank));
#endif
}

}  // namespace device_instructions
