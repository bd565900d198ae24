// When the executor declares a stall: only once every waiting thread has
// tested again since anything it could observe last changed, so that a
// thread released by a peer's arrival is never taken for stuck; and a wait
// or a spin that nothing can end is reported, not left to hang.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "core/device_instructions.h"
#include "hostgpu/executor.h"

namespace {

using namespace device_instructions;

constexpr unsigned kThreads = 128;

// Thread 0 of block 0 waits for block 1's remote arrival, then completes the
// local barrier every other thread of block 0 waits on.
__global__ void relay_kernel(bool arrive, int* out) {
  __shared__ uint64_t remote;
  __shared__ uint64_t local;
  const uint32_t rank = cluster_block_rank();
  if (threadIdx.x == 0) {
    mbarrier_init(&remote, 1);
    mbarrier_init(&local, 1);
  }
  cluster_sync();
  if (rank == 1 && threadIdx.x == 0 && arrive) mbarrier_arrive_cluster(&remote, 0);
  if (rank == 0) {
    if (threadIdx.x == 0) {
      mbarrier_wait_parity(&remote, 0);
      mbarrier_arrive(&local);
    }
    mbarrier_wait_parity(&local, 0);
  }
  out[rank * kThreads + threadIdx.x] = 1;
  cluster_sync();
}

cudaError_t run_relay(bool arrive, const char* variable, const char* value) {
  if (variable != nullptr) setenv(variable, value, 1);
  hostgpu::GridLaunch launch;
  launch.grid = dim3(2);
  launch.block = dim3(kThreads);
  launch.cluster = dim3(2);
  std::vector<int> out(2 * kThreads, 0);
  const cudaError_t result = hostgpu::execute_grid(launch, [&] { relay_kernel(arrive, out.data()); });
  if (variable != nullptr) unsetenv(variable);
  return result;
}

TEST(StallTest, AThreadReleasedByARemoteArrivalIsNotTakenForStuck) {
  for (int seed = 1; seed <= 20; ++seed) {
    const std::string schedule = "shuffle:" + std::to_string(seed);
    EXPECT_EQ(run_relay(true, "HOSTGPU_SCHEDULE", schedule.c_str()), cudaSuccess)
        << schedule << ": " << hostgpu::last_kernel_fault();
  }
  for (const char* seed : {"1", "20261211", "987654321"}) {
    EXPECT_EQ(run_relay(true, "HOSTGPU_HOSTILE", seed), cudaSuccess) << seed << ": " << hostgpu::last_kernel_fault();
  }
}

TEST(StallTest, AWaitNoThreadCanEndIsReportedNamingTheWaiter) {
  for (const char* seed : {static_cast<const char*>(nullptr), "1", "20261211"}) {
    EXPECT_EQ(run_relay(false, seed ? "HOSTGPU_HOSTILE" : nullptr, seed), cudaErrorLaunchFailure);
    const std::string fault = hostgpu::last_kernel_fault();
    EXPECT_NE(fault.find("block (0,0,0), thread ("), std::string::npos) << fault;
    EXPECT_NE(fault.find("no thread can complete"), std::string::npos) << fault;
  }
}

// A lock that no thread ever releases: the spinning thread gives the turn
// away at every failed compare-and-swap and the launch ends with a fault.
__global__ void stuck_lock_kernel(unsigned* lock) {
  if (threadIdx.x != 0) return;
  while (atomicCAS(lock, 0u, 1u) != 0u) {
  }
}

TEST(StallTest, ASpinThatNothingEndsIsReported) {
  unsigned lock = 1;
  hostgpu::GridLaunch launch;
  launch.grid = dim3(1);
  launch.block = dim3(32);
  EXPECT_EQ(hostgpu::execute_grid(launch, [&] { stuck_lock_kernel(&lock); }), cudaErrorLaunchFailure);
  EXPECT_NE(std::string(hostgpu::last_kernel_fault()).find("a spin that never ends"), std::string::npos)
      << hostgpu::last_kernel_fault();
}

}  // namespace
