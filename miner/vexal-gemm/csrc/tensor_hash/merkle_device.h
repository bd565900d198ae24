#pragma once
// Device-side building blocks of the keyed Merkle tree over 1024-byte chunks:
// a chunk's chaining value, block by block; parents; and the level-by-level
// reduction of a group of chaining values in shared memory (neighbours pair
// up, an odd last node moves up unchanged), which is BLAKE3's own tree shape.
#include <cstdint>

#include "core/gpu_platform.h"
#include "tensor_hash/blake3_constants.h"
#include "tensor_hash/blake3_device.h"

namespace vexal::merkle {

constexpr uint32_t kChunkBytes = blake3::kChunkLen;
constexpr uint32_t kChunksPerMtLeaf = 256;

// A 32-byte chaining value; also the layout of one workspace entry.
struct alignas(16) Cv {
  uint32_t w[8];
};

__host__ __device__ constexpr uint32_t log2_of(uint32_t power_of_two) {
  return power_of_two <= 1 ? 0 : 1 + log2_of(power_of_two / 2);
}

// Chunks of a matrix, without overflow for the largest 32-bit length.
__host__ __device__ inline uint32_t chunk_count(uint32_t len_bytes) {
  return len_bytes / kChunkBytes + (len_bytes % kChunkBytes != 0 ? 1u : 0u);
}

__device__ inline void load_key(uint32_t key[8], const uint32_t* source) {
  for (int i = 0; i < 8; ++i) key[i] = source[i];
}

// Block `index` (0..15) of a chunk, compressed into the chunk's chaining value.
__device__ inline void chunk_block(uint32_t cv[8], const uint32_t block[16], uint64_t chunk_index,
                                   uint32_t index) {
  uint32_t flags = blake3::KEYED_HASH;
  if (index == 0) flags |= blake3::CHUNK_START;
  if (index == blake3::kChunkLen / blake3::kBlockLen - 1) flags |= blake3::CHUNK_END;
  blake3::compress_cv(cv, block, chunk_index, blake3::kBlockLen, flags, cv);
}

// Parent of two nodes; `top` for the root of the whole tree.
__device__ inline Cv parent(const uint32_t key[8], const Cv& left, const Cv& right, bool top) {
  blake3::CompressParams params;
  if (top) {
    params = blake3::COMPRESS_PARAMS_ROOT;
  } else {
    params = blake3::COMPRESS_PARAMS_INNER_NODE;
  }
  uint32_t block[16];
  for (int i = 0; i < 8; ++i) {
    block[i] = left.w[i];
    block[i + 8] = right.w[i];
  }
  Cv out;
  blake3::compress_cv(key, block, params.counter, params.block_len, params.flags, out.w);
  return out;
}

// Reduces the `count` nodes at group[0..count) to one node at group[0]. Every
// thread of the block calls this with the same `levels` (log2 of the largest
// group); the thread at `index` in its group does that index's share, and a
// thread with count 0 only keeps the barriers. The last parent is `top`.
// Nodes written by any thread before the call are seen.
__device__ inline void reduce_group(Cv* group, uint32_t index, uint32_t count, uint32_t levels,
                                    const uint32_t key[8], bool top) {
  __syncthreads();  // the nodes written before the call
  for (uint32_t level = 0; level < levels; ++level) {
    const uint32_t pairs = count / 2;
    Cv node;
    bool write = false;
    if (index < pairs) {
      node = parent(key, group[2 * index], group[2 * index + 1], top && count == 2);
      write = true;
    } else if (index == pairs && (count & 1u) != 0 && index != count - 1) {
      node = group[count - 1];
      write = true;
    }
    __syncthreads();  // every read of this level before any write
    if (write) group[index] = node;
    __syncthreads();
    count = (count + 1) / 2;
  }
}

__device__ inline Cv load_cv(const uint8_t* entry) {
  const uint4* words = reinterpret_cast<const uint4*>(entry);
  const uint4 low = words[0];
  const uint4 high = words[1];
  return Cv{{low.x, low.y, low.z, low.w, high.x, high.y, high.z, high.w}};
}

__device__ inline void store_cv(uint8_t* entry, const Cv& cv) {
  uint4* words = reinterpret_cast<uint4*>(entry);
  words[0] = make_uint4(cv.w[0], cv.w[1], cv.w[2], cv.w[3]);
  words[1] = make_uint4(cv.w[4], cv.w[5], cv.w[6], cv.w[7]);
}

// Which chunks a leaf-pass block of T hashing threads covers: groups of up to
// 256 threads, one MT leaf per group (two for T = 512); with T = 128 the
// group takes its MT leaf in two rounds of 128 chunks, so the blocks past the
// last MT leaf have nothing to do.
template <uint32_t T>
struct LeafPassLayout {
  static constexpr uint32_t kGroupThreads = T < kChunksPerMtLeaf ? T : kChunksPerMtLeaf;
  static constexpr uint32_t kGroups = T / kGroupThreads;
  static constexpr uint32_t kRounds = kChunksPerMtLeaf / kGroupThreads;
  static constexpr uint32_t kLevels = log2_of(kGroupThreads);

