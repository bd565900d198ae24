// The padded one-dimensional mining grid of the CuTe tensor-core units.
#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "backends/ampere_cute_mining.h"

namespace {

TEST(CuteMiningGridTest, BlocksCoverEveryTileOnceAndSurplusBlocksAreMarked) {
  struct Case {
    uint32_t tiles_m, tiles_n, group, blocks;
  };
  // Groups of 8 M tiles (ampere) and 16 (CMP 170HX) for every N tile.
  const Case cases[] = {{1, 1, 8, 8},    {3, 2, 8, 16},    {8, 1, 8, 8},    {9, 3, 8, 48},
                        {1, 1, 16, 16},  {17, 2, 16, 64},  {16, 4, 16, 64}, {1024, 1024, 8, 1048576}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.tiles_m << " x " << c.tiles_n << " group " << c.group);
    const uint32_t blocks = ampere_cute::padded_grid_blocks(c.tiles_m, c.tiles_n, c.group);
    ASSERT_EQ(blocks, c.blocks);
    if (blocks > 100000) continue;
    std::set<std::pair<uint32_t, uint32_t>> tiles;
    uint32_t surplus = 0;
    for (uint32_t block = 0; block < blocks; ++block) {
      uint32_t tile_m = 0;
      uint32_t tile_n = 0;
      if (!ampere_cute::tile_of_block(block, c.tiles_m, c.tiles_n, c.group, &tile_m, &tile_n)) {
        EXPECT_GE(tile_m, c.tiles_m);
        ++surplus;
        continue;
      }
      EXPECT_LT(tile_n, c.tiles_n);
      EXPECT_TRUE(tiles.insert({tile_m, tile_n}).second) << "tile visited twice";
    }
    EXPECT_EQ(tiles.size(), size_t(c.tiles_m) * c.tiles_n);
    EXPECT_EQ(surplus, blocks - c.tiles_m * c.tiles_n);
  }
}

TEST(CuteMiningGridTest, CellOwnersInvertTheCandidateLayout) {
  for (int thread = 0; thread < 128; ++thread) {
    for (int v = 0; v < 128; ++v) {
      const TilePosition at = explicit_mining::value_position(thread, v);
      ASSERT_EQ(ampere_cute::cell_owner(at.row, at.col), thread);
      ASSERT_EQ(ampere_cute::cell_value_index(at.row, at.col), v);
    }
  }
}

}  // namespace
