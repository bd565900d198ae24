#include "diagnostics/debug_gemm_tile.h"

#include <iostream>
#include <stdexcept>

#include "backends/backend_descriptor.h"
#include "core/config.h"
#include "core/cuda_check.h"
#include "engine/device_buffer.h"

GemmTileShape debug_gemm_tile_shape(const GpuBackendDescriptor& row) {
  const std::string name = row.name;
  const bool wide = name == "ada_sm89" || name == "hopper_sm90" || name == "blackwell_sm120" ||
                    name == "blackwell_native_sm120";
  GemmTileShape shape;
  shape.m = row.tile_m ? row.tile_m() : 128;
  shape.n = row.tile_n ? row.tile_n() : (wide ? 256 : 128);
  return shape;
}

std::vector<int8_t> debug_gemm_operand(int64_t count, bool a_side) {
  std::vector<int8_t> values(static_cast<size_t>(count));
  for (int64_t i = 0; i < count; ++i) {
    const int32_t index = static_cast<int32_t>(i);
    const int32_t value = a_side ? (17 * index + 3) % 127 : (29 * index + 11) % 127;
    values[static_cast<size_t>(i)] = static_cast<int8_t>(value - 63);
  }
  return values;
}

GemmTileComparison compare_gemm_tile(const std::vector<int8_t>& a, const std::vector<int8_t>& b,
                                     int32_t m, int32_t n, int32_t k,
                                     const std::vector<int32_t>& product,
                                     const std::vector<int32_t>& counts) {
  GemmTileComparison result;
  for (int32_t i = 0; i < m; ++i) {
    for (int32_t j = 0; j < n; ++j) {
      uint32_t sum = 0;  // wraps like the device's int32
      for (int32_t t = 0; t < k; ++t) {
        sum += static_cast<uint32_t>(static_cast<int32_t>(a[static_cast<size_t>(i) * k + t]) *
                                     static_cast<int32_t>(b[static_cast<size_t>(j) * k + t]));
      }
      const int32_t expected = static_cast<int32_t>(sum);
      const size_t cell = static_cast<size_t>(i) * n + j;
      if (counts[cell] != 1) ++result.bad_counts;
      if (product[cell] != expected) {
        if (result.mismatches == 0) {
          result.first_row = i;
          result.first_col = j;
          result.first_gpu = product[cell];
          result.first_cpu = expected;
          result.first_count = counts[cell];
        }
        ++result.mismatches;
      }
    }
  }
  return result;
}

std::string debug_gemm_tile_line(int32_t k, const GemmTileComparison& c) {
  std::string line = "debug_gemm_tile k=" + std::to_string(k) +
                     " mismatches=" + std::to_string(c.mismatches) +
                     " bad_counts=" + std::to_string(c.bad_counts);
  if (c.mismatches != 0 || c.bad_counts != 0) {
    line += " first=(" + std::to_string(c.first_row) + "," + std::to_string(c.first_col) + ")" +
            " gpu=" + std::to_string(c.first_gpu) + " cpu=" + std::to_string(c.first_cpu) +
            " count=" + std::to_string(c.first_count);
  }
  return line + "\n";
}

void run_debug_gemm_tile(const Config& config, const GpuBackendDescriptor& row) {
  const GemmTileShape tile = debug_gemm_tile_shape(row);
  const int32_t k = config.k;
  if (k <= 0 || k % 64 != 0) {
    throw std::runtime_error("--debug-gemm-tile requires --k multiple of 64");
  }
  const std::vector<int8_t> a = debug_gemm_operand(static_cast<int64_t>(tile.m) * k, true);
  const std::vector<int8_t> b = debug_gemm_operand(static_cast<int64_t>(tile.n) * k, false);
  const uint64_t cells = static_cast<uint64_t>(tile.m) * static_cast<uint64_t>(tile.n);

  OwnedDeviceBuffer<int8_t> device_a(allocate_device_buffer<int8_t>(a.size(), "cudaMalloc"));
  OwnedDeviceBuffer<int8_t> device_b(allocate_device_buffer<int8_t>(b.size(), "cudaMalloc"));
  OwnedDeviceBuffer<int32_t> device_c(allocate_device_buffer<int32_t>(cells, "cudaMalloc"));
  OwnedDeviceBuffer<int32_t> device_counts(allocate_device_buffer<int32_t>(cells, "cudaMalloc"));
  check_cuda(cudaMemcpy(device_a.data(), a.data(), a.size(), cudaMemcpyHostToDevice),
             "copy debug GEMM A");
  check_cuda(cudaMemcpy(device_b.data(), b.data(), b.size(), cudaMemcpyHostToDevice),
             "copy debug GEMM B");
  check_cuda(cudaMemset(device_c.data(), 0, cells * sizeof(int32_t)), "clear debug GEMM C");
  check_cuda(cudaMemset(device_counts.data(), 0, cells * sizeof(int32_t)),
             "clear debug GEMM counts");
  const cudaError_t launched =
      row.launch_debug_gemm_tile
          ? row.launch_debug_gemm_tile(device_a.data(), device_b.data(), device_c.data(),
                                       device_counts.data(), tile.m, tile.n, k, nullptr)
          : cudaErrorInvalidValue;
  check_cuda(launched, "debug_gemm_tile");
  check_cuda(cudaDeviceSynchronize(), "debug GEMM synchronize");

  std::vector<int32_t> product(cells);
  std::vector<int32_t> counts(cells);
  check_cuda(cudaMemcpy(product.data(), device_c.data(), cells * sizeof(int32_t),
                        cudaMemcpyDeviceToHost),
             "copy debug GEMM C");
  check_cuda(cudaMemcpy(counts.data(), device_counts.data(), cells * sizeof(int32_t),
                        cudaMemcpyDeviceToHost),
             "copy debug GEMM counts");
  std::cout << debug_gemm_tile_line(k, compare_gemm_tile(a, b, tile.m, tile.n, k, product, counts));
  std::cout.flush();
}
