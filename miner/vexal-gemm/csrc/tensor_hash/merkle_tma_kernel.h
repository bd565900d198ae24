#pragma once
// The leaf pass fed by bulk tensor copies: T hashing threads and P loader
// threads, of which one issues the copies. The matrix is read as a 2-D tensor
// of 32-bit words, 256 words (one chunk) per row; a stage holds one 128-byte
// column slice of T consecutive chunks (one or two boxes), so a chunk is
// hashed in 8 steps of two BLAKE3 blocks. Stages are refilled S - 1 steps
// ahead; a block barrier at the end of every step frees the stage just read.
#include <cstdint>

#include "core/device_instructions.h"
#include "core/gpu_platform.h"
#include "tensor_hash/hash_key_constant.h"
#include "tensor_hash/merkle_device.h"

namespace vexal {

// The tensor map of the matrix, as a kernel parameter (64-byte aligned as the
// copy unit requires), and the copy's (empty) auxiliary parameters.
struct MerkleTmaAuxParams {};
struct MerkleTmaLoad {
  CUtensorMap tensor_map;
  MerkleTmaAuxParams aux_params;
};

template <uint32_t T, uint32_t S, uint32_t P>
struct MerkleTreeRootsKernel {
  static_assert(T == 128 || T == 256 || T == 512, "hashing threads");
  static_assert(S >= 2, "a stage is refilled while another is read");

  static constexpr int MaxThreadsPerBlock = T + P;
  static constexpr int MinBlocksPerMultiprocessor = 1;

  static constexpr uint32_t kSliceBytes = 128;  // the column slice of a chunk in one step
  static constexpr uint32_t kSliceWords = kSliceBytes / 4;
  static constexpr uint32_t kSlicesPerChunk = merkle::kChunkBytes / kSliceBytes;
  static constexpr uint32_t kBoxRows = T == 128 ? 128 : 256;
  static constexpr uint32_t kBoxesPerStage = T / kBoxRows;
  static constexpr uint32_t kBoxBytes = kBoxRows * kSliceBytes;
  static constexpr uint32_t kStageBytes = kSliceBytes * T;
  // The chaining values, then the stages from the next 1024-byte boundary
  // (the 128-byte swizzle repeats every 1024 bytes).
  static constexpr size_t kSharedBytes = 1024 + 32 * T + size_t{kStageBytes} * S;

  struct Params {
    const uint8_t* data;
    uint32_t len_bytes;
    uint8_t* workspace;
    MerkleTmaLoad tma_load;
  };

  using Layout = merkle::LeafPassLayout<T>;

  __device__ static uint8_t* stage_base(char* shared) {
    const uintptr_t after_cvs = reinterpret_cast<uintptr_t>(shared) + 32 * T;
    return reinterpret_cast<uint8_t*>((after_cvs + 1023) & ~uintptr_t{1023});
  }

  // Issues the copies of step `step` into its stage: slice step % 8 of the
  // chunk rows of round step / 8 that exist.
  __device__ static void issue_step(const Params& params, uint8_t* stages, uint64_t* full,
                                    uint32_t step, uint32_t chunks) {
    const uint32_t stage = step % S;
    const uint32_t round = step / kSlicesPerChunk;
    const uint32_t slice = step % kSlicesPerChunk;
    const uint32_t first_row =
        blockIdx.x * Layout::kGroups * merkle::kChunksPerMtLeaf + round * Layout::kGroupThreads;
    uint32_t boxes = 0;
    for (uint32_t box = 0; box < kBoxesPerStage; ++box) {
      if (first_row + box * kBoxRows < chunks) ++boxes;
    }
    device_instructions::mbarrier_arrive_expect_tx(&full[stage], boxes * kBoxBytes);
    for (uint32_t box = 0; box < boxes; ++box) {
      device_instructions::tma_load_2d(stages + size_t{stage} * kStageBytes + box * kBoxBytes,
                                       &params.tma_load.tensor_map,
                                       static_cast<int32_t>(slice * kSliceWords),
                                       static_cast<int32_t>(first_row + box * kBoxRows),
                                       &full[stage]);
    }
  }

