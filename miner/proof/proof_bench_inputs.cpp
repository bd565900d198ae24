#include "proof/proof_bench_inputs.h"

#include <stdexcept>
#include <string>

#include "core/config.h"
#include "core/mining_job.h"

std::vector<int8_t> fill_bench_matrix(BenchMatrix which, uint64_t elements) {
  std::vector<int8_t> matrix(elements);
  const uint64_t step = which == BenchMatrix::A ? 1 : 3;
  for (uint64_t i = 0; i < elements; ++i) {
    matrix[i] = static_cast<int8_t>(static_cast<int64_t>(step * i % 127) - 63);
  }
  return matrix;
}

std::array<uint8_t, 32> self_test_key() {
  std::array<uint8_t, 32> key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(0x11 + 7 * i);
  return key;
}

std::array<uint8_t, 32> bench_key() {
  std::array<uint8_t, 32> key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(0xA5 ^ (13 * i + 1));
  return key;
}

OpenedRowsCols bench_opened_rows_cols() {
  OpenedRowsCols opened;
  opened.rows = {0, 32};
  for (const int32_t col : default_opened_columns()) opened.cols.push_back(static_cast<uint64_t>(col));
  return opened;
}

void require_bench_shape(const Config& config, const char* mode) {
  if (config.m < 33 || config.n < 64 || config.k < 1) {
    throw std::runtime_error(std::string(mode) + " opens A rows 0 and 32 and B columns 0 to 63, "
                             "so it needs m >= 33, n >= 64 and k >= 1 (got m=" +
                             std::to_string(config.m) + " n=" + std::to_string(config.n) +
                             " k=" + std::to_string(config.k) + ")");
  }
}
