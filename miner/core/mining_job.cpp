#include "core/mining_job.h"

std::vector<int32_t> default_opened_columns() {
  std::vector<int32_t> cols(64);
  for (int32_t i = 0; i < 64; ++i) cols[i] = i;
  return cols;
}
