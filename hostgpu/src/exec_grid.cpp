// execute_grid: the blocks of a grid one after another on the calling host thread.
#include <cstdio>
#include <exception>
#include <new>
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

constexpr size_t dynamic_shared_alignment = 1024;

thread_local std::string last_fault;

// The host thread's dynamic shared memory, grown to the largest launch seen.
class DynamicSharedBuffer {
 public:
  ~DynamicSharedBuffer() { release(); }
  unsigned char* reserve(size_t bytes) {
    if (bytes > capacity_ || data_ == nullptr) {
      release();
      const size_t rounded = (bytes + dynamic_shared_alignment - 1) / dynamic_shared_alignment * dynamic_shared_alignment;
      capacity_ = rounded == 0 ? dynamic_shared_alignment : rounded;
      data_ = static_cast<unsigned char*>(::operator new(capacity_, std::align_val_t{dynamic_shared_alignment}));
    }
    return data_;
  }

 private:
  void release() {
    if (data_ != nullptr) ::operator delete(data_, std::align_val_t{dynamic_shared_alignment});
    data_ = nullptr;
    capacity_ = 0;
  }
  unsigned char* data_ = nullptr;
  size_t capacity_ = 0;
};

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

ExecutionState& execution_state() {
  thread_local ExecutionState state;
  return state;
}

void* dynamic_shared_base() { return execution_state().dynamic_shared; }

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

  thread_local DynamicSharedBuffer dynamic_shared;
  GridScope scope(launch, dynamic_shared.reserve(launch.dynamic_shared_bytes));
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
