// Dynamic shared memory through the project's helper, and static shared
// memory kept apart between host threads running grids at the same time.
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "core/gpu_platform.h"
#include "grid_runner.h"

namespace {

__global__ void reverse_in_shared_kernel(const int* in, int* out, uintptr_t* addresses) {
  int* staged = korvath_dynamic_shared<int>();
  const unsigned base = blockIdx.x * blockDim.x;
  staged[threadIdx.x] = in[base + threadIdx.x];
  __syncthreads();
  out[base + threadIdx.x] = staged[blockDim.x - 1 - threadIdx.x];
  if (threadIdx.x == 0) addresses[blockIdx.x] = reinterpret_cast<uintptr_t>(staged);
}

TEST(SharedMemoryTest, DynamicSharedMemoryHoldsTheLaunchSizeForEachBlock) {
  constexpr unsigned blocks = 3, threads = 1024;
  std::vector<int> in(blocks * threads), out(blocks * threads, 0);
  for (unsigned i = 0; i < in.size(); ++i) in[i] = static_cast<int>(i * 3 + 1);
  std::vector<uintptr_t> addresses(blocks, 1);
  ASSERT_EQ(run_grid(dim3(blocks), dim3(threads), [&] { reverse_in_shared_kernel(in.data(), out.data(), addresses.data()); },
                     threads * sizeof(int)),
            cudaSuccess);
  for (unsigned b = 0; b < blocks; ++b) {
    for (unsigned t = 0; t < threads; ++t) ASSERT_EQ(out[b * threads + t], in[b * threads + threads - 1 - t]);
    EXPECT_EQ(addresses[b] % 16, 0u);
  }
}

__global__ void rotate_through_static_shared_kernel(int seed, int rounds, int* out) {
  __shared__ int ring[128];
  int value = seed + static_cast<int>(threadIdx.x);
  for (int r = 0; r < rounds; ++r) {
    ring[threadIdx.x] = value;
    __syncthreads();
    value = ring[(threadIdx.x + 1) % 128];
    __syncthreads();
  }
  out[blockIdx.x * 128 + threadIdx.x] = value;
}

TEST(SharedMemoryTest, StaticSharedMemoryIsNotSharedBetweenHostThreads) {
  // Two devices (or streams) run the same kernel at the same time, each on
  // its own host thread; each must see only its own block's shared array.
  constexpr int rounds = 301;
  std::vector<int> first_out(4 * 128), second_out(4 * 128);
  auto run = [&](int seed, std::vector<int>& out, int device) {
    EXPECT_EQ(run_grid(dim3(4), dim3(128), [&] { rotate_through_static_shared_kernel(seed, rounds, out.data()); }, 0,
                       device),
              cudaSuccess);
  };
  std::thread first(run, 1000, std::ref(first_out), 0);
  std::thread second(run, 5000, std::ref(second_out), 1);
  first.join();
  second.join();
  for (int b = 0; b < 4; ++b) {
    for (int t = 0; t < 128; ++t) {
      EXPECT_EQ(first_out[b * 128 + t], 1000 + (t + rounds) % 128);
      EXPECT_EQ(second_out[b * 128 + t], 5000 + (t + rounds) % 128);
    }
  }
}

}  // namespace