  // Two blocks of the thread's chunk from its row of the stage (rows are 128
  // bytes whose 16-byte units are swizzled by the row's position in its
  // 1024-byte period); bytes past the matrix read as zero.
  __device__ static void read_slice(const uint8_t* stage, uint32_t row, uint64_t slice_start,
                                    uint32_t len_bytes, uint32_t words[kSliceWords]) {
    const uint8_t* box = stage + (row / kBoxRows) * kBoxBytes;
    const uint32_t row_in_box = row % kBoxRows;
    const uint4* units = reinterpret_cast<const uint4*>(box + row_in_box * kSliceBytes);
    for (uint32_t u = 0; u < kSliceBytes / 16; ++u) {
      const uint4 v = units[u ^ (row_in_box & 7u)];
      words[4 * u] = v.x;
      words[4 * u + 1] = v.y;
      words[4 * u + 2] = v.z;
      words[4 * u + 3] = v.w;
    }
    if (slice_start + kSliceBytes > len_bytes) {
      for (uint32_t w = 0; w < kSliceWords; ++w) {
        const uint64_t at = slice_start + 4 * w;
        if (at >= len_bytes) {
          words[w] = 0;
        } else if (at + 4 > len_bytes) {
          words[w] &= (1u << (8 * static_cast<uint32_t>(len_bytes - at))) - 1u;
        }
      }
    }
  }

  __device__ void operator()(const Params& params, char* shared) {
    __shared__ uint64_t full[S];
    if (!Layout::block_has_work(params.len_bytes, blockIdx.x)) return;
    const Layout layout(params.len_bytes, blockIdx.x, threadIdx.x);
    const bool loader = threadIdx.x == T;
    const bool hasher = threadIdx.x < T;
    uint8_t* stages = stage_base(shared);
    merkle::Cv* group = reinterpret_cast<merkle::Cv*>(shared) +
                        (hasher ? (threadIdx.x / Layout::kGroupThreads) * Layout::kGroupThreads : 0);

    // Rounds that have any chunk in this block (T = 128 may need only the first).
    const uint32_t block_first = blockIdx.x * Layout::kGroups * merkle::kChunksPerMtLeaf;
    uint32_t rounds = 0;
    while (rounds < Layout::kRounds &&
           block_first + rounds * Layout::kGroupThreads < layout.chunks) {
      ++rounds;
    }
    const uint32_t steps = rounds * kSlicesPerChunk;

    if (loader) {
      for (uint32_t s = 0; s < S; ++s) device_instructions::mbarrier_init(&full[s], 1);
      device_instructions::mbarrier_init_fence();
    }
    __syncthreads();
    if (loader) {
      for (uint32_t step = 0; step + 1 < S && step < steps; ++step) {
        issue_step(params, stages, full, step, layout.chunks);
      }
    }
    __syncthreads();

    uint32_t key[8];
    merkle::load_key(key, c_key);
    uint32_t cv[8];
    merkle::Cv leaf;
    for (uint32_t step = 0; step < steps; ++step) {
      const uint32_t round = step / kSlicesPerChunk;
      const uint32_t slice = step % kSlicesPerChunk;
      if (loader && step + S - 1 < steps) {
        issue_step(params, stages, full, step + S - 1, layout.chunks);
      }
      if (hasher && layout.index < layout.round_chunks(round)) {
        if (slice == 0) {
          for (int i = 0; i < 8; ++i) cv[i] = key[i];
        }
        device_instructions::mbarrier_wait_parity(&full[step % S], (step / S) & 1u);
        const uint32_t chunk = layout.chunk_of(round);
        const uint64_t slice_start = uint64_t{chunk} * merkle::kChunkBytes + slice * kSliceBytes;
        uint32_t words[kSliceWords];
        read_slice(stages + size_t{step % S} * kStageBytes, threadIdx.x, slice_start,
                   params.len_bytes, words);
        merkle::chunk_block(cv, words, chunk, 2 * slice);
        merkle::chunk_block(cv, words + 16, chunk, 2 * slice + 1);
        if (slice == kSlicesPerChunk - 1) {
          for (int i = 0; i < 8; ++i) group[layout.index].w[i] = cv[i];
        }
      }
      __syncthreads();  // the stage of this step is free for the loader again
      if (slice == kSlicesPerChunk - 1) merkle::finish_round(layout, group, round, key, leaf);
    }
    if (hasher && layout.index == 0 && layout.leaf_chunks > 0) {
      merkle::store_cv(params.workspace + uint64_t{layout.mt_leaf} * sizeof(merkle::Cv), leaf);
    }
  }
};

}  // namespace vexal
