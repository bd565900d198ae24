// The rules a block's barriers, shared memory and tensor memory live by, as
// the stand-in enforces them: an mbarrier is used only once a barrier orders
// its initialisation; a block ends with its barriers settled, nothing in
// flight to it and no peer still reaching it; tensor memory is the SM's,
// shared by the blocks resident there, and given back before a block ends.
#include "core/device_instructions.h"
#include "fixture_runner.h"

namespace {

using namespace device_instructions;
using fixtures::Fixture;

constexpr unsigned kThreads = 64;

// Thread 0 initialises the barrier every thread arrives on, with nothing
// between its initialisation and the other threads' arrivals.
__global__ void arrive_unordered_kernel(bool mended, int* out) {
  __shared__ uint64_t all_here;
  if (threadIdx.x == 0) mbarrier_init(&all_here, kThreads);
  if (mended) __syncthreads();
  mbarrier_arrive(&all_here);
  mbarrier_wait_parity(&all_here, 0);
  out[threadIdx.x] = 1;
}

// Block 1 arrives on block 0's barrier after a block barrier, which orders
// nothing across the cluster.
__global__ void remote_arrive_unordered_kernel(bool mended, int* out) {
  __shared__ uint64_t arrived;
  const uint32_t rank = cluster_block_rank();
  if (threadIdx.x == 0) mbarrier_init(&arrived, 1);
  if (mended) {
    cluster_sync();
  } else {
    __syncthreads();
  }
  if (rank == 1 && threadIdx.x == 0) mbarrier_arrive_cluster(&arrived, 0);
  if (rank == 0) mbarrier_wait_parity(&arrived, 0);
  out[rank * kThreads + threadIdx.x] = 1;
}

// A phase of two arrivals that gets one before the block ends.
__global__ void half_phase_kernel(bool mended, int* out) {
  __shared__ uint64_t pair;
  if (threadIdx.x == 0) mbarrier_init(&pair, 2);
  __syncthreads();
  if (threadIdx.x == 0 || (mended && threadIdx.x == 1)) mbarrier_arrive(&pair);
  out[threadIdx.x] = 1;
}

// Block 0 multicasts rows into both blocks; block 1 does not wait for its copies.
constexpr unsigned kCopies = 8;

__global__ void unawaited_multicast_kernel(bool mended, const CUtensorMap* map, int* out) {
  __shared__ uint64_t full;
  unsigned char* stage = korvath_dynamic_shared<unsigned char>();
  const uint32_t rank = cluster_block_rank();
  if (threadIdx.x == 0) {
    mbarrier_init(&full, 1);
    mbarrier_init_fence();
    mbarrier_arrive_expect_tx(&full, kCopies * kThreads);
  }
  cluster_sync();
  if (rank == 0 && threadIdx.x == 0) {
    for (unsigned c = 0; c < kCopies; ++c) tma_load_2d_multicast(stage + c * kThreads, map, 0, 0, &full, 0x3);
  }
  if (rank == 0 || mended) mbarrier_wait_parity(&full, 0);
  out[rank * kThreads + threadIdx.x] = rank == 0 || mended ? stage[threadIdx.x] : fixtures::tile_bytes()[threadIdx.x];
}

// Each block reads its peer's values through mapa; nothing keeps the peer
// from ending before the read.
__global__ void unfenced_peer_read_kernel(bool mended, int* out) {
  int* mine = korvath_dynamic_shared<int>();
  const uint32_t rank = cluster_block_rank();
  mine[threadIdx.x] = static_cast<int>(1000 * rank + threadIdx.x);
  cluster_sync();
  out[rank * kThreads + threadIdx.x] = map_shared_rank(mine, rank ^ 1u)[threadIdx.x];
  if (mended) cluster_sync();
}

// Three resident CTA pairs share their SMs' 512 columns; each asks for 256
// where 128 is its share.
__global__ void tensor_memory_share_kernel(bool mended, int* out) {
  __shared__ uint32_t base;
  const uint32_t columns = mended ? 128 : 256;
  if (threadIdx.x < 32) tmem_alloc_pair(&base, columns);
  __syncthreads();
  if (threadIdx.x < 32) tmem_dealloc_pair(base, columns);
  if (threadIdx.x == 0) out[blockIdx.x] = 1;
  cluster_sync();
}

// Two resident blocks each take 256 columns, then want 256 more that only
// the other could give.
__global__ void tensor_memory_in_two_steps_kernel(bool mended, int* out) {
  __shared__ uint32_t first;
  __shared__ uint32_t second;
  if (threadIdx.x < 32) tmem_alloc_pair(&first, 256);
  __syncthreads();
  if (!mended && threadIdx.x < 32) tmem_alloc_pair(&second, 256);
  __syncthreads();
  if (!mended && threadIdx.x < 32) tmem_dealloc_pair(second, 256);
  if (threadIdx.x < 32) tmem_dealloc_pair(first, 256);
  if (threadIdx.x == 0) out[blockIdx.x] = 1;
}

// A block ends holding its columns.
__global__ void tensor_memory_kept_kernel(bool mended, int* out) {
  __shared__ uint32_t base;
  if (threadIdx.x < 32) tmem_alloc_pair(&base, 64);
  __syncthreads();
  if (mended && threadIdx.x < 32) tmem_dealloc_pair(base, 64);
  out[threadIdx.x] = 1;
}

int one(unsigned) { return 1; }

std::vector<Fixture> fixtures_table() {
  return {
      {"an mbarrier used by other threads with no barrier after its initialisation", dim3(1), dim3(kThreads),
       [](bool m, int* o) { arrive_unordered_kernel(m, o); }, one, kThreads, "initialisation"},
      {"a peer's arrival ordered after the initialisation by a block barrier only", dim3(2), dim3(kThreads),
       [](bool m, int* o) { remote_arrive_unordered_kernel(m, o); }, one, 2 * kThreads,
       "initialisation", 0, dim3(2)},
      {"a block ends partway through a phase of its mbarrier", dim3(1), dim3(kThreads),
       [](bool m, int* o) { half_phase_kernel(m, o); }, one, kThreads, "partway through a phase"},
      {"a block ends while a multicast copy into it is on its way", dim3(2), dim3(kThreads),
       [](bool m, int* o) {
         static const CUtensorMap map = fixtures::tile_map(kThreads);
         unawaited_multicast_kernel(m, &map, o);
       },
       [](unsigned i) { return static_cast<int>(fixtures::tile_bytes()[i % kThreads]); }, 2 * kThreads,
       "block (1,0,0)", kCopies * kThreads, dim3(2)},
      {"a block ends while its peer may still read it through mapa", dim3(2), dim3(kThreads),
       [](bool m, int* o) { unfenced_peer_read_kernel(m, o); },
       [](unsigned i) { return static_cast<int>(1000 * (i / kThreads ^ 1u) + i % kThreads); }, 2 * kThreads,
       "mapa", kThreads * sizeof(int), dim3(2)},
      {"three resident CTA pairs ask for more tensor memory than an SM has", dim3(6), dim3(kThreads),
       [](bool m, int* o) { tensor_memory_share_kernel(m, o); }, one, 6, "would wait", 0, dim3(2), 3,
       {{"HOSTGPU_STRICT_TENSOR_MEMORY", "1"}}},
      {"two resident blocks each wait for tensor memory the other holds", dim3(2), dim3(kThreads),
       [](bool m, int* o) { tensor_memory_in_two_steps_kernel(m, o); }, one, 2, "no block can free any more", 0,
       dim3(1), 2,
       // Both blocks must take their first columns before either asks again,
       // which a block whose allocating warp runs far ahead need not give.
       {{"HOSTGPU_RUN_AHEAD", "0"}}},
      {"a block ends holding tensor memory", dim3(1), dim3(kThreads),
       [](bool m, int* o) { tensor_memory_kept_kernel(m, o); }, one, kThreads, "no tcgen05.dealloc"},
  };
}

TEST(LifetimeFixtureTest, EachFaultIsCaughtUnderTheHostileSettings) {
  for (const Fixture& f : fixtures_table()) fixtures::expect_caught(f);
}

TEST(LifetimeFixtureTest, EachMendedKernelPassesOrderedAndHostile) {
  for (const Fixture& f : fixtures_table()) fixtures::expect_mended_passes(f);
}

}  // namespace
