#pragma once
// The operand fill: the bytes filled from a uint64 seed are the extended
// output of the plain BLAKE3 hash of the seed's 8 little-endian bytes, so
// byte p of the fill is byte p of `b3sum --length` over those 8 bytes.
#include <cstdint>

#include "core/gpu_platform.h"
#include "gemm/blake3_xof.h"

// Fill bytes 64·block_index to 64·block_index + 63, as 16 little-endian words.
__host__ __device__ inline void operand_fill_block(uint64_t seed, uint64_t block_index,
                                                   uint32_t out[16]) {
  blake3::ShortMessage message{};
  message.words[0] = static_cast<uint32_t>(seed);
  message.words[1] = static_cast<uint32_t>(seed >> 32);
  message.length = 8;
  const uint32_t unused_key[8] = {};
  blake3::xof_block(unused_key, false, message, block_index, out);
}
