#pragma once
// The order in which a grid of clusters visits its cluster tiles: the M tiles
// in groups of `group`, each group walked across every N tile before the next
// group starts (the last group holds what is left). Clusters launched one
// after another then share their A rows in L2 while B streams past them, so
// A comes from DRAM about once per launch and B once per group, instead of A
// once per column of clusters.
#include <cstdint>

#include "core/gpu_platform.h"

namespace cluster_tile_order {

// The tile (tile_m, tile_n) of the cluster launched `index`-th, in a grid of
// tiles_m x tiles_n cluster tiles; every index below tiles_m x tiles_n gets a
// tile of its own.
__host__ __device__ inline void tile_of_cluster(uint32_t index, uint32_t tiles_m, uint32_t tiles_n,
                                                uint32_t group, uint32_t* tile_m, uint32_t* tile_n) {
  const uint32_t whole = tiles_m / group * group;  // M tiles in whole groups
  if (index < whole * tiles_n) {
    const uint32_t group_clusters = group * tiles_n;
    *tile_m = index / group_clusters * group + index % group;
    *tile_n = index % group_clusters / group;
    return;
  }
  const uint32_t rest = tiles_m - whole;
  const uint32_t local = index - whole * tiles_n;
  *tile_m = whole + local % rest;
  *tile_n = local / rest;
}

}  // namespace cluster_tile_order
