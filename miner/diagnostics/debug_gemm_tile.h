#pragma once
// Checks a backend's int8 matrix-multiply tile against a CPU product.
#include <cstdint>
#include <string>
#include <vector>

struct Config;
struct GpuBackendDescriptor;

struct GemmTileShape {
  int32_t m = 0;
  int32_t n = 0;
};

// The tile the row's mining kernel covers: its getters when it has them.
GemmTileShape debug_gemm_tile_shape(const GpuBackendDescriptor& row);

// The fixed operands: count values of the A-side or B-side sequence.
std::vector<int8_t> debug_gemm_operand(int64_t count, bool a_side);

struct GemmTileComparison {
  int32_t mismatches = 0;
  int32_t bad_counts = 0;
  int32_t first_row = -1;  // first mismatching cell, row-major order
  int32_t first_col = -1;
  int32_t first_gpu = 0;
  int32_t first_cpu = 0;
  int32_t first_count = 0;
};

// a is m x k, b is n x k (row j holds column j), product and counts m x n row-major.
GemmTileComparison compare_gemm_tile(const std::vector<int8_t>& a, const std::vector<int8_t>& b,
                                     int32_t m, int32_t n, int32_t k,
                                     const std::vector<int32_t>& product,
                                     const std::vector<int32_t>& counts);

std::string debug_gemm_tile_line(int32_t k, const GemmTileComparison& comparison);

// The whole mode on the current device: prints one line, throws on a bad k or
// a CUDA failure. Mismatches are reported, not raised.
void run_debug_gemm_tile(const Config& config, const GpuBackendDescriptor& row);
