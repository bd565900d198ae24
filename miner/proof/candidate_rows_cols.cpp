#include "proof/candidate_rows_cols.h"

#include <algorithm>
#include <set>

#include "backends/kernel_signal.h"

OpenedRowsCols candidate_rows_cols(const HostSignalHeader& header) {
  // The pair arrays hold 256 entries; a larger count could only come from a
  // corrupted header and must not read past them.
  const size_t capacity = sizeof(header.pair_rows) / sizeof(header.pair_rows[0]);
  const size_t pairs = std::min<size_t>(header.pair_count, capacity);
  std::set<uint16_t> tile_rows;
  std::set<uint16_t> tile_cols;
  for (size_t i = 0; i < pairs; ++i) {
    tile_rows.insert(header.pair_rows[i]);
    tile_cols.insert(header.pair_cols[i]);
  }
  const int64_t row_base = static_cast<int64_t>(header.tile_m_index) * header.tile_height;
  const int64_t col_base = static_cast<int64_t>(header.tile_n_index) * header.tile_width;
  OpenedRowsCols opened;
  for (const uint16_t row : tile_rows) opened.rows.push_back(static_cast<uint64_t>(row_base + row));
  for (const uint16_t col : tile_cols) opened.cols.push_back(static_cast<uint64_t>(col_base + col));
  return opened;
}
