#pragma once
// BLAKE3's extended output for a message of at most one block (64 bytes):
// output block j is the root compression of the message's only block with
// counter j, so any block of the stream can be made on its own. The
// generators of the operands and the noise factors are streams of this kind.
#include <cstdint>

#include "core/gpu_platform.h"
#include "tensor_hash/blake3_device.h"

namespace blake3 {

// A one-block message: up to 16 little-endian words and its length in bytes.
struct ShortMessage {
  uint32_t words[16];
  uint32_t length;
};

// Output block `block_index` (bytes 64·j to 64·j + 63 of the stream) of the
// hash of `message`, keyed with `key` when `keyed`, else the plain hash.
__host__ __device__ inline void xof_block(const uint32_t key[8], bool keyed,
                                          const ShortMessage& message, uint64_t block_index,
                                          uint32_t out[16]) {
  uint32_t cv[8];
  for (int i = 0; i < 8; ++i) cv[i] = keyed ? key[i] : iv(i);
  compress(cv, message.words, block_index, message.length,
           CHUNK_START | CHUNK_END | ROOT | (keyed ? KEYED_HASH : 0u), out);
}

}  // namespace blake3
