// Faults inside a kernel end the launch with cudaErrorLaunchFailure and a
// message naming the block, the thread and the cause; they never hang.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/gpu_platform.h"
#include "grid_runner.h"

namespace {

__global__ void early_return_before_barrier_kernel(int returning_from) {
  if (static_cast<int>(threadIdx.x) >= returning_from) return;
  __syncthreads();
}

// A warp-collective instruction needs every lane its mask names, exited or not.
__global__ void early_return_before_exchange_kernel(int returning_from) {
  if (static_cast<int>(threadIdx.x) >= returning_from) return;
  const int mine = static_cast<int>(threadIdx.x);
  hostgpu::detail::warp_exchange("mma.sync.test", 0xffffffffu, &mine, sizeof(mine));
}

__global__ void divergent_warp_ops_kernel(int* out) {
  if (threadIdx.x == 0) {
    out[0] = static_cast<int>(__ballot_sync(0xffffffffu, 1));
  } else {
    out[threadIdx.x] = __shfl_sync(0xffffffffu, 1, 0);
  }
}

__global__ void warp_op_against_barrier_kernel() {
  if (threadIdx.x == 5) {
    __syncthreads();
  } else {
    __syncwarp();
  }
}

__global__ void trap_kernel(int* blocks_started) {
  if (threadIdx.x == 0) atomicAdd(blocks_started, 1);
  if (blockIdx.x == 1 && threadIdx.x == 3) __trap();
  __syncthreads();
}

__global__ void throwing_kernel() {
  if (threadIdx.x == 2) throw std::runtime_error("table lookup out of range");
}

__global__ void bad_width_kernel(int* out) { out[threadIdx.x] = __shfl_sync(0xffffffffu, 1, 0, 12); }

__global__ void lane_outside_mask_kernel(int* out) { out[threadIdx.x] = __shfl_sync(0x0000ffffu, 1, 0); }

struct FaultCase {
  const char* name;
  dim3 grid;
  dim3 block;
  std::function<void(int*)> body;
  std::vector<std::string> message_parts;
};

TEST(FaultTest, KernelFaultsAreLaunchFailuresWithTheirCause) {
  const std::vector<FaultCase> cases = {
      {"barrier after some threads returned", dim3(1), dim3(64),
       [](int*) { early_return_before_barrier_kernel(48); },
       {"block (0,0,0)", "__syncthreads() not reached by every thread", "48 of 64 threads wait at it",
        "16 returned", "the first: thread (48,0,0)"}},
      {"warp-collective instruction waiting for a lane that returned", dim3(1), dim3(32),
       [](int*) { early_return_before_exchange_kernel(16); },
       {"thread (0,0,0) waits at mma.sync.test (4 bytes per lane) with mask 0xffffffff for lane 16 of warp 0, "
        "which returned"}},
      {"lanes at different warp operations", dim3(1), dim3(32), [](int* out) { divergent_warp_ops_kernel(out); },
       {"meets lane", "__ballot_sync", "__shfl_sync"}},
      {"warp operation against a barrier", dim3(1), dim3(32), [](int*) { warp_op_against_barrier_kernel(); },
       {"waits at __syncwarp with mask 0xffffffff for lane 5 of warp 0, which waits at __syncthreads()"}},
      {"trap", dim3(4), dim3(8), [](int* out) { trap_kernel(out); }, {"block (1,0,0), thread (3,0,0): __trap() called"}},
      {"exception", dim3(1), dim3(4), [](int*) { throwing_kernel(); },
       {"thread (2,0,0): exception in kernel: table lookup out of range"}},
      {"shuffle width", dim3(1), dim3(32), [](int* out) { bad_width_kernel(out); },
       {"__shfl_sync with width 12, not a power of two"}},
      {"lane outside its mask", dim3(1), dim3(32), [](int* out) { lane_outside_mask_kernel(out); },
       {"thread (16,0,0): __shfl_sync with mask 0x0000ffff that does not name the calling lane 16"}},
  };
  for (const FaultCase& c : cases) {
    std::vector<int> out(64, 0);
    EXPECT_EQ(run_grid(c.grid, c.block, [&] { c.body(out.data()); }), cudaErrorLaunchFailure) << c.name;
    const std::string message = hostgpu::last_kernel_fault();
    for (const std::string& part : c.message_parts) {
      EXPECT_NE(message.find(part), std::string::npos) << c.name << ": " << message;
    }
    // The executor is whole again for the next grid.
    EXPECT_EQ(run_grid(dim3(2), dim3(64), [] { __syncthreads(); }), cudaSuccess) << c.name;
  }
}

TEST(FaultTest, BlocksAfterAFaultingBlockDoNotRun) {
  int blocks_started = 0;
  ASSERT_EQ(run_grid(dim3(4), dim3(8), [&] { trap_kernel(&blocks_started); }), cudaErrorLaunchFailure);
  EXPECT_EQ(blocks_started, 2);
}

}  // namespace
