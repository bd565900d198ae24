// Atomics across the blocks of a grid, and across grids running on two host
// threads at once (as kernels of two streams do).
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "core/gpu_platform.h"
#include "grid_runner.h"

namespace {

struct Counters {
  int sum = 0;
  float half_sum = 0.0f;
  double third_sum = 0.0;
  unsigned long long wide_sum = 0;
  int maximum = -1000000;
  int minimum = 1000000;
  long long wide_minimum = 0;
  unsigned bits = 0;
  unsigned wrapping = 0;
  unsigned falling = 0;
  unsigned next_slot = 0;
  int cas_sum = 0;
};

__global__ void atomics_kernel(Counters* c, unsigned* slots) {
  const int id = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
  atomicAdd(&c->sum, 1);
  atomicAdd(&c->half_sum, 0.5f);
  atomicAdd(&c->third_sum, 0.25);
  atomicAdd(&c->wide_sum, 1ull << 33);
  atomicMax(&c->maximum, (id * 7919) % 2003 - 1000);
  atomicMin(&c->minimum, (id * 7919) % 2003 - 1000);
  atomicMin(&c->wide_minimum, -static_cast<long long>(id) * 4000000000ll);
  atomicOr(&c->bits, 1u << (id % 32));
  atomicInc(&c->wrapping, 99u);
  atomicDec(&c->falling, 9u);
  slots[atomicAdd(&c->next_slot, 1u)] = static_cast<unsigned>(id);
  // An addition built from compare-and-swap retries until it lands.
  int seen = c->cas_sum;
  for (;;) {
    const int previous = atomicCAS(&c->cas_sum, seen, seen + 3);
    if (previous == seen) break;
    seen = previous;
  }
}

TEST(AtomicsTest, EveryThreadOfEveryBlockLandsExactlyOnce) {
  constexpr unsigned blocks = 16, threads = 128, total = blocks * threads;
  Counters c;
  std::vector<unsigned> slots(total, 0xffffffffu);
  ASSERT_EQ(run_grid(dim3(blocks), dim3(threads), [&] { atomics_kernel(&c, slots.data()); }), cudaSuccess);

  int expected_max = -1000000, expected_min = 1000000;
  for (unsigned id = 0; id < total; ++id) {
    expected_max = std::max(expected_max, static_cast<int>((id * 7919) % 2003) - 1000);
    expected_min = std::min(expected_min, static_cast<int>((id * 7919) % 2003) - 1000);
  }
  EXPECT_EQ(c.sum, static_cast<int>(total));
  EXPECT_EQ(c.half_sum, total * 0.5f);
  EXPECT_EQ(c.third_sum, total * 0.25);
  EXPECT_EQ(c.wide_sum, static_cast<unsigned long long>(total) << 33);
  EXPECT_EQ(c.maximum, expected_max);
  EXPECT_EQ(c.minimum, expected_min);
  EXPECT_EQ(c.wide_minimum, -static_cast<long long>(total - 1) * 4000000000ll);
  EXPECT_EQ(c.bits, 0xffffffffu);
  EXPECT_EQ(c.wrapping, total % 100);             // counts 0..99 and wraps to 0
  EXPECT_EQ(c.falling, (10 - total % 10) % 10);   // from 0 wraps to 9, then counts down
  EXPECT_EQ(c.cas_sum, static_cast<int>(3 * total));
  std::sort(slots.begin(), slots.end());
  for (unsigned i = 0; i < total; ++i) ASSERT_EQ(slots[i], i);
}

TEST(AtomicsTest, ExchangeAndCompareSwapReturnTheOldValue) {
  struct Results {
    int exchanged, swapped, not_swapped, cell_after;
    unsigned short narrow_old, narrow_after;
    float float_old, float_after;
  } r{};
  int cell = 5;
  unsigned short narrow = 7;
  float real = 1.5f;
  ASSERT_EQ(run_grid(dim3(1), dim3(1),
                     [&] {
                       r.exchanged = atomicExch(&cell, 9);
                       r.swapped = atomicCAS(&cell, 9, 11);
                       r.not_swapped = atomicCAS(&cell, 9, 13);
                       r.cell_after = cell;
                       r.narrow_old = atomicCAS(&narrow, static_cast<unsigned short>(7), static_cast<unsigned short>(8));
                       r.narrow_after = narrow;
                       r.float_old = atomicExch(&real, -2.0f);
                       r.float_after = real;
                     }),
            cudaSuccess);
  EXPECT_EQ(r.exchanged, 5);
  EXPECT_EQ(r.swapped, 9);
  EXPECT_EQ(r.not_swapped, 11);
  EXPECT_EQ(r.cell_after, 11);
  EXPECT_EQ(r.narrow_old, 7);
  EXPECT_EQ(r.narrow_after, 8);
  EXPECT_EQ(r.float_old, 1.5f);
  EXPECT_EQ(r.float_after, -2.0f);
}

__global__ void hammer_kernel(unsigned long long* counter, float* total, int rounds) {
  for (int i = 0; i < rounds; ++i) {
    atomicAdd(counter, 1ull);
    atomicAdd(total, 1.0f);
  }
}

TEST(AtomicsTest, GridsOnTwoHostThreadsShareOneCounter) {
  unsigned long long counter = 0;
  float total = 0.0f;
  auto run = [&] { EXPECT_EQ(run_grid(dim3(8), dim3(64), [&] { hammer_kernel(&counter, &total, 200); }), cudaSuccess); };
  std::thread first(run), second(run);
  first.join();
  second.join();
  EXPECT_EQ(counter, 2ull * 8 * 64 * 200);
  EXPECT_EQ(total, 2.0f * 8 * 64 * 200);  // exact: every partial sum is a small integer
}

}  // namespace
