// The cluster instructions in a block launched without a cluster, which is a
// cluster of one: rank 0, the cluster barrier is the block's, an arrival or a
// multicast copy reaches rank 0 only, and naming another rank faults.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "block_runner.h"
#include "core/device_instructions.h"
#include "hostgpu/tensor_map.h"

namespace {

TEST(PairClusterTest, ALoneBlockIsRankZeroAndItsBarrierIsTheBlocks) {
  std::vector<uint32_t> ranks(64, 99);
  std::vector<int> seen(64, 0);
  ASSERT_EQ(run_block(dim3(64),
                      [&] {
                        int* flag = hostgpu::dynamic_shared<int>();
                        if (threadIdx.x == 63) *flag = 7;
                        device_instructions::cluster_sync();
                        ranks[threadIdx.x] = device_instructions::cluster_ctarank();
                        seen[threadIdx.x] = *flag;
                      },
                      64),
            cudaSuccess)
      << last_fault();
  for (int t = 0; t < 64; ++t) {
    EXPECT_EQ(ranks[t], 0u);
    EXPECT_EQ(seen[t], 7);
  }
}

TEST(PairClusterTest, ArrivalOnRankZeroCompletesTheLocalPhase) {
  bool done = false;
  ASSERT_EQ(run_block(dim3(1),
                      [&] {
                        uint64_t* barrier = hostgpu::dynamic_shared<uint64_t>();
                        device_instructions::mbarrier_init(barrier, 1);
                        device_instructions::mbarrier_arrive_cluster(barrier, 0);
                        device_instructions::mbarrier_wait_parity_cluster(barrier, 0);
                        done = device_instructions::mbarrier_try_wait_parity(barrier, 0);
                      },
                      64),
            cudaSuccess)
      << last_fault();
  EXPECT_TRUE(done);
}

CUtensorMap byte_map(const void* data, uint64_t columns, uint64_t rows, uint32_t box_columns, uint32_t box_rows) {
  CUtensorMap map;
  const cuuint64_t dims[2] = {columns, rows};
  const cuuint64_t strides[1] = {columns};
  const cuuint32_t box[2] = {box_columns, box_rows};
  const cuuint32_t element_strides[2] = {1, 1};
  EXPECT_EQ(cuTensorMapEncodeTiled(&map, CU_TENSOR_MAP_DATA_TYPE_UINT8, 2, const_cast<void*>(data), dims, strides,
                                   box, element_strides, CU_TENSOR_MAP_INTERLEAVE_NONE, CU_TENSOR_MAP_SWIZZLE_128B,
                                   CU_TENSOR_MAP_L2_PROMOTION_L2_128B, CU_TENSOR_MAP_FLOAT_OOB_FILL_NONE),
            CUDA_SUCCESS);
  return map;
}

TEST(PairClusterTest, MulticastToTheLoneBlockIsThePlainLoad) {
  std::vector<uint8_t> global(256 * 16);
  for (size_t i = 0; i < global.size(); ++i) global[i] = static_cast<uint8_t>(i * 7 + 3);
  const CUtensorMap map = byte_map(global.data(), 256, 16, 128, 8);
  std::vector<uint8_t> multicast(1024), plain(1024);
  bool full = false;
  ASSERT_EQ(run_block(dim3(1),
                      [&] {
                        using namespace device_instructions;
                        unsigned char* shared = hostgpu::dynamic_shared<unsigned char>();
                        uint64_t* barrier = reinterpret_cast<uint64_t*>(shared + 4096);
                        mbarrier_init(barrier, 1);
                        mbarrier_arrive_expect_tx(barrier, 1024);
                        tma_load_2d_multicast(shared, &map, 128, 8, barrier, 0x1);
                        full = mbarrier_try_wait_parity(barrier, 0);
                        std::memcpy(multicast.data(), shared, 1024);
                        mbarrier_arrive_expect_tx(barrier, 1024);
                        tma_load_2d(shared + 1024, &map, 128, 8, barrier);
                        std::memcpy(plain.data(), shared + 1024, 1024);
                      },
                      8192),
            cudaSuccess)
      << last_fault();
  EXPECT_TRUE(full);
  EXPECT_EQ(multicast, plain);
}

TEST(PairClusterTest, NamingAnotherRankWithoutACoScheduledClusterFaults) {
  std::vector<uint8_t> global(256 * 16, 1);
  const CUtensorMap map = byte_map(global.data(), 256, 16, 128, 8);
  const struct {
    const char* name;
    int scenario;
    const char* fault;
  } cases[] = {{"arrival", 0, "rank 1 is not resident"}, {"multicast", 1, "rank 2 is not resident"}};
  for (const auto& c : cases) {
    EXPECT_EQ(run_block(dim3(1),
                        [&] {
                          using namespace device_instructions;
                          unsigned char* shared = hostgpu::dynamic_shared<unsigned char>();
                          uint64_t* barrier = reinterpret_cast<uint64_t*>(shared + 4096);
                          mbarrier_init(barrier, 2);
                          if (c.scenario == 0) mbarrier_arrive_cluster(barrier, 1);
                          if (c.scenario == 1) tma_load_2d_multicast(shared, &map, 0, 0, barrier, 0x5);
                        },
                        8192),
              cudaErrorLaunchFailure)
        << c.name;
    EXPECT_NE(last_fault().find(c.fault), std::string::npos) << c.name << ": " << last_fault();
  }
}

}  // namespace
