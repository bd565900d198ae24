#pragma once
// The commitment: seed_a || seed_b is the 64-byte keyed BLAKE3 output of the
// one-block input root_a || root_b, i.e. all 16 output words of a single
// compression (counter 0, block length 64, CHUNK_START|CHUNK_END|ROOT|KEYED_HASH).
#include <cstdint>

#include "core/gpu_platform.h"
#include "tensor_hash/blake3_constants.h"
#include "tensor_hash/blake3_device.h"

namespace vexal {

struct CommitmentHashFromMerkleRootsKernel {
  static constexpr int MaxThreadsPerBlock = 1;
  static constexpr int MinBlocksPerMultiprocessor = 1;

  struct Params {
    const uint8_t* root_a;
    const uint8_t* root_b;
    const uint8_t* key;
    uint8_t* seed_a;
    uint8_t* seed_b;
  };

  __device__ void operator()(const Params& params, char*) {
    if (threadIdx.x != 0 || blockIdx.x != 0) return;
    uint32_t key[8];
    uint32_t block[16];
    for (int i = 0; i < 8; ++i) {
      key[i] = blake3::load_le32(params.key + 4 * i);
      block[i] = blake3::load_le32(params.root_a + 4 * i);
      block[i + 8] = blake3::load_le32(params.root_b + 4 * i);
    }
    const blake3::CompressParams single = blake3::COMPRESS_PARAMS_SINGLE_BLOCK_KEYED;
    uint32_t out[16];
    blake3::compress(key, block, single.counter, single.block_len, single.flags, out);
    for (int i = 0; i < 8; ++i) {
      blake3::store_le32(params.seed_a + 4 * i, out[i]);
      blake3::store_le32(params.seed_b + 4 * i, out[i + 8]);
    }
  }
};

}  // namespace vexal
