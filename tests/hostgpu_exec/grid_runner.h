#pragma once
// Runs a kernel body straight through the executor, without the runtime.
#include <functional>

#include "hostgpu/executor.h"

inline cudaError_t run_grid(dim3 grid, dim3 block, const std::function<void()>& body, size_t dynamic_shared_bytes = 0,
                            int device = 0) {
  hostgpu::GridLaunch launch;
  launch.grid = grid;
  launch.block = block;
  launch.dynamic_shared_bytes = dynamic_shared_bytes;
  launch.device = device;
  return hostgpu::execute_grid(launch, body);
}
