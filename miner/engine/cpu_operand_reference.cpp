#include "engine/cpu_operand_reference.h"

#include <cstddef>

#include "backends/operand_fill_rule.h"
#include "gemm/noise_factor_rule.h"

std::vector<int8_t> cpu_fill_int8(uint64_t seed, int64_t count) {
  std::vector<int8_t> bytes(static_cast<size_t>(count));
  uint32_t block[16];
  for (int64_t p = 0; p < count; ++p) {
    if (p % 64 == 0) operand_fill_block(seed, static_cast<uint64_t>(p / 64), block);
    bytes[static_cast<size_t>(p)] = static_cast<int8_t>(block[(p % 64) / 4] >> (8 * (p % 4)));
  }
  return bytes;
}

CpuNoiseFactors cpu_noise_factors(const uint8_t seed[32], int rows, int k, int rank) {
  using vexal::noise_rule::Stream;
  uint32_t key[8];
  vexal::noise_rule::load_seed(seed, key);
  CpuNoiseFactors factors;
  const size_t left_bytes = static_cast<size_t>(rows) * static_cast<size_t>(rank);
  factors.left.resize(left_bytes);
  uint32_t block[16];
  for (size_t p = 0; p < left_bytes; ++p) {
    if (p % 64 == 0) vexal::noise_rule::stream_block(key, Stream::left, p / 64, block);
    factors.left[p] = static_cast<int8_t>(block[(p % 64) / 4] >> (8 * (p % 4)));
  }
  factors.right.assign(static_cast<size_t>(rank) * static_cast<size_t>(k), 0);
  for (int c = 0; c < k; ++c) {
    if (c % 16 == 0) vexal::noise_rule::stream_block(key, Stream::right, static_cast<uint64_t>(c / 16), block);
    int first = 0;
    int second = 0;
    vexal::noise_rule::column_rows(block[c % 16], rank, &first, &second);
    factors.right[static_cast<size_t>(first) * k + c] = 1;
    factors.right[static_cast<size_t>(second) * k + c] = 1;
  }
  return factors;
}

std::vector<int8_t> cpu_apply_noise(const std::vector<int8_t>& x, const std::vector<int8_t>& left,
                                    const std::vector<int8_t>& right, int rows, int k, int rank) {
  std::vector<int8_t> out(x.size());
  for (int i = 0; i < rows; ++i) {
    for (int c = 0; c < k; ++c) {
      int32_t noise = 0;
      for (int r = 0; r < rank; ++r) {
        noise += static_cast<int32_t>(left[static_cast<size_t>(i) * rank + r]) *
                 right[static_cast<size_t>(r) * k + c];
      }
      const size_t at = static_cast<size_t>(i) * k + c;
      out[at] = static_cast<int8_t>(static_cast<uint8_t>(static_cast<uint8_t>(x[at]) +
                                                         static_cast<uint8_t>(noise & 0xff)));
    }
  }
  return out;
}
