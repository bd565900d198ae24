// The host device's warp exchange, the rendezvous of the warp-collective
// instructions: every named lane deposits, every lane reads every deposit.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "block_runner.h"
#include "hostgpu/device_sync.h"

namespace {

struct Deposit {
  uint32_t lane;
  uint32_t warp;
  uint32_t square;
};

// Each thread records the table it received: 32 deposits.
std::vector<Deposit> exchange_in_block(dim3 block, unsigned mask, cudaError_t* result) {
  const unsigned threads = block.x * block.y * block.z;
  std::vector<Deposit> tables(threads * 32, Deposit{0xffffffffu, 0xffffffffu, 0xffffffffu});
  *result = run_block(block, [&] {
    const unsigned thread = linear_thread();
    const unsigned lane = thread % 32;
    if (((mask >> lane) & 1u) == 0) return;
    const Deposit mine{lane, thread / 32, lane * lane};
    const unsigned char* table = hostgpu::detail::warp_exchange("test exchange", mask, &mine, sizeof(Deposit));
    std::memcpy(&tables[thread * 32], table, 32 * sizeof(Deposit));
  });
  return tables;
}

TEST(WarpExchangeTest, EveryLaneReadsEveryDepositOfItsWarp) {
  struct Case {
    dim3 block;
    unsigned mask;
  };
  for (const Case c : {Case{dim3(64), 0xffffffffu}, Case{dim3(4, 4, 4), 0xffffffffu}, Case{dim3(32), 0x0000ff0fu},
                       Case{dim3(40), 0xffffffffu}}) {
    cudaError_t result;
    const std::vector<Deposit> tables = exchange_in_block(c.block, c.mask, &result);
    ASSERT_EQ(result, cudaSuccess) << last_fault();
    const unsigned threads = c.block.x * c.block.y * c.block.z;
    for (unsigned thread = 0; thread < threads; ++thread) {
      const unsigned warp = thread / 32;
      // Lanes outside the mask, or beyond the block's last thread, deposit nothing.
      const unsigned existing = threads - warp * 32 >= 32 ? 0xffffffffu : (1u << (threads - warp * 32)) - 1u;
      if (((c.mask >> (thread % 32)) & 1u) == 0) continue;
      for (unsigned lane = 0; lane < 32; ++lane) {
        const Deposit& got = tables[thread * 32 + lane];
        const bool deposited = ((c.mask & existing) >> lane) & 1u;
        EXPECT_EQ(got.lane, deposited ? lane : 0u) << "thread " << thread << " slot " << lane;
        EXPECT_EQ(got.warp, deposited ? warp : 0u) << "thread " << thread << " slot " << lane;
        EXPECT_EQ(got.square, deposited ? lane * lane : 0u) << "thread " << thread << " slot " << lane;
      }
    }
  }
}

TEST(WarpExchangeTest, DepositsOfDifferentSizesFault) {
  ASSERT_EQ(run_block(dim3(32),
                      [] {
                        const uint64_t mine = 1;
                        hostgpu::detail::warp_exchange("sized exchange", 0xffffffffu, &mine,
                                                       linear_thread() == 9 ? 4 : 8);
                      }),
            cudaErrorLaunchFailure);
  EXPECT_NE(last_fault().find("sized exchange (4 bytes per lane)"), std::string::npos) << last_fault();
}

TEST(WarpExchangeTest, ALaneAtAShuffleInsteadFaults) {
  ASSERT_EQ(run_block(dim3(32),
                      [] {
                        const uint32_t mine = 1;
                        if (linear_thread() == 0) {
                          __shfl_sync(0xffffffffu, mine, 0);
                        } else {
                          hostgpu::detail::warp_exchange("test exchange", 0xffffffffu, &mine, 4);
                        }
                      }),
            cudaErrorLaunchFailure);
  EXPECT_NE(last_fault().find("__shfl_sync"), std::string::npos) << last_fault();
}

}  // namespace
