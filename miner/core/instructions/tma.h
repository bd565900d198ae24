#pragma once
// Bulk tensor copies (TMA) and the shared-memory barriers (mbarrier) that
// count their bytes. Part of the instruction layer: include
// "core/device_instructions.h", not this header.
//
// The instructions exist from sm_90 on; images for older architectures still
// build, and trap if they ever reach one. On the host device a bulk tensor
// copy reads the tensor when it is issued and lands at once, or, when copies
// land late, when a thread next observes the barrier that counts it (its
// destination meanwhile holds poison if asked). A wait for a phase that has
// not completed gives the turn to the other threads of the cluster; one that
// no thread can complete any more ends the launch with a fault. The barriers
// are hostgpu's (device_mbarrier.h), which checks every use against their
// initialisation and their block's lifetime, and a bulk copy's barrier for
// an initialisation fenced for the async proxy; an arrival on a peer's
// barrier is posted and may land late (device_async_arrival.h).
#include <cstdint>

#if defined(KORVATH_FLAVOUR_HOST)
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hostgpu/device_async_arrival.h"
#include "hostgpu/device_cluster.h"
#include "hostgpu/device_mbarrier.h"
#include "hostgpu/device_shared.h"
#include "hostgpu/device_thread_sync.h"
#include "hostgpu/tensor_map.h"
#endif

#if defined(KORVATH_FLAVOUR_CUDA) && defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 900
#define KORVATH_DEVICE_HAS_TMA 1
#endif

// A tensor map passed to a kernel by value must stay in the parameter space
// for the bulk copies to read it.
#if defined(KORVATH_FLAVOUR_CUDA)
#define KORVATH_TENSOR_MAP_PARAMETER const __grid_constant__
#else
#define KORVATH_TENSOR_MAP_PARAMETER const
#endif

namespace device_instructions {


// Initialises a barrier in shared memory for `arrivals` arrivals per phase.
KORVATH_DEVICE_INSTRUCTION void mbarrier_init(uint64_t* barrier, uint32_t arrivals) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_TMA)
  const uint32_t address = static_cast<uint32_t>(__cvta_generic_to_shared(barrier));
  asm volatile("mbarrier.init.shared::cta.b64 [%0], %1;" ::"r"(address), "r"(arrivals) : "memory");
#else
  __trap();
#endif
#else
  hostgpu::mbarrier::init(barrier, arrivals);
#endif
}

// Makes initialised barriers visible to the bulk copy unit; follow with a block barrier.
KORVATH_DEVICE_INSTRUCTION void mbarrier_init_fence() {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_TMA)
  asm volatile("fence.mbarrier_init.release.cluster;" ::: "memory");
#else
  __trap();
#endif
#else
  hostgpu::mbarrier::init_fence();
#endif
}

// One arrival that also announces `bytes` of bulk copies for the current phase.
KORVATH_DEVICE_INSTRUCTION void mbarrier_arrive_expect_tx(uint64_t* barrier, uint32_t bytes) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_TMA)
  const uint32_t address = static_cast<uint32_t>(__cvta_generic_to_shared(barrier));
  asm volatile("mbarrier.arrive.expect_tx.shared::cta.b64 _, [%0], %1;" ::"r"(address), "r"(bytes)
               : "memory");
#else
  __trap();
#endif
#else
  hostgpu::detail::thread_sync_signal("mbarrier.arrive.expect_tx");
  hostgpu::mbarrier::arrive_expect_tx(barrier, bytes);
#endif
}

// One arrival on the barrier of this block.
KORVATH_DEVICE_INSTRUCTION void mbarrier_arrive(uint64_t* barrier) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_TMA)
  const uint32_t address = static_cast<uint32_t>(__cvta_generic_to_shared(barrier));
  asm volatile("mbarrier.arrive.shared::cta.b64 _, [%0];" ::"r"(address) : "memory");
#else
  __trap();
#endif
#else
  hostgpu::detail::thread_sync_signal("mbarrier.arrive");
  hostgpu::mbarrier::arrive(barrier);
#endif
}

// How far an arrival on a barrier in another block of the cluster releases
// this thread's earlier accesses.
enum class ArriveRelease { block, cluster };

