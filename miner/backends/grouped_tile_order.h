#pragma once
// The order in which a one-dimensional mining grid visits the tiles: the M
// tiles in groups of `group`, each group walked across every N tile before
// the next group starts, the blocks of one N tile consecutive. The group's
// A rows then stay in L2 while B streams past them: A is read from DRAM
// about once per attempt and B once per group, instead of A once per N tile.
#include <cstdint>

#include "core/gpu_platform.h"

namespace grouped_tile_order {

// The tile of `block` in a grid of padded_grid_blocks(tiles_m, tiles_n, g)
// blocks for any g that `group` divides. Returns false for a surplus block
// (its M tile lies at or beyond tiles_m).
__host__ __device__ inline bool tile_of_block(uint32_t block, uint32_t tiles_m, uint32_t tiles_n,
                                              uint32_t group, uint32_t* tile_m, uint32_t* tile_n) {
  const uint32_t group_blocks = group * tiles_n;
  const uint32_t local = block % group_blocks;
  *tile_n = local / group;
  *tile_m = block / group_blocks * group + local % group;
  return *tile_m < tiles_m;
}

// The M tiles raised to a whole number of groups, times the N tiles.
__host__ __device__ inline uint32_t padded_grid_blocks(uint32_t tiles_m, uint32_t tiles_n,
                                                       uint32_t group) {
  return (tiles_m + group - 1) / group * group * tiles_n;
}

}  // namespace grouped_tile_order
