#include "core/device_rows.h"

#include "core/cuda_check.h"

std::vector<uint8_t> copy_rows_to_host(const int8_t* device_base, int64_t first_row,
                                       uint64_t row_count, int32_t row_bytes, const char* step) {
  const uint64_t bytes = row_count * static_cast<uint64_t>(static_cast<int64_t>(row_bytes));
  std::vector<uint8_t> rows(bytes);
  check_cuda(cudaMemcpy(rows.data(), device_base + static_cast<int64_t>(row_bytes) * first_row,
                        bytes, cudaMemcpyDeviceToHost),
             step);
  return rows;
}

std::vector<uint8_t> gather_device_rows(const int8_t* device_base,
                                        const std::vector<uint64_t>& row_indices,
                                        int32_t row_bytes, const char* step) {
  const uint64_t row_size = static_cast<uint64_t>(static_cast<int64_t>(row_bytes));
  std::vector<uint8_t> rows(row_indices.size() * row_size);
  for (size_t i = 0; i < row_indices.size(); ++i) {
    check_cuda(cudaMemcpy(rows.data() + i * row_size, device_base + row_indices[i] * row_size,
                          row_size, cudaMemcpyDeviceToHost),
               step);
  }
  return rows;
}
