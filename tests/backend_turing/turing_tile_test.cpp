// The block tile of the Turing mining kernel: the debug GEMM tile computed
// with the mining configuration, and the walk of the padded one-dimensional
// grid over the tiles (the coordinate dump: row_coordinates_test.cpp).
#include <set>
#include <utility>
#include <vector>

#include "backends/turing_mining_kernel.h"
#include "engine/cpu_operand_reference.h"
#include "mining_attempt.h"
#include "turing_fixture.h"

namespace {

using TuringTileTest = TuringDeviceTest;

struct TileCase {
  int m, n, k;
};

TEST_F(TuringTileTest, DebugTileIsTheCpuProductOfTheOriginTileWrittenOnce) {
  for (const TileCase& c : {TileCase{128, 128, 64}, TileCase{128, 128, 256}, TileCase{256, 192, 128}}) {
    SCOPED_TRACE(c.k);
    std::vector<int8_t> a = cpu_fill_int8(31, int64_t(c.m) * c.k);
    std::vector<int8_t> b = cpu_fill_int8(32, int64_t(c.n) * c.k);
    // The extremes, where a sign or width slip would show.
    a[0] = -128;
    b[0] = -128;
    a[c.k - 1] = 127;
    b[c.k - 1] = -128;
    DeviceArray<int8_t> da(a), db(b);
    DeviceArray<int32_t> product(size_t(c.m) * c.n), counts(size_t(c.m) * c.n);
    ASSERT_EQ(turing_row().launch_debug_gemm_tile(da.ptr, db.ptr, product.ptr, counts.ptr, c.m, c.n, c.k, nullptr),
              cudaSuccess);
    const auto launch = last_launch();
    EXPECT_EQ(launch.grid.x, 1u);
    EXPECT_EQ(launch.block.x, 128u);
    EXPECT_EQ(launch.dynamic_shared_bytes, 16384u);
    const auto attributes = hostgpu::inspect::kernel_attributes(launch.kernel, 0);
    EXPECT_EQ(attributes.max_dynamic_shared_bytes, 16384);
    EXPECT_EQ(attributes.preferred_carveout, 100);
    const auto p = product.download();
    const auto n = counts.download();
    for (int i = 0; i < c.m; ++i) {
      for (int j = 0; j < c.n; ++j) {
        const size_t at = size_t(i) * c.n + j;
        if (i >= 128 || j >= 128) {
          ASSERT_EQ(n[at], 0) << "outside the tile";
          continue;
        }
        int32_t sum = 0;
        for (int t = 0; t < c.k; ++t) sum += int32_t(a[size_t(i) * c.k + t]) * b[size_t(j) * c.k + t];
        ASSERT_EQ(p[at], sum) << i << "," << j;
        ASSERT_EQ(n[at], 1);
      }
    }
  }
}

TEST_F(TuringTileTest, DebugTileRefusesBadArguments) {
  DeviceArray<int8_t> a(128 * 128), b(128 * 128);
  DeviceArray<int32_t> p(128 * 128), n(128 * 128);
  struct Case {
    const int8_t *a, *b;
    int32_t *p, *n;
    int m, nn, k;
  };
  const Case cases[] = {
      {nullptr, b.ptr, p.ptr, n.ptr, 128, 128, 64}, {a.ptr, nullptr, p.ptr, n.ptr, 128, 128, 64},
      {a.ptr, b.ptr, nullptr, n.ptr, 128, 128, 64}, {a.ptr, b.ptr, p.ptr, nullptr, 128, 128, 64},
      {a.ptr, b.ptr, p.ptr, n.ptr, 127, 128, 64},   {a.ptr, b.ptr, p.ptr, n.ptr, 128, 64, 64},
      {a.ptr, b.ptr, p.ptr, n.ptr, 128, 128, 0},    {a.ptr, b.ptr, p.ptr, n.ptr, 128, 128, 96},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const Case& c = cases[i];
    EXPECT_EQ(turing_row().launch_debug_gemm_tile(c.a, c.b, c.p, c.n, c.m, c.nn, c.k, nullptr),
              cudaErrorInvalidValue);
  }
  EXPECT_EQ(last_launch().kernel, nullptr);
}

// Runs slot 4's kernel with a tile list and returns the visits per tile.
std::vector<uint32_t> visits(int m, int n, const std::vector<uint32_t>& tiles, int first, unsigned* grid) {
  const int k = 64;
  const int count = (m / 128) * (n / 128);
  DeviceArray<int8_t> a(size_t(m) * k), b(size_t(n) * k);
  DeviceArray<uint32_t> target(8), seed(8), visited(size_t(count) + 1);
  DeviceArray<HostSignalSync> sync(1);
  DeviceArray<HostSignalHeader> header(1);
  DeviceArray<uint32_t> list(tiles.empty() ? std::vector<uint32_t>{0} : tiles);
  const vexal_turing::MiningTileList tile_list{tiles.empty() ? nullptr : list.ptr, int32_t(tiles.size()), first,
                                               visited.ptr, count + 1};
  EXPECT_EQ(vexal_turing::launch_headless_mine_tiles(a.ptr, b.ptr, m, n, k, header.ptr, sync.ptr, target.ptr,
                                                     seed.ptr, 64, tile_list, nullptr),
            cudaSuccess);
  *grid = last_launch().grid.x;
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  return visited.download();
}

TEST_F(TuringTileTest, EveryTileIsMinedOnceAndSurplusBlocksMineNothing) {
  unsigned grid = 0;
  // 3 x 2 tiles in 16 blocks, 10 of them surplus; the last count is past the tiles.
  EXPECT_EQ(visits(384, 256, {}, 0, &grid), (std::vector<uint32_t>{1, 1, 1, 1, 1, 1, 0}));
  EXPECT_EQ(grid, 16u);
  EXPECT_EQ(visits(128, 128, {}, 0, &grid), (std::vector<uint32_t>{1, 0}));
  EXPECT_EQ(grid, 8u);
}

TEST_F(TuringTileTest, TileListMinesOnlyTheListedTiles) {
  unsigned grid = 0;
  // Entries from the first: 4, 4, 1; the out-of-range tile 9 is skipped.
  EXPECT_EQ(visits(384, 256, {0, 4, 4, 1, 9}, 1, &grid), (std::vector<uint32_t>{0, 1, 0, 0, 2, 0, 0}));
}

}  // namespace
