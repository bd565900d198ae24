#pragma once
// How the four noise factors follow from the two 32-byte noise seeds. Shared
// by the generator kernel and the CPU references; docs/network-rules.md
// states the same rule for verifiers.
//
// For a seed S (as the key of keyed BLAKE3):
//   left factor (rows x rank, row-major): byte i·rank + r of the keyed
//     extended output of the message "left";
//   right factor (rank x k, row-major, 0 or 1): column c holds 1 in exactly
//     the two rows column_rows(word c) picks from word c (bytes 4c..4c+3,
//     little-endian) of the keyed extended output of the message "right".
// A's factors come from the A seed, B's from the B seed.
#include <cstdint>

#include "core/gpu_platform.h"
#include "gemm/blake3_xof.h"

namespace vexal::noise_rule {

enum class Stream : uint32_t { left, right, extra };

__host__ __device__ inline blake3::ShortMessage stream_message(Stream stream) {
  blake3::ShortMessage message{};
  switch (stream) {
    case Stream::left:  // "left"
      message.words[0] = 0x7466656cu;
      message.length = 4;
      break;
    case Stream::right:  // "right"
      message.words[0] = 0x68676972u;
      message.words[1] = 0x74u;
      message.length = 5;
      break;
    case Stream::extra:  // "extra"
      message.words[0] = 0x72747865u;
      message.words[1] = 0x61u;
      message.length = 5;
      break;
  }
  return message;
}

// Block `block_index` (64 bytes, as 16 words) of one seed's stream.
__host__ __device__ inline void stream_block(const uint32_t seed_words[8], Stream stream,
                                             uint64_t block_index, uint32_t out[16]) {
  blake3::xof_block(seed_words, true, stream_message(stream), block_index, out);
}

__host__ __device__ inline void load_seed(const uint8_t* seed, uint32_t words[8]) {
  for (int i = 0; i < 8; ++i) words[i] = blake3::load_le32(seed + 4 * i);
}

// The two distinct rows (0 <= row < rank, rank >= 2) of a right-factor
// column, from its stream word.
__host__ __device__ inline void column_rows(uint32_t word, int rank, int* first, int* second) {
  const uint32_t r = static_cast<uint32_t>(rank);
  const uint32_t row0 = word % r;
  const uint32_t row1 = (row0 + 1u + (word >> 16) % (r - 1u)) % r;
  *first = static_cast<int>(row0);
  *second = static_cast<int>(row1);
}

}  // namespace vexal::noise_rule
