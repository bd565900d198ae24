// execute_grid: the blocks of a grid one after another on the calling host thread.
#include <cstdio>
#include <exception>
#include <string>
#include <utility>

#include "exec_block.h"
#include "exec_fiber_stack.h"
#include "exec_state.h"
#include "hostgpu/device_coordinates.h"
#include "hostgpu/device_shared.h"
#include "hostgpu/executor.h"

namespace hostgpu {
namespace detail {
namespace {

thread_local std::string last_fault;

// Installs the grid's device and shared memory for the host thread, and
// clears them again however the grid ends.
class GridScope {
 public:
  GridScope(const GridLaunch& launch, unsigned char* dynamic_shared) {
    ExecutionState& state = execution_state();
    state.device = launch.device;
    state.dynamic_shared = dynamic_shared;
    gridDim = launch.grid;
    blockDim = launch.block;
  }
  ~GridScope() {
    execution_state() = ExecutionState{};
    threadIdx = uint3{};
    blockIdx = uint3{};
    blockDim = dim3();
    gridDim = dim3();
  }
};

std::string kernel_name(const void* kernel) {
  char text[32];
  std::snprintf(text, sizeof(text), "%p", kernel);
  return std::string("kernel ") + text;
}

}  // namespace

int running_device() { return execution_state().device; }

ExecutionState& execution_state() {
  thread_local ExecutionState state;
  return state;
}

}  // namespace detail

cudaError_t execute_grid(const GridLaunch& launch, const std::function<void()>& body) {
  using namespace detail;
  if (running_block() != nullptr) {
    last_fault = kernel_name(launch.kernel) + ": launched from device code, which the stand-in does not support";
    return cudaErrorLaunchFailure;
  }
  const dim3 grid = launch.grid;
  const dim3 block = launch.block;
  if (grid.x == 0 || grid.y == 0 || grid.z == 0 || block.x == 0 || block.y == 0 || block.z == 0) return cudaSuccess;

  if (launch.dynamic_shared_bytes > max_dynamic_shared_bytes) {
    last_fault = kernel_name(launch.kernel) + ": " + std::to_string(launch.dynamic_shared_bytes) +
                 " bytes of dynamic shared memory, more than any device has";
    return cudaErrorLaunchFailure;
  }
  GridScope scope(launch, host_thread_dynamic_shared());
  try {
    for (unsigned z = 0; z < grid.z; ++z) {
      for (unsigned y = 0; y < grid.y; ++y) {
        for (unsigned x = 0; x < grid.x; ++x) {
          BlockRun run(uint3{x, y, z}, uint3{block.x, block.y, block.z}, body, thread_stack_pool());
          std::string fault;
          if (!run.run(&fault)) {
            last_fault = kernel_name(launch.kernel) + ", " + fault;
            return cudaErrorLaunchFailure;
          }
        }
      }
    }
  } catch (const std::exception& error) {
    last_fault = kernel_name(launch.kernel) + ": " + error.what();
    return cudaErrorLaunchFailure;
  }
  return cudaSuccess;
}

const char* last_kernel_fault() { return detail::last_fault.c_str(); }

}  // namespace hostgpu
