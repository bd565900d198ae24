// The walk of the Turing mining kernel's padded one-dimensional grid over the
// tiles, with and without a tile list.
#include <vector>

#include "backends/turing_mining_kernel.h"
#include "mining_attempt.h"
#include "turing_fixture.h"

namespace {

using TuringTileTest = TuringDeviceTest;

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
