#pragma once
// The two rules every proof builder shares: which leaves an opened row covers,
// and which tree nodes the opening must carry so the root can be recomputed.
#include <cstdint>
#include <vector>

// The leaves covered by the rows (row length k), ascending and unique.
std::vector<uint64_t> opened_leaf_indices(const std::vector<uint64_t>& rows, uint64_t row_length);

// Throws std::invalid_argument unless k >= 1 and every row lies inside a
// matrix of `matrix_bytes` bytes; `what` names the matrix in the message.
void require_rows_inside(const std::vector<uint64_t>& rows, int64_t row_length,
                         uint64_t matrix_bytes, const char* what);

struct TreeNodeRef {
  uint32_t level;
  uint64_t index;  // within its level
};

// The sibling walk: for each level, bottom up, the partners of the opened
// nodes that are neither opened themselves nor missing; the root never.
std::vector<TreeNodeRef> sibling_walk(const std::vector<uint64_t>& leaf_indices,
                                      uint64_t leaf_count);
