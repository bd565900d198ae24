#pragma once
// The CPU keyed Merkle tree of one matrix, every level kept, laid out like the
// GPU node arrays (TreeLevels) so either side can serve as the other's check.
#include <cstdint>
#include <vector>

#include "engine/tree_levels.h"

// All 32-byte nodes of the tree over `bytes` bytes (at least one) under the
// key, at their global node index in `levels` (= merkle_tree_levels(bytes)).
std::vector<uint8_t> cpu_merkle_nodes(const int8_t* data, uint64_t bytes, const uint8_t key[32],
                                      const TreeLevels& levels);
