// Device unit of the GPU proof build: leaf and parent hashing of the Merkle
// levels, and the fill of a proof template's placeholders.
#include <cstdint>
#include <string>
#include <stdexcept>

#include "core/gpu_platform.h"
#include "core/kernel_launch.h"
#include "proof/gpu_plain_proof.h"
#include "tensor_hash/blake3_device.h"

namespace {

constexpr unsigned kHashThreads = 128;
constexpr unsigned kFillThreads = 256;
constexpr uint64_t kChunkBytes = 1024;
constexpr uint64_t kNodeBytes = 32;

__device__ __forceinline__ void load_words(const uint8_t* bytes, uint32_t* words, int count) {
  for (int i = 0; i < count; ++i) words[i] = blake3::load_le32(bytes + 4 * i);
}

__device__ __forceinline__ void store_words(uint8_t* bytes, const uint32_t* words, int count) {
  for (int i = 0; i < count; ++i) blake3::store_le32(bytes + 4 * i, words[i]);
}

}  // namespace

// One thread per leaf: the keyed chunk chaining value with the leaf index as
// counter; a short last chunk reads as zeros past `bytes`.
__global__ void __launch_bounds__(128)
    hash_leaves_kernel(const int8_t* data, uint64_t bytes, const uint8_t* key, uint8_t* leaves,
                       uint64_t leaf_count) {
  const uint64_t leaf = static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (leaf >= leaf_count) return;
  uint32_t cv[8];
  load_words(key, cv, 8);
  const uint8_t* chunk = reinterpret_cast<const uint8_t*>(data) + leaf * kChunkBytes;
  const uint64_t start = leaf * kChunkBytes;
  const uint64_t valid = bytes > start ? (bytes - start < kChunkBytes ? bytes - start : kChunkBytes) : 0;
  // Whole, 16-byte aligned chunks (every one of a cudaMalloc'd matrix) load
  // four words at a time; anything else goes byte by byte.
  const bool vector_loads = valid == kChunkBytes && (reinterpret_cast<uintptr_t>(chunk) & 15u) == 0;
  for (uint32_t b = 0; b < kChunkBytes / blake3::kBlockLen; ++b) {
    uint32_t block[16];
    const uint64_t block_start = b * blake3::kBlockLen;
    if (vector_loads) {
      const uint4* vectors = reinterpret_cast<const uint4*>(chunk + block_start);
      for (int i = 0; i < 4; ++i) {
        const uint4 v = vectors[i];
        block[4 * i] = v.x;
        block[4 * i + 1] = v.y;
        block[4 * i + 2] = v.z;
        block[4 * i + 3] = v.w;
      }
    } else {
      uint8_t padded[64];
      for (uint64_t i = 0; i < 64; ++i) {
        padded[i] = block_start + i < valid ? chunk[block_start + i] : 0;
      }
      load_words(padded, block, 16);
    }
    uint32_t flags = blake3::KEYED_HASH;
    if (b == 0) flags |= blake3::CHUNK_START;
    if (b == kChunkBytes / blake3::kBlockLen - 1) flags |= blake3::CHUNK_END;
    blake3::compress_cv(cv, block, leaf, blake3::kBlockLen, flags, cv);
  }
  store_words(leaves + leaf * kNodeBytes, cv, 8);
}

// One thread per parent: children 2j and 2j + 1 under the key (ROOT on the top
// pair); a last child without a partner moves up unchanged.
__global__ void __launch_bounds__(128)
    parent_level_kernel(const uint8_t* children, uint8_t* parents, const uint8_t* key,
                        uint64_t child_count, bool is_root) {
  const uint64_t parent = static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (parent >= (child_count + 1) / 2) return;
  const uint8_t* left = children + 2 * parent * kNodeBytes;
  uint8_t* out = parents + parent * kNodeBytes;
  if (2 * parent + 1 >= child_count) {
    for (uint64_t i = 0; i < kNodeBytes; ++i) out[i] = left[i];
    return;
  }
  uint32_t key_words[8];
  uint32_t left_words[8];
  uint32_t right_words[8];
  uint32_t cv[8];
  load_words(key, key_words, 8);
  load_words(left, left_words, 8);
  load_words(left + kNodeBytes, right_words, 8);
  blake3::keyed_parent(key_words, left_words, right_words, is_root, cv);
  store_words(out, cv, 8);
}

