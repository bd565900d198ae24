// The hostile stand-in's freedoms, each shown by a kernel whose fault it
// alone exposes: the kernel passes on a stand-in that keeps warps in
// lockstep, never switches at arrivals or fences, lands arrivals and copies
// at fixed points, starts a cluster's blocks together and runs one cluster
// at a time.
#include "core/device_instructions.h"
#include "core/instructions/proxy_fence.h"
#include "fixture_runner.h"

namespace {

using namespace device_instructions;
using fixtures::Fixture;

constexpr unsigned kThreads = 64;
constexpr int kRounds = 32;

// Each warp reads the other warp's slots, then refills its own for the next
// round after only a __syncwarp: the refill needs a block barrier after the
// reads, which warps kept in lockstep never miss.
__global__ void refill_after_syncwarp_kernel(bool mended, int* out) {
  __shared__ int slots[kThreads];
  int sum = 0;
  for (int round = 1; round <= kRounds; ++round) {
    slots[threadIdx.x] = round;
    __syncthreads();
    sum += slots[(threadIdx.x + 32) % kThreads];
    if (mended) __syncthreads();
    __syncwarp();
  }
  out[threadIdx.x] = sum;
}

// Each round starts at a block barrier; warp 1 reads the stage, and thread 0
// refills it eight shuffles later with no block barrier between: warps that
// keep within a collective or two of each other always read before the
// refill, but a warp whose peers are stalled runs through its own
// collectives ahead of them.
__global__ void refill_after_collectives_kernel(bool mended, int* out) {
  constexpr int kCollectives = 8;
  __shared__ int stage;
  if (threadIdx.x == 0) stage = 0;
  int sum = 0;
  for (int round = 1; round <= kRounds; ++round) {
    __syncthreads();  // the last refill before the reads
    if (threadIdx.x / 32 == 1) sum += stage;
    for (int c = 0; c < kCollectives; ++c) sum += __shfl_xor_sync(~0u, 0, 1);
    if (mended) __syncthreads();  // the reads before the refill
    if (threadIdx.x == 0) stage = round;
  }
  out[blockIdx.x * kThreads + threadIdx.x] = sum;
}

// Thread 0 publishes a value, but stores it after the arrival that tells the
// others it is there.
__global__ void store_after_arrive_kernel(bool mended, int* out) {
  __shared__ uint64_t published;
  __shared__ int slot;
  if (threadIdx.x == 0) mbarrier_init(&published, 1);
  __syncthreads();
  int sum = 0;
  for (int round = 0; round < kRounds; ++round) {
    if (threadIdx.x == 0) {
      if (mended) slot = round + 1;
      mbarrier_arrive(&published);
      if (!mended) slot = round + 1;
    }
    mbarrier_wait_parity(&published, static_cast<uint32_t>(round) & 1u);
    sum += slot;
    __syncthreads();  // read by all before the next round's store
  }
  out[threadIdx.x] = sum;
}

// Block 1 arrives on two of block 0's barriers, `released` then `done`;
// block 0 waits for `done` only, as if the earlier arrival had to be there
// by then, and ends with it possibly still on its way.
__global__ void unawaited_arrival_kernel(bool mended, int* out) {
  __shared__ uint64_t released;
  __shared__ uint64_t done;
  const uint32_t rank = cluster_block_rank();
  if (threadIdx.x == 0) {
    mbarrier_init(&released, 1);
    mbarrier_init(&done, 1);
  }
  cluster_sync();
  if (rank == 1 && threadIdx.x == 0) {
    mbarrier_arrive_cluster(&released, 0);
    mbarrier_arrive_cluster(&done, 0);
  }
  if (rank == 0 && threadIdx.x == 0) {
    mbarrier_wait_parity(&done, 0);
    if (mended) mbarrier_wait_parity(&released, 0);
  }
  out[rank * kThreads + threadIdx.x] = 1;
}

// Thread 0 issues sixteen bulk copies into a stage that the threads then
// clear, meaning to clear it before the copies: a copy may land at once.
constexpr unsigned kCopies = 16;

__global__ void clear_under_copy_kernel(bool mended, const CUtensorMap* map, int* out) {
  __shared__ uint64_t full;
  unsigned char* stage = korvath_dynamic_shared<unsigned char>();
  if (mended) {
    for (unsigned c = 0; c < kCopies; ++c) stage[c * kThreads + threadIdx.x] = 0;
    fence_proxy_async_shared();
  }
  if (threadIdx.x == 0) {
    mbarrier_init(&full, 1);
    mbarrier_init_fence();
  }
  __syncthreads();
  if (threadIdx.x == 0) {
    mbarrier_arrive_expect_tx(&full, kCopies * kThreads);
    for (unsigned c = 0; c < kCopies; ++c) tma_load_2d(stage + c * kThreads, map, 0, 0, &full);
  }
  __syncthreads();
  if (!mended) {
    for (unsigned c = 0; c < kCopies; ++c) stage[c * kThreads + threadIdx.x] = 0;
    __syncthreads();  // every thread cleared before any waits
  }
  mbarrier_wait_parity(&full, 0);
  int sum = 0;
  for (unsigned c = 0; c < kCopies; ++c) sum += stage[c * kThreads + threadIdx.x];
  out[threadIdx.x] = sum;
}

// Each block of a cluster of four reads its right neighbour's values, after
// a block barrier where a cluster barrier belongs.
__global__ void read_neighbour_kernel(bool mended, int* out) {
  int* mine = korvath_dynamic_shared<int>();
  const uint32_t rank = cluster_block_rank();
  mine[threadIdx.x] = static_cast<int>(100 * rank + threadIdx.x);
  if (mended) {
    cluster_sync();
  } else {
    __syncthreads();
  }
  const int* next = map_shared_rank(mine, (rank + 1) % cluster_block_count());
  out[rank * kThreads + threadIdx.x] = next[threadIdx.x];
  cluster_sync();  // no block ends while its neighbour still reads it
}

// Thread 0 of each block adds to a total by read, fence, write: only a lock
// keeps two resident blocks from losing each other's additions. out[0] is
// the total (from -1), out[1] the lock (-1: free).
constexpr int kAdditions = 16;
constexpr unsigned kBlocks = 4;

__global__ void unlocked_total_kernel(bool mended, int* out) {
  if (threadIdx.x != 0) return;
  auto* total = reinterpret_cast<volatile int*>(&out[0]);
  auto* lock = reinterpret_cast<unsigned*>(&out[1]);
  for (int i = 0; i < kAdditions; ++i) {
    if (mended) {
      while (atomicCAS(lock, ~0u, 0u) != ~0u) {
      }
    }
    const int seen = *total;
    __threadfence();
    *total = seen + 1;
    __threadfence();
    if (mended) atomicExch(lock, ~0u);
  }
}

std::vector<Fixture> fixtures_table() {
  return {
      {"a warp refills what another still reads after a __syncwarp", dim3(1), dim3(kThreads),
       [](bool m, int* o) { refill_after_syncwarp_kernel(m, o); },
       [](unsigned) { return kRounds * (kRounds + 1) / 2; }, kThreads, nullptr},
      {"a warp refills a stage several collectives after another warp read it", dim3(2), dim3(kThreads),
       [](bool m, int* o) { refill_after_collectives_kernel(m, o); },
       [](unsigned i) { return i % kThreads / 32 == 1 ? kRounds * (kRounds - 1) / 2 : 0; }, 2 * kThreads,
       nullptr},
      {"a value stored after the arrival that publishes it", dim3(1), dim3(kThreads),
       [](bool m, int* o) { store_after_arrive_kernel(m, o); },
       [](unsigned) { return kRounds * (kRounds + 1) / 2; }, kThreads, nullptr},
      {"a block ends before a remote arrival it never waits for has landed", dim3(2), dim3(kThreads),
       [](bool m, int* o) { unawaited_arrival_kernel(m, o); }, [](unsigned) { return 1; }, 2 * kThreads,
       "is still in flight", 0, dim3(2)},
      {"stores into a stage while its bulk copies are in flight", dim3(1), dim3(kThreads),
       [](bool m, int* o) {
         static const CUtensorMap map = fixtures::tile_map(kThreads);
         clear_under_copy_kernel(m, &map, o);
       },
       [](unsigned t) { return static_cast<int>(kCopies * fixtures::tile_bytes()[t]); }, kThreads, nullptr,
       kCopies * kThreads},
      {"a neighbour's shared memory read after a block barrier, not a cluster barrier", dim3(4), dim3(kThreads),
       [](bool m, int* o) { read_neighbour_kernel(m, o); },
       [](unsigned i) { return static_cast<int>(100 * ((i / kThreads + 1) % 4) + i % kThreads); }, 4 * kThreads,
       nullptr, kThreads * sizeof(int), dim3(4)},
      {"resident blocks add to a total with no lock", dim3(kBlocks), dim3(kThreads),
       [](bool m, int* o) { unlocked_total_kernel(m, o); },
       [](unsigned i) { return i == 0 ? static_cast<int>(kBlocks) * kAdditions - 1 : -1; }, 2, nullptr, 0, dim3(1),
       kBlocks},
  };
}

TEST(FreedomFixtureTest, EachFaultIsCaughtUnderTheHostileSettings) {
  for (const Fixture& f : fixtures_table()) fixtures::expect_caught(f);
}

// Without the freedoms (a shuffled schedule, poison and late copies only)
// every one of these faults goes unseen.
TEST(FreedomFixtureTest, EachFaultPassesWhenTheFreedomsAreOff) {
  for (Fixture f : fixtures_table()) {
    for (const char* variable : {"HOSTGPU_LATE_ARRIVALS", "HOSTGPU_RESIDENT", "HOSTGPU_STAGGER", "HOSTGPU_RUN_AHEAD",
                                 "HOSTGPU_YIELDS", "HOSTGPU_EARLY_COPIES"}) {
      f.settings.push_back({variable, "0"});
    }
    for (const char* seed : fixtures::kSeeds) {
      const fixtures::Outcome o = fixtures::run(f, false, seed);
      EXPECT_EQ(o.result, cudaSuccess) << f.fault << ", seed " << seed << ": " << o.fault;
      EXPECT_TRUE(o.right) << f.fault << ", seed " << seed;
    }
  }
}

TEST(FreedomFixtureTest, EachMendedKernelPassesOrderedAndHostile) {
  for (const Fixture& f : fixtures_table()) fixtures::expect_mended_passes(f);
}

}  // namespace