  uint32_t chunks;        // of the matrix
  uint32_t mt_leaf;       // of this thread's group
  uint32_t leaf_chunks;   // chunks of that MT leaf (0 when it does not exist)
  uint32_t index;         // of the thread in its group
  bool single_mt_leaf;    // the whole tree is this MT leaf: its top is the root

  __device__ LeafPassLayout(uint32_t len_bytes, uint32_t block, uint32_t thread) {
    chunks = chunk_count(len_bytes);
    const uint32_t group = thread < T ? thread / kGroupThreads : 0;
    index = thread < T ? thread % kGroupThreads : 0;
    mt_leaf = block * kGroups + group;
    const uint64_t first = uint64_t{mt_leaf} * kChunksPerMtLeaf;
    leaf_chunks = first >= chunks ? 0u
                  : chunks - first < kChunksPerMtLeaf ? static_cast<uint32_t>(chunks - first)
                                                      : kChunksPerMtLeaf;
    if (thread >= T) leaf_chunks = 0;  // loader threads hash nothing
    single_mt_leaf = chunks <= kChunksPerMtLeaf;
  }

  // Whether any group of block `block` has chunks (uniform over the block).
  __device__ static bool block_has_work(uint32_t len_bytes, uint32_t block) {
    return uint64_t{block} * kGroups * kChunksPerMtLeaf < chunk_count(len_bytes);
  }

  __device__ uint32_t round_chunks(uint32_t round) const {
    const uint32_t start = round * kGroupThreads;
    if (leaf_chunks <= start) return 0;
    const uint32_t rest = leaf_chunks - start;
    return rest < kGroupThreads ? rest : kGroupThreads;
  }

  __device__ uint32_t chunk_of(uint32_t round) const {
    return mt_leaf * kChunksPerMtLeaf + round * kGroupThreads + index;
  }
};

// After a round's chaining values are in the group's shared memory: reduces
// them and folds the result into the MT leaf in `leaf` (held by the group's
// first thread). Called by every thread of the block.
template <uint32_t T>
__device__ inline void finish_round(const LeafPassLayout<T>& layout, Cv* group, uint32_t round,
                                    const uint32_t key[8], Cv& leaf) {
  const uint32_t count = layout.round_chunks(round);
  // The round holds the whole tree only when the matrix is this one round.
  const bool top = layout.single_mt_leaf && count == layout.leaf_chunks;
  reduce_group(group, layout.index, count, LeafPassLayout<T>::kLevels, key, top);
  if (layout.index == 0 && count > 0) {
    leaf = round == 0 ? group[0] : parent(key, leaf, group[0], layout.single_mt_leaf);
  }
}

}  // namespace vexal::merkle
