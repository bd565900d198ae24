#pragma once
// Runs a kernel body as one block straight through the host device's
// executor, and reads back the fault of a failed run.
#include <functional>
#include <string>

#include "core/gpu_platform.h"
#include "hostgpu/executor.h"

inline cudaError_t run_block(dim3 block, const std::function<void()>& body, size_t dynamic_shared_bytes = 0) {
  hostgpu::GridLaunch launch;
  launch.grid = dim3(1);
  launch.block = block;
  launch.dynamic_shared_bytes = dynamic_shared_bytes;
  return hostgpu::execute_grid(launch, body);
}

inline std::string last_fault() { return hostgpu::last_kernel_fault(); }

// The calling thread's linear index in its block.
inline unsigned linear_thread() { return (threadIdx.z * blockDim.y + threadIdx.y) * blockDim.x + threadIdx.x; }
