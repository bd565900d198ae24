// Asynchronous copies and their groups: a copy reads its source when issued
// and lands when a wait covers its group, so reads before the wait see the old
// shared contents.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "block_runner.h"
#include "core/device_instructions.h"
#include "hostgpu/device_shared.h"

namespace {

using namespace device_instructions;

struct alignas(16) Words {
  uint32_t w[4];
};

TEST(CpAsyncTest, WaitGroupLandsTheOlderGroupsOnly) {
  alignas(16) static Words global[3] = {{{1, 2, 3, 4}}, {{5, 6, 7, 8}}, {{9, 10, 11, 12}}};
  std::vector<uint32_t> seen;
  ASSERT_EQ(run_block(dim3(1),
                      [&] {
                        Words* shared = hostgpu::dynamic_shared<Words>();
                        std::memset(shared, 0xee, 3 * sizeof(Words));
                        auto snapshot = [&] {
                          for (int i = 0; i < 3; ++i) seen.push_back(shared[i].w[0]);
                        };
                        cp_async_cg(&shared[0], &global[0]);
                        cp_async_commit_group();
                        cp_async_ca<16>(&shared[1], &global[1]);
                        cp_async_commit_group();
                        cp_async_ca<16>(&shared[2], &global[2]);  // not committed
                        snapshot();
                        cp_async_wait_group<1>();
                        snapshot();
                        cp_async_wait_group<0>();
                        snapshot();
                        cp_async_wait_all();
                        snapshot();
                      },
                      3 * sizeof(Words)),
            cudaSuccess)
      << last_fault();
  const uint32_t old = 0xeeeeeeeeu;
  EXPECT_EQ(seen, (std::vector<uint32_t>{old, old, old, 1, old, old, 1, 5, old, 1, 5, 9}));
}

TEST(CpAsyncTest, SizesAndZeroFillCopyTheDocumentedBytes) {
  struct Case {
    const char* name;
    int form;  // 0: ca, 1: ca zfill, 2: cg, 3: cg zfill
    int bytes;
    uint32_t source_bytes;
  };
  const Case cases[] = {
      {"ca 4", 0, 4, 4},          {"ca 8", 0, 8, 8},           {"ca 16", 0, 16, 16}, {"cg 16", 2, 16, 16},
      {"ca 8 from 3", 1, 8, 3},   {"ca 16 from 0", 1, 16, 0},  {"cg 16 from 5", 3, 16, 5},
      {"cg 16 from 16", 3, 16, 16},
  };
  alignas(16) static const unsigned char source[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  for (const Case& c : cases) {
    std::vector<unsigned char> landed(32);
    ASSERT_EQ(run_block(dim3(1),
                        [&] {
                          unsigned char* shared = hostgpu::dynamic_shared<unsigned char>();
                          std::memset(shared, 0xaa, 32);
                          switch (c.form * 100 + c.bytes) {
                            case 4: cp_async_ca<4>(shared, source); break;
                            case 8: cp_async_ca<8>(shared, source); break;
                            case 16: cp_async_ca<16>(shared, source); break;
                            case 108: cp_async_ca_zfill<8>(shared, source, c.source_bytes); break;
                            case 116: cp_async_ca_zfill<16>(shared, source, c.source_bytes); break;
                            case 216: cp_async_cg(shared, source); break;
                            case 316: cp_async_cg_zfill(shared, source, c.source_bytes); break;
                          }
                          cp_async_wait_all();
                          std::memcpy(landed.data(), shared, 32);
                        },
                        32),
              cudaSuccess)
        << c.name << ": " << last_fault();
    for (int i = 0; i < 32; ++i) {
      const int expected = i >= c.bytes ? 0xaa : (uint32_t(i) < c.source_bytes ? source[i] : 0);
      EXPECT_EQ(landed[i], expected) << c.name << " byte " << i;
    }
  }
}

TEST(CpAsyncTest, TheSourceIsReadWhenTheCopyIsIssued) {
  alignas(16) static uint32_t source[4] = {7, 7, 7, 7};
  uint32_t landed = 0;
  ASSERT_EQ(run_block(dim3(1),
                      [&] {
                        uint32_t* shared = hostgpu::dynamic_shared<uint32_t>();
                        cp_async_ca<4>(shared, source);
                        source[0] = 8;
                        cp_async_wait_all();
                        landed = shared[0];
                      },
                      16),
            cudaSuccess);
  EXPECT_EQ(landed, 7u);
}

// Each thread's groups are its own: a thread's wait lands only its copies,
// and a block barrier then shows them to the others.
TEST(CpAsyncTest, GroupsBelongToTheIssuingThread) {
  alignas(16) static uint32_t source[2][4] = {{100, 0, 0, 0}, {200, 0, 0, 0}};
  std::vector<uint32_t> seen(4, 0);
  ASSERT_EQ(run_block(dim3(2),
                      [&] {
                        uint32_t* shared = hostgpu::dynamic_shared<uint32_t>();
                        const unsigned me = threadIdx.x;
                        shared[4 * me] = 0;
                        __syncthreads();
                        cp_async_cg(&shared[4 * me], source[me]);
                        cp_async_commit_group();
                        if (me == 0) cp_async_wait_group<0>();
                        __syncthreads();
                        seen[me] = shared[4 * (1 - me)];
                        __syncthreads();
                        if (me == 1) cp_async_wait_group<0>();
                        __syncthreads();
                        seen[2 + me] = shared[4 * (1 - me)];
                      },
                      32),
            cudaSuccess);
  EXPECT_EQ(seen, (std::vector<uint32_t>{0, 100, 200, 100}));
}

TEST(CpAsyncTest, CopiesPendingWhenTheThreadReturnsStillLand) {
  alignas(16) static const uint32_t source[4] = {42, 43, 44, 45};
  alignas(16) static uint32_t destination[4] = {};
  ASSERT_EQ(run_block(dim3(1), [&] { cp_async_cg(destination, source); }), cudaSuccess);
  EXPECT_EQ(destination[3], 45u);
}

TEST(CpAsyncTest, AMisalignedCopyFaults) {
  alignas(16) static const unsigned char source[32] = {};
  ASSERT_EQ(run_block(dim3(1),
                      [&] {
                        unsigned char* shared = hostgpu::dynamic_shared<unsigned char>();
                        cp_async_ca<8>(shared + 4, source);
                      },
                      32),
            cudaErrorLaunchFailure);
  EXPECT_NE(last_fault().find("misaligned"), std::string::npos) << last_fault();
}

}  // namespace
