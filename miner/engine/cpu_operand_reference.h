#pragma once
// CPU references of the operand fill, the noise factors and the sparse noise,
// for checks of the GPU's results (the rules: docs/network-rules.md).
#include <cstdint>
#include <vector>

// The count bytes that fill_int8 writes for a seed.
std::vector<int8_t> cpu_fill_int8(uint64_t seed, int64_t count);

// The noise factors of one operand from its 32-byte noise seed.
struct CpuNoiseFactors {
  std::vector<int8_t> left;   // rows x rank, row-major
  std::vector<int8_t> right;  // rank x k, row-major, 0 or 1
};
CpuNoiseFactors cpu_noise_factors(const uint8_t seed[32], int rows, int k, int rank);

// The noised operand: x + left · right, byte by byte modulo 256, with the
// product computed densely (x is rows x k).
std::vector<int8_t> cpu_apply_noise(const std::vector<int8_t>& x, const std::vector<int8_t>& left,
                                    const std::vector<int8_t>& right, int rows, int k, int rank);
