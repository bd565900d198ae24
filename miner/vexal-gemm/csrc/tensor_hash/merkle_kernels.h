#pragma once
// The kernels of the keyed Merkle root: the direct leaf pass (reads the
// matrix from global memory), the subtree pass over MT leaves and the final
// reduction of subtree roots. Each reads its key from c_key.
#include <cstdint>

#include "core/gpu_platform.h"
#include "tensor_hash/hash_key_constant.h"
#include "tensor_hash/merkle_device.h"

namespace vexal {

// Leaf pass: hashes the chunks and leaves MT leaf g in workspace entry g.
template <uint32_t T>
struct MerkleTreeRootsKernelDirect {
  static constexpr int MaxThreadsPerBlock = T;
  static constexpr int MinBlocksPerMultiprocessor = 1;
  static constexpr size_t kSharedBytes = 32 * T;

  struct Params {
    const uint8_t* data;
    uint32_t len_bytes;
    uint8_t* workspace;
  };

  __device__ static void load_block(const uint8_t* chunk, uint32_t valid_bytes, bool aligned,
                                    uint32_t index, uint32_t block[16]) {
    const uint8_t* bytes = chunk + index * blake3::kBlockLen;
    const uint32_t offset = index * blake3::kBlockLen;
    if (aligned && offset + blake3::kBlockLen <= valid_bytes) {
      const uint4* words = reinterpret_cast<const uint4*>(bytes);
      for (int i = 0; i < 4; ++i) {
        const uint4 v = words[i];
        block[4 * i] = v.x;
        block[4 * i + 1] = v.y;
        block[4 * i + 2] = v.z;
        block[4 * i + 3] = v.w;
      }
      return;
    }
    // The short last chunk reads as zero past the matrix.
    for (uint32_t w = 0; w < 16; ++w) {
      uint32_t word = 0;
      for (uint32_t b = 0; b < 4; ++b) {
        const uint32_t at = offset + 4 * w + b;
        if (at < valid_bytes) word |= static_cast<uint32_t>(bytes[4 * w + b]) << (8 * b);
      }
      block[w] = word;
    }
  }

  __device__ void operator()(const Params& params, char* shared) {
    using Layout = merkle::LeafPassLayout<T>;
    if (!Layout::block_has_work(params.len_bytes, blockIdx.x)) return;
    const Layout layout(params.len_bytes, blockIdx.x, threadIdx.x);
    uint32_t key[8];
    merkle::load_key(key, c_key);
    merkle::Cv* group = reinterpret_cast<merkle::Cv*>(shared) +
                        (threadIdx.x / Layout::kGroupThreads) * Layout::kGroupThreads;
    const bool aligned = (reinterpret_cast<uintptr_t>(params.data) & 15u) == 0;
    merkle::Cv leaf;
    for (uint32_t round = 0; round < Layout::kRounds; ++round) {
      if (layout.index < layout.round_chunks(round)) {
        const uint32_t chunk = layout.chunk_of(round);
        const uint64_t start = uint64_t{chunk} * merkle::kChunkBytes;
        const uint64_t rest = params.len_bytes - start;
        const uint32_t valid = rest < merkle::kChunkBytes ? static_cast<uint32_t>(rest)
                                                          : merkle::kChunkBytes;
        uint32_t cv[8];
        for (int i = 0; i < 8; ++i) cv[i] = key[i];
        for (uint32_t b = 0; b < blake3::kChunkLen / blake3::kBlockLen; ++b) {
          uint32_t block[16];
          load_block(params.data + start, valid, aligned, b, block);
          merkle::chunk_block(cv, block, chunk, b);
        }
        for (int i = 0; i < 8; ++i) group[layout.index].w[i] = cv[i];
      }
      merkle::finish_round(layout, group, round, key, leaf);
    }
    if (layout.index == 0 && layout.leaf_chunks > 0) {
      merkle::store_cv(params.workspace + uint64_t{layout.mt_leaf} * sizeof(merkle::Cv), leaf);
    }
  }
};

// Subtree pass: block b combines MT leaves b*L .. b*L+L-1 (fewer in the last
// block) into one node, left in entry b*L, the block's own first entry, which
// no other block reads. With is_root the single block's node is the root.
template <uint32_t L, bool is_root>
struct ComputeBlakeMTKernel {
  static constexpr int MaxThreadsPerBlock = L;
  static constexpr int MinBlocksPerMultiprocessor = 1;
  static constexpr size_t kSharedBytes = 32 * L;

  struct Params {
    uint8_t* workspace;
    uint32_t num_leaves;
  };

  __device__ void operator()(const Params& params, char* shared) {
    uint32_t key[8];
    merkle::load_key(key, c_key);
    merkle::Cv* nodes = reinterpret_cast<merkle::Cv*>(shared);
    const uint32_t first = blockIdx.x * L;
    const uint32_t rest = params.num_leaves - first;
    const uint32_t count = rest < L ? rest : L;
    if (threadIdx.x < count) {
      nodes[threadIdx.x] =
          merkle::load_cv(params.workspace + uint64_t{first + threadIdx.x} * sizeof(merkle::Cv));
    }
    merkle::reduce_group(nodes, threadIdx.x, count, merkle::log2_of(L), key, is_root);
    if (threadIdx.x == 0) {
      merkle::store_cv(params.workspace + uint64_t{first} * sizeof(merkle::Cv), nodes[0]);
    }
  }
};

// Reduction: combines the subtree roots, root_stride entries apart from entry
// 0 on, into the matrix root in entry 0. num_roots is at most T.
template <uint32_t T>
struct ReduceRootsKernel {
  static constexpr int MaxThreadsPerBlock = T;
  static constexpr int MinBlocksPerMultiprocessor = 1;
  static constexpr size_t kSharedBytes = 32 * T;

  struct Params {
    uint8_t* workspace;
    uint32_t num_roots;
    uint32_t root_stride;  // entries between neighbouring subtree roots (the subtree size)
  };

  __device__ void operator()(const Params& params, char* shared) {
    uint32_t key[8];
    merkle::load_key(key, c_key);
    merkle::Cv* nodes = reinterpret_cast<merkle::Cv*>(shared);
    const uint32_t count = params.num_roots < T ? params.num_roots : T;
    if (threadIdx.x < count) {
      nodes[threadIdx.x] = merkle::load_cv(
          params.workspace + uint64_t{threadIdx.x} * params.root_stride * sizeof(merkle::Cv));
    }
    merkle::reduce_group(nodes, threadIdx.x, count, merkle::log2_of(T), key, true);
    if (threadIdx.x == 0) merkle::store_cv(params.workspace, nodes[0]);
  }
};

}  // namespace vexal
