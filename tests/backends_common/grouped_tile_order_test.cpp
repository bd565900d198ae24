// The grouped tile order of the one-dimensional mining grids: every tile once,
// the padding surplus, and each group of M tiles finished across all N tiles
// before the next group starts (what keeps the group's A rows in L2).
#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "backends/grouped_tile_order.h"

namespace {

TEST(GroupedTileOrderTest, EveryTileOnceAndEachGroupCrossesAllNTilesBeforeTheNext) {
  struct Case {
    uint32_t tiles_m, tiles_n, padding, group, blocks;
  };
  // ada pads to 64 and walks groups of 64; the sm120 and native units pad to
  // 128 and walk groups of 64.
  const Case cases[] = {{1, 1, 64, 64, 64},     {65, 2, 64, 64, 256},  {64, 3, 64, 64, 192},
                        {1, 1, 128, 64, 128},   {129, 2, 128, 64, 512}, {128, 3, 128, 64, 384},
                        {200, 5, 128, 64, 1280}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.tiles_m << " x " << c.tiles_n << " padded to "
                                    << c.padding << ", groups of " << c.group);
    const uint32_t blocks = grouped_tile_order::padded_grid_blocks(c.tiles_m, c.tiles_n, c.padding);
    ASSERT_EQ(blocks, c.blocks);
    std::set<std::pair<uint32_t, uint32_t>> tiles;
    uint32_t surplus = 0;
    uint32_t last_group = 0;
    for (uint32_t block = 0; block < blocks; ++block) {
      uint32_t tile_m = 0;
      uint32_t tile_n = 0;
      const bool real =
          grouped_tile_order::tile_of_block(block, c.tiles_m, c.tiles_n, c.group, &tile_m, &tile_n);
      ASSERT_LT(tile_n, c.tiles_n);
      // Groups come in order: no block returns to an earlier group of M tiles.
      ASSERT_GE(tile_m / c.group, last_group);
      last_group = tile_m / c.group;
      if (!real) {
        EXPECT_GE(tile_m, c.tiles_m);
        ++surplus;
        continue;
      }
      EXPECT_TRUE(tiles.insert({tile_m, tile_n}).second) << "tile visited twice";
    }
    EXPECT_EQ(tiles.size(), size_t(c.tiles_m) * c.tiles_n);
    EXPECT_EQ(surplus, blocks - c.tiles_m * c.tiles_n);
  }
}

}  // namespace