// One arrival on the barrier at the same shared-memory offset in block `rank`
// of the cluster.
template <ArriveRelease kRelease>
KORVATH_DEVICE_INSTRUCTION void mbarrier_arrive_on_rank(uint64_t* barrier, uint32_t rank) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_TMA)
  const uint32_t address = static_cast<uint32_t>(__cvta_generic_to_shared(barrier));
  uint32_t remote = 0;
  asm volatile("mapa.shared::cluster.u32 %0, %1, %2;" : "=r"(remote) : "r"(address), "r"(rank));
  if constexpr (kRelease == ArriveRelease::cluster) {
    asm volatile("mbarrier.arrive.release.cluster.shared::cluster.b64 _, [%0];" ::"r"(remote) : "memory");
  } else {
    asm volatile("mbarrier.arrive.shared::cluster.b64 _, [%0];" ::"r"(remote) : "memory");
  }
#else
  (void)barrier, (void)rank;
  __trap();
#endif
#else
  // The arrival crosses to the peer block and lands when the schedule lets it.
  hostgpu::detail::thread_sync_signal("mbarrier.arrive.shared::cluster");
  hostgpu::post_arrival(static_cast<uint64_t*>(hostgpu::peer_address(barrier, rank)), 1);
#endif
}

// Release at cluster scope.
KORVATH_DEVICE_INSTRUCTION void mbarrier_arrive_cluster(uint64_t* barrier, uint32_t rank) {
  mbarrier_arrive_on_rank<ArriveRelease::cluster>(barrier, rank);
}

// Release at block scope only: it orders this thread's own earlier accesses,
// which is all a consumer releasing a stage of its own block's shared memory
// to a remote producer needs, without the device-wide fence that a
// cluster-scope release costs.
KORVATH_DEVICE_INSTRUCTION void mbarrier_arrive_remote(uint64_t* barrier, uint32_t rank) {
  mbarrier_arrive_on_rank<ArriveRelease::block>(barrier, rank);
}

// True once the phase of the given parity has completed.
KORVATH_DEVICE_INSTRUCTION bool mbarrier_try_wait_parity(uint64_t* barrier, uint32_t parity) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_TMA)
  const uint32_t address = static_cast<uint32_t>(__cvta_generic_to_shared(barrier));
  uint32_t ready = 0;
  asm volatile(
      "{\n"
      ".reg .pred p;\n"
      "mbarrier.try_wait.parity.shared::cta.b64 p, [%1], %2;\n"
      "selp.b32 %0, 1, 0, p;\n"
      "}\n"
      : "=r"(ready)
      : "r"(address), "r"(parity)
      : "memory");
  return ready != 0;
#else
  __trap();
  return false;
#endif
#else
  // The thread may be suspended for a while before the test says no, so a
  // loop of tests lets the other threads complete the phase. Copies in flight
  // on the barrier complete when it is observed. A test that passes may
  // still give the turn away.
  const bool done =
      hostgpu::try_wait_a_while([barrier, parity] { return hostgpu::mbarrier::phase_complete(barrier, parity); });
  if (done) {
    hostgpu::detail::thread_sync_wait_passed();
    hostgpu::detail::yield_point();
  }
  return done;
#endif
}

KORVATH_DEVICE_INSTRUCTION void mbarrier_wait_parity(uint64_t* barrier, uint32_t parity) {
  while (!mbarrier_try_wait_parity(barrier, parity)) {
  }
}

// Waits for the phase of the given parity with cluster-scope acquire, for a
// barrier that peer CTAs arrive on after writing what the waiter then reads.
KORVATH_DEVICE_INSTRUCTION void mbarrier_wait_parity_cluster(uint64_t* barrier, uint32_t parity) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_TMA)
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