// One thread per byte to copy: 1024 per chunk job, then 32 per node job.
__global__ void __launch_bounds__(256)
    fill_proof_kernel(const int8_t* a, const int8_t* b, const uint8_t* nodes_a,
                      const uint8_t* nodes_b, const GpuProofChunkCopy* chunk_jobs,
                      uint32_t chunk_job_count, const GpuProofNodeCopy* node_jobs,
                      uint32_t node_job_count, uint8_t* proof) {
  const uint64_t thread = static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  const uint64_t chunk_threads = static_cast<uint64_t>(chunk_job_count) * kChunkBytes;
  if (thread < chunk_threads) {
    const GpuProofChunkCopy job = chunk_jobs[thread / kChunkBytes];
    const uint64_t byte = thread % kChunkBytes;
    const int8_t* matrix = job.matrix_index == 0 ? a : b;
    proof[job.dst_offset + byte] =
        byte < job.valid_bytes
            ? static_cast<uint8_t>(matrix[job.chunk_index * kChunkBytes + byte])
            : 0;
    return;
  }
  const uint64_t node_thread = thread - chunk_threads;
  if (node_thread >= static_cast<uint64_t>(node_job_count) * kNodeBytes) return;
  const GpuProofNodeCopy job = node_jobs[node_thread / kNodeBytes];
  const uint64_t byte = node_thread % kNodeBytes;
  const uint8_t* nodes = job.matrix_index == 0 ? nodes_a : nodes_b;
  proof[job.dst_offset + byte] = nodes[job.node_index * kNodeBytes + byte];
}

namespace {

unsigned blocks_for(uint64_t threads, unsigned threads_per_block) {
  return static_cast<unsigned>((threads + threads_per_block - 1) / threads_per_block);
}

}  // namespace

void throw_if_cuda_error(cudaError_t result, const char* step) {
  if (result == cudaSuccess) return;
  throw std::runtime_error(std::string(step) + ": " + cudaGetErrorString(result));
}

void build_merkle_levels_gpu(const int8_t* data, uint64_t bytes, const uint8_t* key,
                             uint8_t* nodes, const uint64_t* level_offsets, uint32_t level_count,
                             const uint64_t* level_counts, cudaStream_t stream) {
  if (level_count == 0) return;
  launch_kernel(hash_leaves_kernel, dim3(blocks_for(level_counts[0], kHashThreads)),
                dim3(kHashThreads), 0, stream, data, bytes, key, nodes, level_counts[0]);
  throw_if_cuda_error(cudaGetLastError(), "hash_leaves_kernel");
  for (uint32_t level = 1; level < level_count; ++level) {
    const bool is_root = level_counts[level - 1] == 2 && level_counts[level] == 1;
    launch_kernel(parent_level_kernel, dim3(blocks_for(level_counts[level], kHashThreads)),
                  dim3(kHashThreads), 0, stream, nodes + level_offsets[level - 1] * kNodeBytes,
                  nodes + level_offsets[level] * kNodeBytes, key, level_counts[level - 1],
                  is_root);
    throw_if_cuda_error(cudaGetLastError(), "parent_level_kernel");
  }
}

void launch_fill_proof(const int8_t* a, const int8_t* b, const uint8_t* nodes_a,
                       const uint8_t* nodes_b, const GpuProofChunkCopy* chunk_jobs,
                       uint32_t chunk_job_count, const GpuProofNodeCopy* node_jobs,
                       uint32_t node_job_count, uint8_t* proof, cudaStream_t stream) {
  const uint64_t threads = static_cast<uint64_t>(chunk_job_count) * kChunkBytes +
                           static_cast<uint64_t>(node_job_count) * kNodeBytes;
  if (threads == 0) return;
  launch_kernel(fill_proof_kernel, dim3(blocks_for(threads, kFillThreads)), dim3(kFillThreads), 0,
                stream, a, b, nodes_a, nodes_b, chunk_jobs, chunk_job_count, node_jobs,
                node_job_count, proof);
  throw_if_cuda_error(cudaGetLastError(), "fill_proof_kernel");
}
