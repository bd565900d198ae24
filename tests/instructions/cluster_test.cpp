// Clusters on the host device: blocks resident together, each with its own
// shared memory, the cluster barrier, distributed shared memory, remote
// mbarrier arrivals, waits that let the other blocks run, and multicast bulk
// tensor copies.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "core/device_instructions.h"
#include "core/gpu_platform.h"
#include "core/instructions/proxy_fence.h"
#include "hostgpu/executor.h"

namespace {

using namespace device_instructions;

cudaError_t run_clusters(dim3 grid, dim3 cluster, dim3 block, const std::function<void()>& body,
                         size_t dynamic_shared_bytes = 0) {
  hostgpu::GridLaunch launch;
  launch.grid = grid;
  launch.block = block;
  launch.cluster = cluster;
  launch.dynamic_shared_bytes = dynamic_shared_bytes;
  return hostgpu::execute_grid(launch, body);
}

unsigned linear_block() { return (blockIdx.z * gridDim.y + blockIdx.y) * gridDim.x + blockIdx.x; }

// Each block keeps its own rank in static shared memory and reads its
// neighbour's through the mapped address after a cluster barrier.
__global__ void neighbour_rank_kernel(unsigned* seen, unsigned* ranks) {
  __shared__ unsigned mine[64];
  const unsigned rank = cluster_block_rank();
  const unsigned count = cluster_block_count();
  mine[threadIdx.x] = 1000 * rank + threadIdx.x;
  cluster_sync();
  const unsigned* theirs = map_shared_rank(mine, (rank + 1) % count);
  seen[linear_block() * 64 + threadIdx.x] = theirs[threadIdx.x];
  ranks[linear_block()] = rank;
  cluster_sync();  // a peer's shared memory is read before the peer may exit
}

TEST(ClusterTest, BlocksOfAClusterSeeEachOthersStaticSharedMemory) {
  const dim3 grid(4, 2, 1), cluster(2, 2, 1);
  std::vector<unsigned> seen(8 * 64, ~0u), ranks(8, ~0u);
  ASSERT_EQ(run_clusters(grid, cluster, dim3(64), [&] { neighbour_rank_kernel(seen.data(), ranks.data()); }),
            cudaSuccess)
      << hostgpu::last_kernel_fault();
  for (unsigned y = 0; y < 2; ++y) {
    for (unsigned x = 0; x < 4; ++x) {
      const unsigned block = y * 4 + x;
      const unsigned rank = (x % 2) + 2 * (y % 2);
      EXPECT_EQ(ranks[block], rank) << "block " << block;
      for (unsigned t = 0; t < 64; ++t) ASSERT_EQ(seen[block * 64 + t], 1000 * ((rank + 1) % 4) + t);
    }
  }
}

__global__ void place_kernel(hostgpu::ClusterPlace* places) {
  if (threadIdx.x == 0) places[linear_block()] = hostgpu::cluster_place();
}

TEST(ClusterTest, EachBlockKnowsItsPlaceInItsCluster) {
  const dim3 grid(2, 4, 2), cluster(1, 2, 2);
  std::vector<hostgpu::ClusterPlace> places(16);
  ASSERT_EQ(run_clusters(grid, cluster, dim3(32), [&] { place_kernel(places.data()); }), cudaSuccess);
  for (unsigned z = 0; z < 2; ++z) {
    for (unsigned y = 0; y < 4; ++y) {
      for (unsigned x = 0; x < 2; ++x) {
        const hostgpu::ClusterPlace& p = places[(z * 4 + y) * 2 + x];
        EXPECT_EQ(p.blocks, 4u);
        EXPECT_EQ(p.block.x, 0u);
        EXPECT_EQ(p.block.y, y % 2);
        EXPECT_EQ(p.block.z, z % 2);
        EXPECT_EQ(p.rank, (y % 2) + 2 * (z % 2));
        EXPECT_EQ(p.cluster.x, x);
        EXPECT_EQ(p.cluster.y, y / 2);
        EXPECT_EQ(p.cluster.z, z / 2);
      }
    }
  }
}

// Block 0 waits on its own barrier for one remote arrival from every other
// block; the others arrive only after their own work, so the wait must let
// them run.
__global__ void gather_kernel(unsigned* out) {
  __shared__ uint64_t arrived;
  __shared__ unsigned value;
  const unsigned rank = cluster_block_rank();
  const unsigned count = cluster_block_count();
  if (threadIdx.x == 0) {
    value = 0;
    if (rank == 0) mbarrier_init(&arrived, count - 1);
  }
  cluster_sync();
  if (rank != 0 && threadIdx.x == 0) {
    atomicAdd(map_shared_rank(&value, 0), 10 * rank);
    mbarrier_arrive_cluster(&arrived, 0);
  }
  if (rank == 0) {
    mbarrier_wait_parity(&arrived, 0);
    out[threadIdx.x] = value;
  }
  cluster_sync();
}

TEST(ClusterTest, AWaitForRemoteArrivalsLetsTheOtherBlocksRun) {
  std::vector<unsigned> out(32, 0);
  ASSERT_EQ(run_clusters(dim3(4), dim3(4), dim3(32), [&] { gather_kernel(out.data()); }), cudaSuccess)
      << hostgpu::last_kernel_fault();
  for (unsigned t = 0; t < 32; ++t) EXPECT_EQ(out[t], 10u + 20u + 30u);
}

__global__ void never_arriving_kernel() {
  __shared__ uint64_t barrier;
  if (threadIdx.x == 0) mbarrier_init(&barrier, 2);
  __syncthreads();
  if (threadIdx.x == 0) mbarrier_arrive(&barrier);
  mbarrier_wait_parity(&barrier, 0);
}

TEST(ClusterTest, AWaitNoThreadCanCompleteFailsTheLaunch) {
  ASSERT_EQ(run_clusters(dim3(2), dim3(2), dim3(8), [] { never_arriving_kernel(); }), cudaErrorLaunchFailure);
  EXPECT_NE(std::string(hostgpu::last_kernel_fault()).find("waits for a barrier phase that no thread can complete"),
            std::string::npos)
      << hostgpu::last_kernel_fault();
}

__global__ void cluster_wait_not_reached_kernel() {
  if (cluster_block_rank() == 1 && threadIdx.x == 3) return;
  cluster_sync();
}

TEST(ClusterTest, AClusterBarrierNotEveryThreadReachesFailsTheLaunch) {
  ASSERT_EQ(run_clusters(dim3(2), dim3(2), dim3(8), [] { cluster_wait_not_reached_kernel(); }),
            cudaErrorLaunchFailure);
  EXPECT_NE(std::string(hostgpu::last_kernel_fault()).find("barrier.cluster.wait"), std::string::npos)
      << hostgpu::last_kernel_fault();
}

// Block 1 traps while the other blocks wait for it at the cluster barrier.
__global__ void trap_in_one_block_kernel() {
  if (cluster_block_rank() == 1 && threadIdx.x == 5) __trap();
  cluster_sync();
}

TEST(ClusterTest, AFaultInOneBlockEndsTheWholeCluster) {
  for (const char* hostile : {static_cast<const char*>(nullptr), "12"}) {
    if (hostile != nullptr) setenv("HOSTGPU_HOSTILE", hostile, 1);
    const cudaError_t result = run_clusters(dim3(6), dim3(3), dim3(32), [] { trap_in_one_block_kernel(); });
    unsetenv("HOSTGPU_HOSTILE");
    ASSERT_EQ(result, cudaErrorLaunchFailure);
    EXPECT_NE(std::string(hostgpu::last_kernel_fault()).find("block (1,0,0), thread (5,0,0): __trap() called"),
              std::string::npos)
        << hostgpu::last_kernel_fault();
  }
}

// A 64 x 16 byte tile, multicast by block 0 to the blocks of the mask; every
// block counts the bytes on its own barrier.
__global__ void multicast_kernel(const CUtensorMap* map, uint16_t mask, unsigned char* out) {
  __shared__ __align__(128) unsigned char tile[16 * 64];
  __shared__ uint64_t full;
  const unsigned rank = cluster_block_rank();
  const bool receives = (mask >> rank) & 1u;
  for (unsigned i = threadIdx.x; i < sizeof(tile); i += blockDim.x) tile[i] = 0xEE;
  if (threadIdx.x == 0) {
    mbarrier_init(&full, 1);
    mbarrier_init_fence();
    if (receives) mbarrier_arrive_expect_tx(&full, sizeof(tile));
  }
  fence_proxy_async_shared();
  cluster_sync();
  if (rank == 0 && threadIdx.x == 0) tma_load_2d_multicast(tile, map, 16, 8, &full, mask);
  if (receives) mbarrier_wait_parity(&full, 0);
  for (unsigned i = threadIdx.x; i < sizeof(tile); i += blockDim.x) out[linear_block() * sizeof(tile) + i] = tile[i];
  cluster_sync();
}

TEST(ClusterTest, AMulticastCopyLandsInEveryBlockOfTheMaskAndCountsOnEachBarrier) {
  constexpr unsigned width = 64, height = 32;
  alignas(256) static unsigned char global[width * height];
  for (unsigned i = 0; i < sizeof(global); ++i) global[i] = static_cast<unsigned char>(i * 7 + 3);
  CUtensorMap map;
  const cuuint64_t dims[2] = {width, height};
  const cuuint64_t strides[1] = {width};
  const cuuint32_t box[2] = {16, 64};
  const cuuint32_t element_strides[2] = {1, 1};
  ASSERT_EQ(cuTensorMapEncodeTiled(&map, CU_TENSOR_MAP_DATA_TYPE_UINT8, 2, global, dims, strides, box,
                                   element_strides, CU_TENSOR_MAP_INTERLEAVE_NONE, CU_TENSOR_MAP_SWIZZLE_NONE,
                                   CU_TENSOR_MAP_L2_PROMOTION_NONE, CU_TENSOR_MAP_FLOAT_OOB_FILL_NONE),
            CUDA_SUCCESS);
  const uint16_t mask = 0b1011;
  std::vector<unsigned char> out(4 * 16 * 64, 0);
  ASSERT_EQ(run_clusters(dim3(4), dim3(4), dim3(32), [&] { multicast_kernel(&map, mask, out.data()); }),
            cudaSuccess)
      << hostgpu::last_kernel_fault();
  for (unsigned rank = 0; rank < 4; ++rank) {
    for (unsigned row = 0; row < 64; ++row) {
      for (unsigned column = 0; column < 16; ++column) {
        const unsigned x = 16 + column, y = 8 + row;
        const unsigned char expected = !((mask >> rank) & 1u) ? 0xEE
                                       : y < height           ? global[y * width + x]
                                                              : 0;
        ASSERT_EQ(out[rank * 1024 + row * 16 + column], expected) << rank << " " << row << " " << column;
      }
    }
  }
}

// The same kernels on a hostile device: blocks and threads in a shuffled
// order, poisoned memory, bulk copies that land only when their barrier is observed.
TEST(ClusterTest, TheClusterKernelsHoldOnAHostileDevice) {
  alignas(256) static unsigned char global[64 * 32];
  for (unsigned i = 0; i < sizeof(global); ++i) global[i] = static_cast<unsigned char>(i * 11 + 1);
  CUtensorMap map;
  const cuuint64_t dims[2] = {64, 32};
  const cuuint64_t strides[1] = {64};
  const cuuint32_t box[2] = {16, 64};
  const cuuint32_t element_strides[2] = {1, 1};
  ASSERT_EQ(cuTensorMapEncodeTiled(&map, CU_TENSOR_MAP_DATA_TYPE_UINT8, 2, global, dims, strides, box,
                                   element_strides, CU_TENSOR_MAP_INTERLEAVE_NONE, CU_TENSOR_MAP_SWIZZLE_NONE,
                                   CU_TENSOR_MAP_L2_PROMOTION_NONE, CU_TENSOR_MAP_FLOAT_OOB_FILL_NONE),
            CUDA_SUCCESS);
  for (const char* seed : {"3", "44", "2026"}) {
    setenv("HOSTGPU_HOSTILE", seed, 1);
    std::vector<unsigned> seen(8 * 64, ~0u), ranks(8, ~0u), gathered(32, 0);
    std::vector<unsigned char> out(4 * 16 * 64, 0);
    const cudaError_t neighbours = run_clusters(dim3(4, 2, 1), dim3(2, 2, 1), dim3(64), [&] {
      neighbour_rank_kernel(seen.data(), ranks.data());
    });
    const cudaError_t gather = run_clusters(dim3(4), dim3(4), dim3(32), [&] { gather_kernel(gathered.data()); });
    const cudaError_t multicast =
        run_clusters(dim3(4), dim3(4), dim3(32), [&] { multicast_kernel(&map, 0xf, out.data()); });
    unsetenv("HOSTGPU_HOSTILE");
    ASSERT_EQ(neighbours, cudaSuccess) << seed << ": " << hostgpu::last_kernel_fault();
    ASSERT_EQ(gather, cudaSuccess) << seed;
    ASSERT_EQ(multicast, cudaSuccess) << seed;
    for (unsigned block = 0; block < 8; ++block) {
      const unsigned rank = ranks[block];
      for (unsigned t = 0; t < 64; ++t) ASSERT_EQ(seen[block * 64 + t], 1000 * ((rank + 1) % 4) + t) << seed;
    }
    for (unsigned t = 0; t < 32; ++t) EXPECT_EQ(gathered[t], 60u) << seed;
    for (unsigned rank = 0; rank < 4; ++rank) {
      for (unsigned row = 0; row < 64; ++row) {
        for (unsigned column = 0; column < 16; ++column) {
          const unsigned y = 8 + row;
          const unsigned char expected = y < 32 ? global[y * 64 + 16 + column] : 0;
          ASSERT_EQ(out[rank * 1024 + row * 16 + column], expected) << seed << " " << rank << " " << row;
        }
      }
    }
  }
}

}  // namespace
