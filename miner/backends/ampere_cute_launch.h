#pragma once
// Host side shared by the ampere and CMP 170HX tensor-core units: kernel
// attributes before each launch and the padded mining grid. Internal linkage,
// like the shared slots: each unit carries its own instance.
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

}  // namespace ampere_cute
