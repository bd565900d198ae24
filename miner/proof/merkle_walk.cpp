#include "proof/merkle_walk.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "proof/plain_proof.h"

std::vector<uint64_t> opened_leaf_indices(const std::vector<uint64_t>& rows, uint64_t row_length) {
  std::vector<uint64_t> leaves;
  for (const uint64_t row : rows) {
    const uint64_t first = row * row_length / kProofChunkBytes;
    const uint64_t last = (row * row_length + row_length - 1) / kProofChunkBytes;
    for (uint64_t leaf = first; leaf <= last; ++leaf) leaves.push_back(leaf);
  }
  std::sort(leaves.begin(), leaves.end());
  leaves.erase(std::unique(leaves.begin(), leaves.end()), leaves.end());
  return leaves;
}

void require_rows_inside(const std::vector<uint64_t>& rows, int64_t row_length,
                         uint64_t matrix_bytes, const char* what) {
  if (row_length < 1) {
    throw std::invalid_argument(std::string("proof of ") + what + ": row length " +
                                std::to_string(row_length) + " is below 1");
  }
  // A row beyond the matrix would name leaves and tree nodes that do not exist.
  const uint64_t row_count = matrix_bytes / static_cast<uint64_t>(row_length);
  for (const uint64_t row : rows) {
    if (row >= row_count) {
      throw std::invalid_argument(std::string("proof of ") + what + ": opened row " +
                                  std::to_string(row) + " is outside its " +
                                  std::to_string(row_count) + " rows");
    }
  }
}

std::vector<TreeNodeRef> sibling_walk(const std::vector<uint64_t>& leaf_indices,
                                      uint64_t leaf_count) {
  std::vector<TreeNodeRef> siblings;
  std::vector<uint64_t> opened = leaf_indices;
  std::sort(opened.begin(), opened.end());
  opened.erase(std::unique(opened.begin(), opened.end()), opened.end());
  uint64_t width = leaf_count;
  for (uint32_t level = 0; width > 1 && !opened.empty(); ++level) {
    for (const uint64_t node : opened) {
      const bool even = node % 2 == 0;
      const uint64_t partner = even ? node + 1 : node - 1;
      if (even && partner >= width) continue;  // carried up unpaired
      if (std::binary_search(opened.begin(), opened.end(), partner)) continue;
      siblings.push_back({level, partner});
    }
    for (uint64_t& node : opened) node /= 2;
    opened.erase(std::unique(opened.begin(), opened.end()), opened.end());
    width = (width + 1) / 2;
  }
  return siblings;
}
