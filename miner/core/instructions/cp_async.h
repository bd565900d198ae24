#pragma once
// Asynchronous copies from global into shared memory (cp.async, sm_80+).
// Part of the instruction layer: include "core/device_instructions.h", not
// this header.
//
//   cp_async_ca<Bytes>   caches at all levels, 4, 8 or 16 bytes;
//   cp_async_cg          caches in L2 only, 16 bytes;
//   the _zfill forms copy `source_bytes` (0 to Bytes) and zero the rest.
// Both addresses are aligned to the copy's size. A copy belongs to the group
// that the thread's next cp_async_commit_group closes; cp_async_wait_group<N>
// waits until at most N of the thread's newest groups are pending, and
// cp_async_wait_all for every copy, committed or not. The copies are the
// issuing thread's: other threads see them after its wait and a block barrier.
// On the host device a copy reads its source when issued and writes shared
// memory at the wait that covers it, so a read before the wait sees the old
// contents, as it may on a GPU.
#include <cstdint>

#if defined(KORVATH_FLAVOUR_HOST)
#include "hostgpu/device_async_copy.h"
#endif

namespace device_instructions {

template <int Bytes>
KORVATH_DEVICE_INSTRUCTION void cp_async_ca_zfill(void* shared_destination, const void* global_source,
                                                  uint32_t source_bytes) {
  static_assert(Bytes == 4 || Bytes == 8 || Bytes == 16, "cp.async copies 4, 8 or 16 bytes");
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 800
  const uint32_t destination = static_cast<uint32_t>(__cvta_generic_to_shared(shared_destination));
  asm volatile("cp.async.ca.shared.global.L2::128B [%0], [%1], %2, %3;\n" ::"r"(destination), "l"(global_source),
               "n"(Bytes), "r"(source_bytes)
               : "memory");
#else
  __trap();
#endif
#else
  hostgpu::detail::async_copy(shared_destination, global_source, Bytes, source_bytes);
#endif
}

template <int Bytes>
KORVATH_DEVICE_INSTRUCTION void cp_async_ca(void* shared_destination, const void* global_source) {
  static_assert(Bytes == 4 || Bytes == 8 || Bytes == 16, "cp.async copies 4, 8 or 16 bytes");
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 800
  const uint32_t destination = static_cast<uint32_t>(__cvta_generic_to_shared(shared_destination));
  asm volatile("cp.async.ca.shared.global.L2::128B [%0], [%1], %2;\n" ::"r"(destination), "l"(global_source),
               "n"(Bytes)
               : "memory");
#else
  __trap();
#endif
#else
  hostgpu::detail::async_copy(shared_destination, global_source, Bytes, Bytes);
#endif
}

KORVATH_DEVICE_INSTRUCTION void cp_async_cg_zfill(void* shared_destination, const void* global_source,
                                                  uint32_t source_bytes) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 800
  const uint32_t destination = static_cast<uint32_t>(__cvta_generic_to_shared(shared_destination));
  asm volatile("cp.async.cg.shared.global.L2::128B [%0], [%1], 16, %2;\n" ::"r"(destination), "l"(global_source),
               "r"(source_bytes)
               : "memory");
#else
  __trap();
#endif
#else
  hostgpu::detail::async_copy(shared_destination, global_source, 16, source_bytes);
#endif
}

KORVATH_DEVICE_INSTRUCTION void cp_async_cg(void* shared_destination, const void* global_source) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 800
  const uint32_t destination = static_cast<uint32_t>(__cvta_generic_to_shared(shared_destination));
  asm volatile("cp.async.cg.shared.global.L2::128B [%0], [%1], 16;\n" ::"r"(destination), "l"(global_source)
               : "memory");
#else
  __trap();
#endif
#else
  hostgpu::detail::async_copy(shared_destination, global_source, 16, 16);
#endif
}

KORVATH_DEVICE_INSTRUCTION void cp_async_commit_group() {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 800
  asm volatile("cp.async.commit_group;\n" ::: "memory");
#else
  __trap();
#endif
#else
  hostgpu::detail::async_copy_commit();
#endif
}

template <int PendingGroups>
KORVATH_DEVICE_INSTRUCTION void cp_async_wait_group() {
  static_assert(PendingGroups >= 0, "cp.async.wait_group counts pending groups");
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 800
  asm volatile("cp.async.wait_group %0;\n" ::"n"(PendingGroups) : "memory");
#else
  __trap();
#endif
#else
  hostgpu::detail::async_copy_wait(PendingGroups);
#endif
}

KORVATH_DEVICE_INSTRUCTION void cp_async_wait_all() {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 800
  asm volatile("cp.async.wait_all;\n" ::: "memory");
#else
  __trap();
#endif
#else
  hostgpu::detail::async_copy_wait_all();
#endif
}

}  // namespace device_instructions
