// Warp shuffles and votes against the definitions of the CUDA C++
// Programming Guide, including segments narrower than a warp and partial warps.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "core/gpu_platform.h"
#include "grid_runner.h"

namespace {

enum class Shuffle { idx, up, down, xor_ };

__global__ void shuffle_kernel(Shuffle kind, int operand, int width, long long* out) {
  // 64-bit values cross the warp whole.
  const long long mine = 1000000000000ll + static_cast<long long>(threadIdx.x) * 7;
  long long got = 0;
  switch (kind) {
    case Shuffle::idx: got = __shfl_sync(0xffffffffu, mine, operand, width); break;
    case Shuffle::up: got = __shfl_up_sync(0xffffffffu, mine, static_cast<unsigned>(operand), width); break;
    case Shuffle::down: got = __shfl_down_sync(0xffffffffu, mine, static_cast<unsigned>(operand), width); break;
    case Shuffle::xor_: got = __shfl_xor_sync(0xffffffffu, mine, operand, width); break;
  }
  out[threadIdx.x] = got;
}

// The source lane as the Programming Guide describes each shuffle: a segment
// of `width` lanes acts as a warp of its own; idx takes the lane modulo width;
// up and down leave the lanes without a source unchanged; xor may read
// earlier segments but returns the caller's own value for later ones.
int documented_source(Shuffle kind, int lane, int operand, int width) {
  const int segment = lane / width * width;
  const int logical = lane % width;
  switch (kind) {
    case Shuffle::idx: return segment + ((operand % width) + width) % width;
    case Shuffle::up: return logical >= operand ? lane - operand : lane;
    case Shuffle::down: return logical + operand < width ? lane + operand : lane;
    case Shuffle::xor_: {
      const int source = lane ^ operand;
      return source / width > lane / width ? lane : source;
    }
  }
  return lane;
}

TEST(WarpTest, ShufflesFollowTheirDocumentedDefinitions) {
  struct Case {
    Shuffle kind;
    int operand;
    int width;
  };
  const Case cases[] = {
      {Shuffle::idx, 0, 32},   {Shuffle::idx, 31, 32}, {Shuffle::idx, 37, 32},  {Shuffle::idx, 3, 8},
      {Shuffle::idx, 13, 8},   {Shuffle::idx, -1, 16}, {Shuffle::up, 1, 32},    {Shuffle::up, 5, 32},
      {Shuffle::up, 3, 8},     {Shuffle::up, 1, 2},    {Shuffle::down, 1, 32},  {Shuffle::down, 16, 32},
      {Shuffle::down, 3, 8},   {Shuffle::down, 4, 4},  {Shuffle::xor_, 1, 32},  {Shuffle::xor_, 16, 32},
      {Shuffle::xor_, 2, 4},   {Shuffle::xor_, 8, 4},  {Shuffle::xor_, 31, 16}, {Shuffle::idx, 0, 1},
  };
  for (const Case& c : cases) {
    std::vector<long long> out(64, -1);
    ASSERT_EQ(run_grid(dim3(1), dim3(64), [&] { shuffle_kernel(c.kind, c.operand, c.width, out.data()); }),
              cudaSuccess);
    for (int thread = 0; thread < 64; ++thread) {
      const int lane = thread % 32;
      const int source = thread - lane + documented_source(c.kind, lane, c.operand, c.width);
      EXPECT_EQ(out[thread], 1000000000000ll + source * 7)
          << "kind " << static_cast<int>(c.kind) << " operand " << c.operand << " width " << c.width << " thread "
          << thread;
    }
  }
}

__global__ void vote_kernel(unsigned mask, int modulus, unsigned* ballots, int* anys, int* alls, unsigned* active) {
  const unsigned lane = threadIdx.x % 32;
  if (((mask >> lane) & 1u) == 0) return;
  const int predicate = threadIdx.x % modulus == 0;
  ballots[threadIdx.x] = __ballot_sync(mask, predicate);
  anys[threadIdx.x] = __any_sync(mask, predicate);
  alls[threadIdx.x] = __all_sync(mask, predicate);
  active[threadIdx.x] = __activemask();
}

TEST(WarpTest, VotesCoverTheLanesOfTheirMask) {
  struct Case {
    unsigned threads;  // 40: the second warp has 8 lanes
    unsigned mask;
    int modulus;
  };
  const Case cases[] = {{64, 0xffffffffu, 3}, {64, 0xffffffffu, 1}, {64, 0x0000ffffu, 5},
                        {40, 0xffffffffu, 2}, {40, 0x000000f0u, 1}, {32, 0x80000001u, 31}};
  for (const Case& c : cases) {
    std::vector<unsigned> ballots(64, 0xdeadu), active(64, 0xdeadu);
    std::vector<int> anys(64, -1), alls(64, -1);
    ASSERT_EQ(run_grid(dim3(1), dim3(c.threads),
                       [&] { vote_kernel(c.mask, c.modulus, ballots.data(), anys.data(), alls.data(), active.data()); }),
              cudaSuccess);
    for (unsigned thread = 0; thread < c.threads; ++thread) {
      const unsigned warp_first = thread / 32 * 32;
      const unsigned lanes_in_warp = std::min(32u, c.threads - warp_first);
      const unsigned existing = lanes_in_warp == 32 ? 0xffffffffu : (1u << lanes_in_warp) - 1u;
      const unsigned members = c.mask & existing;
      if (((members >> (thread % 32)) & 1u) == 0) continue;
      unsigned expected = 0;
      for (unsigned lane = 0; lane < 32; ++lane) {
        if (((members >> lane) & 1u) && (warp_first + lane) % c.modulus == 0) expected |= 1u << lane;
      }
      EXPECT_EQ(ballots[thread], expected) << "thread " << thread << " mask " << c.mask;
      EXPECT_EQ(anys[thread], expected != 0 ? 1 : 0) << "thread " << thread;
      EXPECT_EQ(alls[thread], expected == members ? 1 : 0) << "thread " << thread;
      // Which lanes still run at that point depends on scheduling; never a
      // lane that does not exist, always the caller.
      EXPECT_EQ(active[thread] & ~existing, 0u) << "thread " << thread;
      EXPECT_NE(active[thread] & (1u << (thread % 32)), 0u) << "thread " << thread;
    }
  }
}

__global__ void warp_sum_kernel(const int* values, int* sums) {
  int value = values[threadIdx.x];
  for (int offset = 16; offset > 0; offset /= 2) value += __shfl_xor_sync(0xffffffffu, value, offset);
  __syncwarp();
  sums[threadIdx.x] = value;
}

TEST(WarpTest, ButterflyReductionGivesEveryLaneTheWarpSum) {
  std::vector<int> values(96), sums(96, 0);
  for (int i = 0; i < 96; ++i) values[i] = i * i - 40;
  ASSERT_EQ(run_grid(dim3(1), dim3(96), [&] { warp_sum_kernel(values.data(), sums.data()); }), cudaSuccess);
  for (int warp = 0; warp < 3; ++warp) {
    int expected = 0;
    for (int lane = 0; lane < 32; ++lane) expected += values[warp * 32 + lane];
    for (int lane = 0; lane < 32; ++lane) EXPECT_EQ(sums[warp * 32 + lane], expected);
  }
}

// Lanes 16 to 31 exit; the others vote, shuffle and synchronise with a full
// mask. CUDA defines this: exited lanes take no part, and a shuffle from one
// reads an undefined value (poison here).
__global__ void half_warp_exited_kernel(unsigned* ballots, int* alls, int* shuffled) {
  if (threadIdx.x >= 16) return;
  ballots[threadIdx.x] = __ballot_sync(0xffffffffu, 1);
  alls[threadIdx.x] = __all_sync(0xffffffffu, 1);
  shuffled[threadIdx.x] = __shfl_down_sync(0xffffffffu, static_cast<int>(threadIdx.x), 1);
  __syncwarp();
}

TEST(WarpTest, ExitedLanesNamedInTheMaskTakeNoPartInEitherOrder) {
  // Ordered: the lanes that stay wait before the others exit; reversed: after.
  for (const char* schedule : {"ordered", "reverse"}) {
    setenv("HOSTGPU_SCHEDULE", schedule, 1);
    std::vector<unsigned> ballots(32, 0);
    std::vector<int> alls(32, 0), shuffled(32, 0);
    const cudaError_t result =
        run_grid(dim3(1), dim3(32), [&] { half_warp_exited_kernel(ballots.data(), alls.data(), shuffled.data()); });
    unsetenv("HOSTGPU_SCHEDULE");
    ASSERT_EQ(result, cudaSuccess) << schedule << ": " << hostgpu::last_kernel_fault();
    for (int lane = 0; lane < 16; ++lane) {
      EXPECT_EQ(ballots[lane], 0x0000ffffu) << schedule << " lane " << lane;
      EXPECT_EQ(alls[lane], 1) << schedule << " lane " << lane;
      EXPECT_EQ(shuffled[lane], lane < 15 ? lane + 1 : static_cast<int>(0xA5A5A5A5u)) << schedule << " lane " << lane;
    }
  }
}

// A shuffle whose source lane lies outside the mask reads poison, not a
// value that happens to be the identity of a reduction.
__global__ void partial_mask_shuffle_kernel(int* out) {
  if (threadIdx.x >= 8) return;
  out[threadIdx.x] = __shfl_xor_sync(0x000000ffu, 1, 8);
}

TEST(WarpTest, AShuffleFromALaneOutsideTheMaskReadsPoison) {
  std::vector<int> out(8, 0);
  ASSERT_EQ(run_grid(dim3(1), dim3(32), [&] { partial_mask_shuffle_kernel(out.data()); }), cudaSuccess);
  for (int lane = 0; lane < 8; ++lane) EXPECT_EQ(out[lane], static_cast<int>(0xA5A5A5A5u)) << lane;
}

}  // namespace
