#include "proof/merkle_tree_cpu.h"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstring>

extern "C" {
#include "blake3_impl.h"
}

#include "proof/plain_proof.h"

namespace {

// Inputs handed to the library's many-input path per call.
constexpr size_t kHashBatch = 256;

// Level 0: each chunk's chaining value (counter = chunk index, no ROOT).
void hash_leaves(const uint8_t* data, uint64_t bytes, const uint32_t key_words[8],
                 uint8_t* leaves) {
  const uint64_t full_chunks = bytes / kProofChunkBytes;
  std::array<const uint8_t*, kHashBatch> inputs;
  for (uint64_t first = 0; first < full_chunks; first += kHashBatch) {
    const size_t count = static_cast<size_t>(std::min<uint64_t>(kHashBatch, full_chunks - first));
    for (size_t i = 0; i < count; ++i) inputs[i] = data + (first + i) * kProofChunkBytes;
    blake3_hash_many(inputs.data(), count, kProofChunkBytes / BLAKE3_BLOCK_LEN, key_words, first,
                     true, KEYED_HASH, CHUNK_START, CHUNK_END, leaves + first * kProofNodeBytes);
  }
  const uint64_t tail = bytes % kProofChunkBytes;
  if (tail != 0) {
    // Only the short last chunk is copied, zero-padded to a full chunk.
    std::array<uint8_t, kProofChunkBytes> padded{};
    std::memcpy(padded.data(), data + full_chunks * kProofChunkBytes, tail);
    const uint8_t* input = padded.data();
    blake3_hash_many(&input, 1, kProofChunkBytes / BLAKE3_BLOCK_LEN, key_words, full_chunks, true,
                     KEYED_HASH, CHUNK_START, CHUNK_END,
                     leaves + full_chunks * kProofNodeBytes);
  }
}

// One level up: neighbours paired (they are adjacent, so each pair is one
// 64-byte block in place), an odd last node carried up unchanged.
void hash_parents(const uint8_t* children, uint64_t child_count, const uint32_t key_words[8],
                  uint8_t* parents) {
  const uint64_t pairs = child_count / 2;
  std::array<const uint8_t*, kHashBatch> inputs;
  for (uint64_t first = 0; first < pairs; first += kHashBatch) {
    const size_t count = static_cast<size_t>(std::min<uint64_t>(kHashBatch, pairs - first));
    for (size_t i = 0; i < count; ++i) inputs[i] = children + (first + i) * 2 * kProofNodeBytes;
    blake3_hash_many(inputs.data(), count, 1, key_words, 0, false, PARENT | KEYED_HASH, 0, 0,
                     parents + first * kProofNodeBytes);
  }
  if (child_count % 2 != 0) {
    std::memcpy(parents + pairs * kProofNodeBytes, children + (child_count - 1) * kProofNodeBytes,
                kProofNodeBytes);
  }
}

}  // namespace

std::vector<uint8_t> cpu_merkle_nodes(const int8_t* data, uint64_t bytes, const uint8_t key[32],
                                      const TreeLevels& levels) {
  uint32_t key_words[8];
  load_key_words(key, key_words);  // the library's little-endian read
  std::vector<uint8_t> nodes(levels.total * kProofNodeBytes);
  hash_leaves(reinterpret_cast<const uint8_t*>(data), bytes, key_words, nodes.data());
  for (size_t level = 1; level < levels.counts.size(); ++level) {
    const uint8_t* children = nodes.data() + levels.offsets[level - 1] * kProofNodeBytes;
    uint8_t* parents = nodes.data() + levels.offsets[level] * kProofNodeBytes;
    const uint64_t child_count = levels.counts[level - 1];
    if (child_count == 2) {
      uint8_t output[64];
      blake3_compress_xof(key_words, children, BLAKE3_BLOCK_LEN, 0, PARENT | ROOT | KEYED_HASH,
                          output);
      std::memcpy(parents, output, kProofNodeBytes);
    } else {
      hash_parents(children, child_count, key_words, parents);
    }
  }
  return nodes;
}
