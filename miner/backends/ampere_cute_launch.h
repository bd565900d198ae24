#pragma once
// Host side shared by the ampere and CMP 170HX tensor-core units: kernel
// attributes before each launch, the padded mining grid, and the sparse-noise
// stages of the fused slots. Internal linkage, like the shared slots: each
// unit carries its own instance.
#include <cstdint>
#include <utility>

#include "backends/ampere_cute_mining.h"
#include "backends/headless_common.h"
#include "core/gpu_platform.h"
#include "core/kernel_launch.h"

namespace ampere_cute {

// The kernel's maximum dynamic shared memory, then its carveout; a failed
// call's code is returned (and taken off the runtime's last error, so that
// the next operation does not report it again).
template <typename... Params>
[[maybe_unused]] static cudaError_t set_kernel_attributes(void (*kernel)(Params...),
                                                          int shared_bytes) {
  const void* entry = reinterpret_cast<const void*>(kernel);
  cudaError_t error =
      cudaFuncSetAttribute(entry, cudaFuncAttributeMaxDynamicSharedMemorySize, shared_bytes);
  if (error == cudaSuccess) {
    error = cudaFuncSetAttribute(entry, cudaFuncAttributePreferredSharedMemoryCarveout, 100);
  }
  if (error != cudaSuccess) cudaGetLastError();
  return error;
}

// A mining launch on checked arguments: attributes, then the padded grid of
// 128-thread blocks.
template <typename... Params, typename... Args>
[[maybe_unused]] static cudaError_t launch_mining_grid(void (*kernel)(Params...), int group,
                                                       int shared_bytes, int m, int n,
                                                       cudaStream_t stream, Args&&... args) {
  const cudaError_t attributes = set_kernel_attributes(kernel, shared_bytes);
  if (attributes != cudaSuccess) return attributes;
  const uint32_t blocks = padded_grid_blocks(static_cast<uint32_t>(m / kTile),
                                             static_cast<uint32_t>(n / kTile),
                                             static_cast<uint32_t>(group));
  launch_kernel(kernel, dim3(blocks, 1, 1), dim3(kThreads, 1, 1),
                static_cast<size_t>(shared_bytes), stream, std::forward<Args>(args)...);
  return cudaGetLastError();
}

// The first stages of the fused slots: A's arguments and sparse noise, then
// B's; a refusal of B comes after A's noise is enqueued.
[[maybe_unused]] static cudaError_t noise_both_operands(
    headless_slots::ExtractKernel extract, headless_slots::ApplyKernel apply, int column_chunk,
    const int8_t* a, const int8_t* b, const int8_t* a_left, const int8_t* b_left,
    const int8_t* a_right, const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
    int16_t* a_index0, int16_t* a_index1, int16_t* b_index0, int16_t* b_index1, int m, int n,
    int k, int rank, cudaStream_t stream) {
  if (!a || !a_left || !a_right || !noised_a || !a_index0 || !a_index1) {
    return cudaErrorInvalidValue;
  }
  if (m < 1 || k < 1 || rank < 1) return cudaErrorInvalidValue;
  const cudaError_t error =
      headless_slots::sparse_noise_pair(extract, apply, column_chunk, a, a_left, a_right, noised_a,
                                        a_index0, a_index1, m, k, rank, stream);
  if (error != cudaSuccess) return error;
  if (!b || !b_left || !b_right || !noised_b || !b_index0 || !b_index1) {
    return cudaErrorInvalidValue;
  }
  if (n < 1) return cudaErrorInvalidValue;
  return headless_slots::sparse_noise_pair(extract, apply, column_chunk, b, b_left, b_right,
                                           noised_b, b_index0, b_index1, n, k, rank, stream);
}

}  // namespace ampere_cute
