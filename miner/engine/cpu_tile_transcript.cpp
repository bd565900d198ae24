#include "engine/cpu_tile_transcript.h"

#include <cstddef>

#include "core/blake3_block.h"
#include "core/config.h"
#include "proof/plain_proof.h"

namespace {

uint32_t rotl32(uint32_t word, int bits) { return (word << bits) | (word >> (32 - bits)); }

}  // namespace

void cpu_tile_transcript(uint8_t out_hash[32], const std::vector<int8_t>& a_rows,
                         const std::vector<int8_t>& b_rows, const OpenedRowsCols& shape,
                         const uint8_t key[32], const Config& config, uint32_t out_state[16]) {
  const size_t row_count = shape.rows.size();
  const size_t col_count = shape.cols.size();
  const size_t k = static_cast<size_t>(config.k);
  const size_t rank = static_cast<size_t>(config.rank);
  // Wrap-around sums, as the GPU's int32 accumulators.
  std::vector<uint32_t> acc(row_count * col_count, 0);
  uint32_t state[16] = {};
  for (size_t t = 0; t < k; ++t) {
    for (size_t i = 0; i < row_count; ++i) {
      const int32_t a = a_rows[i * k + t];
      for (size_t j = 0; j < col_count; ++j) {
        acc[i * col_count + j] += static_cast<uint32_t>(a * static_cast<int32_t>(b_rows[j * k + t]));
      }
    }
    if ((t + 1) % rank == 0) {
      uint32_t fold = 0;
      for (uint32_t value : acc) fold ^= value;
      const size_t s = ((t + 1) / rank - 1) % 16;
      state[s] = fold ^ rotl32(state[s], 13);
    }
  }
  for (int i = 0; i < 16; ++i) out_state[i] = state[i];
  blake3_keyed_hash_block(out_hash, state, key);
}
