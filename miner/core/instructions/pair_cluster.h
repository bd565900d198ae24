#pragma once
// What the two-CTA kernels use of a thread-block cluster: the CTA's rank,
// the whole-cluster barrier, an arrival on a peer CTA's mbarrier, and bulk
// tensor copies multicast to several CTAs. Part of the instruction layer:
// include "core/device_instructions.h", not this header.
//
// A peer's shared memory is named by the local address of the same object:
// every CTA of a kernel lays out its shared memory alike. On the host device
// the peers must be co-scheduled with the running block; a block launched
// without a cluster is a cluster of one.
#include <cstdint>

#if defined(KORVATH_FLAVOUR_HOST)
#include <string>

#include "hostgpu/tcgen05.h"
#endif

#if defined(KORVATH_FLAVOUR_CUDA) && defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 900
#define KORVATH_DEVICE_HAS_CLUSTERS 1
#endif

namespace device_instructions {

#if defined(KORVATH_FLAVOUR_HOST)
namespace host_cluster {
inline unsigned char* block_shared(unsigned rank, const char* instruction) {
  hostgpu::tcgen05::PairHalf view;
  if (!hostgpu::tcgen05::detail::cluster_block_view(rank, &view)) {
    hostgpu::detail::fault(std::string(instruction) + ": CTA rank " + std::to_string(rank) +
                           " is not resident in the cluster");
  }
  return const_cast<unsigned char*>(view.shared);
}
}  // namespace host_cluster
#endif

// %cluster_ctarank: x fastest, then y, then z.
KORVATH_DEVICE_INSTRUCTION uint32_t cluster_ctarank() {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_CLUSTERS)
  uint32_t rank;
  asm volatile("mov.u32 %0, %%cluster_ctarank;" : "=r"(rank));
  return rank;
#else
  return 0;
#endif
#else
  return hostgpu::tcgen05::detail::cluster_rank();
#endif
}

// Every thread of every CTA of the cluster arrives and waits; shared-memory
// writes before it are visible to the whole cluster after it.
KORVATH_DEVICE_INSTRUCTION void cluster_sync() {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_CLUSTERS)
  asm volatile("barrier.cluster.arrive.release.aligned;\nbarrier.cluster.wait.acquire.aligned;" ::: "memory");
#else
  __syncthreads();
#endif
#else
  if (hostgpu::tcgen05::detail::cluster_block_count() != 1) {
    hostgpu::detail::fault("barrier.cluster: the cluster's blocks are not co-scheduled");
  }
  __syncthreads();
#endif
}

// One arrival (release, cluster scope) on the mbarrier at `barrier`'s place
// in the shared memory of CTA `rank`.
KORVATH_DEVICE_INSTRUCTION void mbarrier_arrive_cluster(uint64_t* barrier, uint32_t rank) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_CLUSTERS)
  const uint32_t local = static_cast<uint32_t>(__cvta_generic_to_shared(barrier));
  uint32_t remote;
  asm volatile("mapa.shared::cluster.u32 %0, %1, %2;" : "=r"(remote) : "r"(local), "r"(rank));
  asm volatile("mbarrier.arrive.release.cluster.shared::cluster.b64 _, [%0];" ::"r"(remote) : "memory");
#else
  (void)barrier, (void)rank;
  __trap();
#endif
#else
  const auto* base = static_cast<const unsigned char*>(hostgpu::detail::dynamic_shared_base());
  const size_t offset = static_cast<size_t>(reinterpret_cast<const unsigned char*>(barrier) - base);
  auto* target = reinterpret_cast<uint64_t*>(host_cluster::block_shared(rank, "mbarrier.arrive.shared::cluster") + offset);
  host_mbarrier::State s = host_mbarrier::decode(*target);
  if (s.pending == 0) hostgpu::detail::fault("mbarrier.arrive: no arrival pending");
  s.pending -= 1;
  *target = host_mbarrier::encode(s);
#endif
}

// Waits for the phase of the given parity with cluster-scope acquire, for a
// barrier that peer CTAs arrive on after writing what the waiter then reads.
KORVATH_DEVICE_INSTRUCTION void mbarrier_wait_parity_cluster(uint64_t* barrier, uint32_t parity) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_CLUSTERS)
  const uint32_t address = static_cast<uint32_t>(__cvta_generic_to_shared(barrier));
  uint32_t ready = 0;
  do {
    asm volatile(
        "{\n"
        ".reg .pred p;\n"
        "mbarrier.try_wait.parity.acquire.cluster.shared::cta.b64 p, [%1], %2;\n"
        "selp.b32 %0, 1, 0, p;\n"
        "}\n"
        : "=r"(ready)
        : "r"(address), "r"(parity)
        : "memory");
  } while (ready == 0);
#else
  (void)barrier, (void)parity;
  __trap();
#endif
#else
  mbarrier_wait_parity(barrier, parity);
#endif
}

// The box of `map` at (x, y) into `destination` of every CTA in `cta_mask`,
// each CTA's mbarrier at `barrier`'s place counting the bytes it receives.
KORVATH_DEVICE_INSTRUCTION void tma_load_2d_multicast(void* destination, const CUtensorMap* map, int32_t x,
                                                      int32_t y, uint64_t* barrier, uint16_t cta_mask) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_CLUSTERS)
  const uint32_t dst = static_cast<uint32_t>(__cvta_generic_to_shared(destination));
  const uint32_t bar = static_cast<uint32_t>(__cvta_generic_to_shared(barrier));
  asm volatile(
      "cp.async.bulk.tensor.2d.shared::cluster.global.mbarrier::complete_tx::bytes.multicast::cluster"
      " [%0], [%1, {%3, %4}], [%2], %5;" ::"r"(dst),
      "l"(reinterpret_cast<uint64_t>(map)), "r"(bar), "r"(x), "r"(y), "h"(cta_mask)
      : "memory");
#else
  (void)destination, (void)map, (void)x, (void)y, (void)barrier, (void)cta_mask;
  __trap();
#endif
#else
  const auto* base = static_cast<const unsigned char*>(hostgpu::detail::dynamic_shared_base());
  const size_t to = static_cast<size_t>(static_cast<const unsigned char*>(destination) - base);
  const size_t at = static_cast<size_t>(reinterpret_cast<const unsigned char*>(barrier) - base);
  for (unsigned rank = 0; rank < 16; ++rank) {
    if (!(cta_mask & (1u << rank))) continue;
    unsigned char* shared = host_cluster::block_shared(rank, "cp.async.bulk.tensor.multicast::cluster");
    tma_load_2d(shared + to, map, x, y, reinterpret_cast<uint64_t*>(shared + at));
  }
#endif
}

}  // namespace device_instructions