#if defined(KORVATH_FLAVOUR_HOST)
namespace host_tma {
// A shared-memory address in words: its offset in the block's dynamic shared
// memory, else the host address.
inline std::string shared_place(const void* shared) {
  const auto* base = hostgpu::dynamic_shared<const unsigned char>();
  const auto* at = static_cast<const unsigned char*>(shared);
  if (base != nullptr && at >= base && at < base + hostgpu::max_dynamic_shared_bytes) {
    return "byte " + std::to_string(at - base) + " of dynamic shared memory";
  }
  char text[32];
  std::snprintf(text, sizeof(text), "shared address %p", shared);
  return text;
}

// Reads the box of `map` at element coordinates (x, y) as it lands at
// `destination`: box[i] is the byte for destination + i, after the swizzle.
inline void read_box(const void* destination, const CUtensorMap* map, int32_t x, int32_t y,
                     std::vector<unsigned char>* box) {
  hostgpu::TiledTensorMap m;
  if (!hostgpu::decode_tensor_map(*map, &m) || m.rank != 2 ||
      m.interleave != CU_TENSOR_MAP_INTERLEAVE_NONE || m.element_strides[0] != 1 ||
      m.element_strides[1] != 1) {
    __trap();
  }
  const uint64_t element = m.global_strides[0];
  const uint64_t row_bytes = m.box_dim[0] * element;
  const uint32_t swizzle_bits = m.swizzle == CU_TENSOR_MAP_SWIZZLE_128B  ? 3
                                : m.swizzle == CU_TENSOR_MAP_SWIZZLE_64B ? 2
                                : m.swizzle == CU_TENSOR_MAP_SWIZZLE_32B ? 1
                                                                         : 0;
  // The box lands on whole repeats of its swizzle pattern (1024, 512 or 256
  // bytes), an unswizzled one on 16 bytes as every bulk copy.
  const uintptr_t alignment = swizzle_bits == 0 ? 16 : uintptr_t{128} << swizzle_bits;
  if (reinterpret_cast<uintptr_t>(destination) % alignment != 0) {
    const std::string needs = swizzle_bits == 0 ? std::string("an unswizzled box needs 16-byte alignment")
                                                : "the " + std::to_string(16u << swizzle_bits) +
                                                      "-byte swizzle needs alignment to its " +
                                                      std::to_string(alignment) + "-byte pattern";
    hostgpu::detail::fault("cp.async.bulk.tensor into " + shared_place(destination) + ": " + needs);
  }
  box->assign(row_bytes * m.box_dim[1], 0);
  const uintptr_t base = reinterpret_cast<uintptr_t>(destination);
  const auto* global = static_cast<const unsigned char*>(m.global_address);
  for (uint32_t row = 0; row < m.box_dim[1]; ++row) {
    const int64_t gy = int64_t{y} + row;
    for (uint32_t column = 0; column < m.box_dim[0]; ++column) {
      const int64_t gx = int64_t{x} + column;
      const bool inside = gx >= 0 && gy >= 0 && static_cast<uint64_t>(gx) < m.global_dim[0] &&
                          static_cast<uint64_t>(gy) < m.global_dim[1];
      // The swizzle permutes 16-byte units by the bits of the shared address above them.
      uintptr_t address = base + row * row_bytes + column * element;
      address ^= ((address >> 7) & ((uintptr_t{1} << swizzle_bits) - 1)) << 4;
      if (address - base + element > box->size()) __trap();  // destination misaligned for the swizzle
      if (inside) std::memcpy(box->data() + (address - base), global + gy * m.global_strides[1] + gx * element, element);
    }
  }
}

// Lands the box now and counts its bytes, or holds it until the barrier is observed.
inline void deliver(void* destination, uint64_t* barrier, const std::vector<unsigned char>& box) {
  hostgpu::mbarrier::check_bulk_copy(barrier, "a bulk tensor copy");
  hostgpu::async_proxy_access(destination, box.size(), "a bulk tensor copy");
  if (hostgpu::late_copies()) {
    hostgpu::hold_bulk_copy(barrier, destination, box.data(), box.size());
    return;
  }
  std::memcpy(destination, box.data(), box.size());
  hostgpu::async_proxy_wrote(destination, box.size());
  hostgpu::mbarrier::complete_tx(barrier, static_cast<uint32_t>(box.size()));
}
}  // namespace host_tma
#endif

// Copies the box of `map` at element coordinates (x, y) into shared memory at
// `destination` (aligned as the map's swizzle requires) and counts its bytes
// on `barrier`; with kMulticast, into the same shared-memory offset of every
// block of the cluster named in `cta_mask` (bit i: rank i), each counting its
// bytes on its own barrier at the offset of `barrier`. Elements outside the
// tensor read as zero.
template <bool kMulticast>
KORVATH_DEVICE_INSTRUCTION void tma_load_2d_into(void* destination, const CUtensorMap* map, int32_t x,
                                                 int32_t y, uint64_t* barrier, uint16_t cta_mask) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_TMA)
  const uint32_t dst = static_cast<uint32_t>(__cvta_generic_to_shared(destination));
  const uint32_t bar = static_cast<uint32_t>(__cvta_generic_to_shared(barrier));
  const uint64_t tensor = reinterpret_cast<uint64_t>(map);
  if constexpr (kMulticast) {
    asm volatile(
        "cp.async.bulk.tensor.2d.shared::cluster.global.mbarrier::complete_tx::bytes.multicast::cluster"
        " [%0], [%1, {%4, %5}], [%2], %3;" ::"r"(dst),
        "l"(tensor), "r"(bar), "h"(cta_mask), "r"(x), "r"(y)
        : "memory");
  } else {
    (void)cta_mask;
    asm volatile(
        "cp.async.bulk.tensor.2d.shared::cluster.global.mbarrier::complete_tx::bytes"
        " [%0], [%1, {%3, %4}], [%2];" ::"r"(dst),
        "l"(tensor), "r"(bar), "r"(x), "r"(y)
        : "memory");
  }
