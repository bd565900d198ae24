// The executor's settings: the order in which threads resume after a
// rendezvous, fresh and poisoned shared memory, and malformed values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/gpu_platform.h"
#include "grid_runner.h"

namespace {

// Records the order in which the threads leave a barrier.
__global__ void resume_order_kernel(std::vector<unsigned>* order) {
  __syncthreads();
  order->push_back(threadIdx.x);
}

std::vector<unsigned> resume_order(const char* schedule) {
  setenv("HOSTGPU_SCHEDULE", schedule, 1);
  std::vector<unsigned> order;
  const cudaError_t result = run_grid(dim3(1), dim3(64), [&] { resume_order_kernel(&order); });
  unsetenv("HOSTGPU_SCHEDULE");
  EXPECT_EQ(result, cudaSuccess) << schedule << ": " << hostgpu::last_kernel_fault();
  return order;
}

TEST(ScheduleTest, ThreadsResumeInTheScheduleOrder) {
  std::vector<unsigned> ascending(64);
  for (unsigned i = 0; i < 64; ++i) ascending[i] = i;
  const std::vector<unsigned> descending(ascending.rbegin(), ascending.rend());
  EXPECT_EQ(resume_order("ordered"), ascending);
  EXPECT_EQ(resume_order("reverse"), descending);
  const std::vector<unsigned> shuffled = resume_order("shuffle:17");
  EXPECT_TRUE(std::is_permutation(shuffled.begin(), shuffled.end(), ascending.begin()));
  EXPECT_NE(shuffled, ascending);
  EXPECT_EQ(resume_order("shuffle:17"), shuffled);  // a seed replays its order
  EXPECT_NE(resume_order("shuffle:18"), shuffled);
}

TEST(ScheduleTest, MalformedSettingsFailTheLaunchNamingTheVariable) {
  struct Case {
    const char* variable;
    const char* value;
  };
  for (const Case c : {Case{"HOSTGPU_SCHEDULE", "sideways"}, Case{"HOSTGPU_SCHEDULE", "shuffle:"},
                       Case{"HOSTGPU_SCHEDULE", "shuffle:12x"}, Case{"HOSTGPU_HOSTILE", "-3"},
                       Case{"HOSTGPU_BF16_ADDER_BITS", "0"}, Case{"HOSTGPU_BF16_ADDER_BITS", "53"},
                       Case{"HOSTGPU_BF16_ADDER_BITS", "19x"}}) {
    setenv(c.variable, c.value, 1);
    const cudaError_t result = run_grid(dim3(1), dim3(1), [] {});
    unsetenv(c.variable);
    EXPECT_EQ(result, cudaErrorLaunchFailure) << c.variable << "=" << c.value;
    EXPECT_NE(std::string(hostgpu::last_kernel_fault()).find(std::string(c.variable) + "=" + c.value),
              std::string::npos)
        << hostgpu::last_kernel_fault();
  }
}

// Each block stores into its shared memory after reading what it found there.
__global__ void fresh_shared_kernel(unsigned char* found) {
  __shared__ unsigned char fixed[16];
  unsigned char* dynamic = korvath_dynamic_shared<unsigned char>();
  if (threadIdx.x < 16) {
    found[blockIdx.x * 32 + threadIdx.x] = fixed[threadIdx.x];
    found[blockIdx.x * 32 + 16 + threadIdx.x] = dynamic[threadIdx.x];
  }
  __syncthreads();
  if (threadIdx.x < 16) fixed[threadIdx.x] = dynamic[threadIdx.x] = 0x3C;
}

TEST(ScheduleTest, BlocksStartWithFreshSharedMemoryWhenPoisonedOrClustered) {
  struct Case {
    bool poison;
    dim3 cluster;
  };
  // Poisoned: every block gets its own host thread. Kind: the blocks of a
  // cluster do (a lone block shares the calling host thread's).
  for (const Case c : {Case{true, dim3(1)}, Case{false, dim3(3)}}) {
    if (c.poison) setenv("HOSTGPU_POISON", "1", 1);
    std::vector<unsigned char> found(3 * 32, 0x77);
    hostgpu::GridLaunch launch;
    launch.grid = dim3(3);
    launch.block = dim3(32);
    launch.cluster = c.cluster;
    launch.dynamic_shared_bytes = 64;
    const cudaError_t result = hostgpu::execute_grid(launch, [&] { fresh_shared_kernel(found.data()); });
    unsetenv("HOSTGPU_POISON");
    ASSERT_EQ(result, cudaSuccess) << hostgpu::last_kernel_fault();
    for (unsigned i = 0; i < found.size(); ++i) {
      // Static and dynamic shared memory alike.
      EXPECT_EQ(found[i], c.poison ? 0xA5 : 0) << "byte " << i << (c.poison ? " poisoned" : "");
    }
  }
}

}  // namespace
