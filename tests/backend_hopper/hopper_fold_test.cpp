// The consumer warp groups' transcript fold: every candidate's fold equals
// the XOR of the 128 cells it opens, fold after fold, with the slot sets
// reused.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/device_instructions.h"
#include "gemm/hopper_fold.h"
#include "gemm/hopper_gemm_kernel.h"
#include "hostgpu/executor.h"

namespace {

using namespace vexal::hopper_detail;

// A cell value of the 128 x 256 tile at fold f.
uint32_t cell(int f, int row, int col) {
  uint32_t x = uint32_t(f) * 0x9e3779b9u ^ uint32_t(row) * 0x85ebca6bu ^ uint32_t(col) * 0xc2b2ae35u;
  x ^= x >> 15;
  return x * 0x2c1b3c6du;
}

TEST(HopperFoldTest, EachOwnerGetsTheXorOfItsCandidatesCells) {
  constexpr int kFolds = 5;
  std::vector<uint32_t> folds(kFolds * 256, 0);
  hostgpu::GridLaunch launch;
  launch.grid = dim3(1);
  launch.block = dim3(256);
  const cudaError_t result = hostgpu::execute_grid(launch, [&] {
    __shared__ FoldExchange exchanges[2];
    const int consumer = static_cast<int>(threadIdx.x);
    const int group = consumer / 128;
    const int t = consumer % 128;
    if (consumer == 0) {
      for (FoldExchange& e : exchanges) init_fold_exchange(e);
    }
    __syncthreads();
    for (int f = 0; f < kFolds; ++f) {
      GroupAccumulators a;
      for (int h = 0; h < 2; ++h) {
        for (int v = 0; v < 64; ++v) {
          const int row = 64 * h + device_instructions::wgmma_accumulator_row(t, v);
          const int col = 128 * group + device_instructions::wgmma_accumulator_col(t, v);
          a.acc[h][v] = cell(f, row, col);
        }
      }
      folds[f * 256 + consumer] = fold_group(a, exchanges[group], t, f);
    }
  });
  ASSERT_EQ(result, cudaSuccess) << hostgpu::last_kernel_fault();
  for (int f = 0; f < kFolds; ++f) {
    for (int c = 0; c < 256; ++c) {
      uint32_t expected = 0;
      for (int v = 0; v < kValuesPerThread; ++v) {
        const TilePosition at = candidate_position(c, v);
        expected ^= cell(f, at.row, at.col);
      }
      ASSERT_EQ(folds[f * 256 + c], expected) << "fold " << f << " candidate " << c;
    }
  }
}

}  // namespace