#else
  (void)destination, (void)map, (void)x, (void)y, (void)barrier, (void)cta_mask;
  __trap();
#endif
#else
  std::vector<unsigned char> box;
  host_tma::read_box(destination, map, x, y, &box);
  if constexpr (!kMulticast) {
    host_tma::deliver(destination, barrier, box);
    return;
  }
  for (uint32_t rank = 0; rank < 16; ++rank) {
    if (((cta_mask >> rank) & 1u) == 0) continue;
    host_tma::deliver(hostgpu::peer_address(destination, rank),
                      static_cast<uint64_t*>(hostgpu::peer_address(barrier, rank)), box);
  }
#endif
}

KORVATH_DEVICE_INSTRUCTION void tma_load_2d(void* destination, const CUtensorMap* map, int32_t x,
                                            int32_t y, uint64_t* barrier) {
  tma_load_2d_into<false>(destination, map, x, y, barrier, 0);
}

KORVATH_DEVICE_INSTRUCTION void tma_load_2d_multicast(void* destination, const CUtensorMap* map, int32_t x,
                                                      int32_t y, uint64_t* barrier, uint16_t cta_mask) {
  tma_load_2d_into<true>(destination, map, x, y, barrier, cta_mask);
}

// The CTA-pair form (.cta_group::2) of the multicast copy, for the two-CTA
// tensor cores: the box lands at `destination`'s offset in every block named
// in `cta_mask`, and each destination's bytes are counted on the barrier at
// `barrier`'s offset in the even block of that destination's pair (the
// barrier named is the even block's of the issuing pair; a barrier in an
// even block sends the signal of each destination to the even block of its
// pair). One copy thus fills both blocks of a pair and one barrier counts it.
KORVATH_DEVICE_INSTRUCTION void tma_load_2d_pair_multicast(void* destination, const CUtensorMap* map, int32_t x,
                                                           int32_t y, uint64_t* barrier, uint16_t cta_mask) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_TMA) && (defined(__CUDA_ARCH_FEAT_SM100_ALL) || defined(__CUDA_ARCH_FEAT_SM103_ALL))
  const uint32_t dst = static_cast<uint32_t>(__cvta_generic_to_shared(destination));
  const uint32_t local = static_cast<uint32_t>(__cvta_generic_to_shared(barrier));
  uint32_t rank = 0;
  asm volatile("mov.u32 %0, %%cluster_ctarank;" : "=r"(rank));
  uint32_t bar = 0;
  asm volatile("mapa.shared::cluster.u32 %0, %1, %2;" : "=r"(bar) : "r"(local), "r"(rank & ~1u));
  const uint64_t tensor = reinterpret_cast<uint64_t>(map);
  asm volatile(
      "cp.async.bulk.tensor.2d.cta_group::2.shared::cluster.global.mbarrier::complete_tx::bytes.multicast::cluster"
      " [%0], [%1, {%4, %5}], [%2], %3;" ::"r"(dst),
      "l"(tensor), "r"(bar), "h"(cta_mask), "r"(x), "r"(y)
      : "memory");
#else
  (void)destination, (void)map, (void)x, (void)y, (void)barrier, (void)cta_mask;
  __trap();
#endif
#else
  std::vector<unsigned char> box;
  host_tma::read_box(destination, map, x, y, &box);
  for (uint32_t rank = 0; rank < 16; ++rank) {
    if (((cta_mask >> rank) & 1u) == 0) continue;
    host_tma::deliver(hostgpu::map_shared(destination, rank),
                      static_cast<uint64_t*>(hostgpu::map_shared(barrier, rank & ~1u)), box);
  }
#endif
}

}  // namespace device_instructions
