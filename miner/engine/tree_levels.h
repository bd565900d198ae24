#pragma once
// Node layout of the keyed Merkle tree over one matrix of 1024-byte leaves:
// level 0 (the leaves) first, each further level half as long (rounded up),
// down to the single root. Node i of level l sits at offsets[l] + i in a
// flat array of 32-byte nodes.
#include <cstdint>
#include <vector>

struct TreeLevels {
  std::vector<uint64_t> offsets;  // global index of each level's first node
  std::vector<uint64_t> counts;   // nodes per level
  uint64_t total = 0;             // nodes in all levels
};

// The layout for a matrix of `bytes` bytes; an empty matrix still has one leaf.
TreeLevels merkle_tree_levels(uint64_t bytes);
