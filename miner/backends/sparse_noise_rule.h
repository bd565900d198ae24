#pragma once
// The sparse noise: every column c of a right factor holds 1 in exactly two
// rows (noise_factor_rule.h), so the noise (left · right)[i][c] is the sum of
// the two left-factor bytes of row i in those rows. The noised operand is the
// operand plus its noise, byte by byte, modulo 256.
#include <cstdint>

#include "core/gpu_platform.h"

// The first two rows of column `column` of a right factor (rank x k, row-major)
// that are not zero, lowest first; -1 where a column has fewer.
__host__ __device__ inline void sparse_column_indices(const int8_t* right, int64_t k, int rank,
                                                      int64_t column, int16_t* first,
                                                      int16_t* second) {
  int16_t found[2] = {-1, -1};
  int count = 0;
  for (int r = 0; r < rank && count < 2; ++r) {
    if (right[static_cast<int64_t>(r) * k + column] != 0) found[count++] = static_cast<int16_t>(r);
  }
  *first = found[0];
  *second = found[1];
}

// One noised byte from the operand byte, its row of the left factor and the
// column's two indices (indices outside the row add nothing).
__host__ __device__ inline int8_t sparse_noised_byte(int8_t x, const int8_t* left_row, int rank,
                                                     int16_t first, int16_t second) {
  uint32_t sum = static_cast<uint8_t>(x);
  if (first >= 0 && first < rank) sum += static_cast<uint8_t>(left_row[first]);
  if (second >= 0 && second < rank) sum += static_cast<uint8_t>(left_row[second]);
  return static_cast<int8_t>(static_cast<uint8_t>(sum));
}
