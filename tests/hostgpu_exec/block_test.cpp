// Blocks and barriers: shared-memory reductions, coordinates, barrier votes,
// and threads with large stacks.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "core/gpu_platform.h"
#include "core/kernel_launch.h"
#include "grid_runner.h"

namespace {

template <int Threads>
__global__ void __launch_bounds__(Threads) block_sum_kernel(const int* values, int count, int* sums) {
  __shared__ int partial[Threads];
  const int index = blockIdx.x * Threads + threadIdx.x;
  partial[threadIdx.x] = index < count ? values[index] : 0;
  __syncthreads();
  for (int stride = Threads / 2; stride > 0; stride /= 2) {
    if (static_cast<int>(threadIdx.x) < stride) partial[threadIdx.x] += partial[threadIdx.x + stride];
    __syncthreads();
  }
  if (threadIdx.x == 0) sums[blockIdx.x] = partial[0];
}

TEST(BlockTest, SharedMemoryReductionGivesEachBlockItsSum) {
  constexpr int threads = 256;
  const int count = 1000;  // the last block is partly empty
  const int blocks = (count + threads - 1) / threads;
  std::vector<int> values(count);
  for (int i = 0; i < count; ++i) values[i] = (i * 37) % 101 - 50;
  std::vector<int> sums(blocks, -1);

  ASSERT_EQ(run_grid(dim3(blocks), dim3(threads),
                     [&] { block_sum_kernel<threads>(values.data(), count, sums.data()); }),
            cudaSuccess);

  for (int b = 0; b < blocks; ++b) {
    const int end = std::min(count, (b + 1) * threads);
    EXPECT_EQ(sums[b], std::accumulate(values.begin() + b * threads, values.begin() + end, 0)) << "block " << b;
  }
}

__global__ void coordinates_kernel(unsigned* seen) {
  const unsigned threads = blockDim.x * blockDim.y * blockDim.z;
  const unsigned block = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
  const unsigned thread = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
  seen[block * threads + thread] += 1 + thread * 1000 + block * 1000000;
}

TEST(BlockTest, EveryThreadOfAThreeDimensionalGridRunsOnceWithItsCoordinates) {
  const dim3 grid(3, 2, 2);
  const dim3 block(8, 4, 2);
  std::vector<unsigned> seen(12 * 64, 0);
  ASSERT_EQ(run_grid(grid, block, [&] { coordinates_kernel(seen.data()); }), cudaSuccess);
  for (unsigned block_index = 0; block_index < 12; ++block_index) {
    for (unsigned thread = 0; thread < 64; ++thread) {
      EXPECT_EQ(seen[block_index * 64 + thread], 1 + thread * 1000 + block_index * 1000000);
    }
  }
}

__global__ void barrier_votes_kernel(int modulus, int* results) {
  const int predicate = modulus > 0 && threadIdx.x % modulus == 0;
  const int count = __syncthreads_count(predicate);
  const int all = __syncthreads_and(predicate);
  const int any = __syncthreads_or(predicate);
  if (threadIdx.x == 77) {
    results[0] = count;
    results[1] = all;
    results[2] = any;
  }
}

TEST(BlockTest, BarrierVotesCountAndReduceThePredicates) {
  struct Case {
    int modulus;  // predicate: thread index divisible by it (0: false everywhere)
    int count, all, any;
  };
  const Case cases[] = {{0, 0, 0, 0}, {1, 96, 1, 1}, {3, 32, 0, 1}, {200, 1, 0, 1}};
  for (const Case& c : cases) {
    int results[3] = {-1, -1, -1};
    ASSERT_EQ(run_grid(dim3(1), dim3(96), [&] { barrier_votes_kernel(c.modulus, results); }), cudaSuccess);
    EXPECT_EQ(results[0], c.count) << "modulus " << c.modulus;
    EXPECT_EQ(results[1], c.all) << "modulus " << c.modulus;
    EXPECT_EQ(results[2], c.any) << "modulus " << c.modulus;
  }
}

__global__ void large_stack_kernel(long long* sums) {
  // Register-heavy kernels keep big arrays in each thread's frame.
  volatile int scratch[16384];
  for (int i = 0; i < 16384; ++i) scratch[i] = i ^ static_cast<int>(threadIdx.x);
  __syncthreads();
  long long sum = 0;
  for (int i = 0; i < 16384; ++i) sum += scratch[i];
  sums[threadIdx.x] = sum;
}

TEST(BlockTest, AThousandThreadsWithSixtyFourKibibyteFramesMeetAtABarrier) {
  std::vector<long long> sums(1024, 0);
  for (int round = 0; round < 2; ++round) {  // the second round reuses the pooled stacks
    ASSERT_EQ(run_grid(dim3(2), dim3(1024), [&] { large_stack_kernel(sums.data()); }), cudaSuccess);
  }
  for (int t = 0; t < 1024; ++t) {
    long long expected = 0;
    for (int i = 0; i < 16384; ++i) expected += i ^ t;
    ASSERT_EQ(sums[t], expected) << "thread " << t;
  }
}

}  // namespace
