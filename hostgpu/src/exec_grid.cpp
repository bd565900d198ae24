// execute_grid: the clusters of a grid placed on the launch's simulated SMs
// (exec_grid_run.h); the blocks of each cluster resident together.
#include <cstdio>
#include <exception>
#include <string>
#include <utility>

#include "exec_block.h"
#include "exec_grid_run.h"
#include "exec_fiber_stack.h"
#include "exec_settings.h"
#include "exec_state.h"
#include "hostgpu/device_shared.h"
#include "hostgpu/executor.h"

namespace hostgpu {
namespace detail {
namespace {

thread_local std::string last_fault;

std::string kernel_name(const void* kernel) {
  char text[32];
  std::snprintf(text, sizeof(text), "%p", kernel);
  return std::string("kernel ") + text;
}

}  // namespace

int running_compute_capability() { return execution_state().compute_capability; }

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
  const dim3 cluster = launch.cluster;
  if (grid.x == 0 || grid.y == 0 || grid.z == 0 || block.x == 0 || block.y == 0 || block.z == 0) return cudaSuccess;
  if (cluster.x == 0 || cluster.y == 0 || cluster.z == 0 || grid.x % cluster.x != 0 || grid.y % cluster.y != 0 ||
      grid.z % cluster.z != 0) {
    last_fault = kernel_name(launch.kernel) + ": clusters of (" + std::to_string(cluster.x) + "," +
                 std::to_string(cluster.y) + "," + std::to_string(cluster.z) + ") do not divide the grid";
    return cudaErrorLaunchFailure;
  }
  if (launch.dynamic_shared_bytes > max_dynamic_shared_bytes) {
    last_fault = kernel_name(launch.kernel) + ": " + std::to_string(launch.dynamic_shared_bytes) +
                 " bytes of dynamic shared memory, more than any device has";
    return cudaErrorLaunchFailure;
  }
  ExecutionSettings settings;
  try {
    settings = read_execution_settings();
  } catch (const std::exception& error) {
    last_fault = kernel_name(launch.kernel) + ": " + error.what();
    return cudaErrorLaunchFailure;
  }
  std::string fault;
  try {
    GridRun run(launch, body, settings, thread_stack_pool());
    run.run(&fault);
  } catch (const std::exception& error) {
    fault = error.what();
  }
  if (fault.empty()) return cudaSuccess;
  last_fault = kernel_name(launch.kernel) + ", " + fault;
  return cudaErrorLaunchFailure;
}

const char* last_kernel_fault() { return detail::last_fault.c_str(); }

}  // namespace hostgpu
