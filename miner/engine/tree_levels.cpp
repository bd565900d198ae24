#include "engine/tree_levels.h"

TreeLevels merkle_tree_levels(uint64_t bytes) {
  TreeLevels levels;
  uint64_t count = bytes / 1024 + (bytes % 1024 != 0 ? 1 : 0);
  if (count == 0) count = 1;
  for (;;) {
    levels.offsets.push_back(levels.total);
    levels.counts.push_back(count);
    levels.total += count;
    if (count == 1) break;
    count = count / 2 + count % 2;
  }
  return levels;
}
