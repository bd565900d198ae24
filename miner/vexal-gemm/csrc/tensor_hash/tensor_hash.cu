// The tensor hash unit: keyed Merkle roots of matrices (direct and bulk-copy
// leaf passes, subtree pass, reduction) and the commitment of two roots.
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "core/gpu_platform.h"
#include "device_kernel.h"
#include "tensor_hash/commitment_kernel.h"
#include "tensor_hash/hash_key_constant.h"
#include "tensor_hash/merkle_kernels.h"
#include "tensor_hash/merkle_tensor_map.h"
#include "tensor_hash/merkle_tma_kernel.h"
#include "tensor_hash/tensor_hash_host.h"

namespace {

using vexal::merkle::chunk_count;

// Threads beyond the hashing threads in a block of the bulk-copy leaf pass.
constexpr uint32_t kLoaderThreads = 128;
// Dynamic shared memory a kernel may use without opting in.
constexpr size_t kDefaultSharedBytes = 48 * 1024;
const uint32_t kMaxMtLeaves = tensor_hash_mt_leaf_count(kTensorHashMaxBytes);

void check(cudaError_t error, int line) {
  if (error != cudaSuccess) tensor_hash_check_abort(error, line);
}

uint32_t blocks_for(uint32_t items, uint32_t per_block) {
  return items / per_block + (items % per_block != 0 ? 1u : 0u);
}

void require_threads_per_block(uint32_t threads_per_block) {
  if (threads_per_block != 128 && threads_per_block != 256 && threads_per_block != 512) {
    throw std::runtime_error("Unsupported threads_per_block: " + std::to_string(threads_per_block) +
                             ". Supported values are: 128, 256, 512");
  }
}

void require_leaves_per_mt_block(uint32_t leaves_per_mt_block) {
  if (leaves_per_mt_block != 256 && leaves_per_mt_block != 512 && leaves_per_mt_block != 1024) {
    throw std::runtime_error("Unsupported leaves_per_mt_block: " +
                             std::to_string(leaves_per_mt_block) +
                             ". Supported values are: 256, 512, 1024");
  }
}

void require_num_stages(uint32_t num_stages) {
  if (num_stages != 2 && num_stages != 3 && num_stages != 4) {
    throw std::runtime_error("Unsupported num_stages: " + std::to_string(num_stages) +
                             ". Supported values are: 2, 3, 4");
  }
}

size_t tma_leaf_shared_bytes(uint32_t threads_per_block, uint32_t num_stages) {
  return 1024 + size_t{32} * threads_per_block + size_t{128} * threads_per_block * num_stages;
}

// The subtree pass and, with several subtree blocks, the reduction; then the
// root copy. Identical after either leaf pass.
template <uint32_t T, uint32_t L>
void enqueue_tree_passes(uint8_t* root_out, uint32_t num_leaves, uint8_t* workspace,
                         cudaStream_t stream) {
  const uint32_t blocks = blocks_for(num_leaves, L);
  if (blocks == 1) {
    using Subtree = vexal::ComputeBlakeMTKernel<L, true>;
    (void)vexal::launch_device_kernel<Subtree>(dim3(1), dim3(L), Subtree::kSharedBytes, stream,
                                               {workspace, num_leaves});
    check(cudaGetLastError(), __LINE__);
  } else {
    using Subtree = vexal::ComputeBlakeMTKernel<L, false>;
    (void)vexal::launch_device_kernel<Subtree>(dim3(blocks), dim3(L), Subtree::kSharedBytes,
                                               stream, {workspace, num_leaves});
    check(cudaGetLastError(), __LINE__);
    using Reduce = vexal::ReduceRootsKernel<T>;
    (void)vexal::launch_device_kernel<Reduce>(dim3(1), dim3(T), Reduce::kSharedBytes, stream,
                                              {workspace, blocks, L});
    check(cudaGetLastError(), __LINE__);
  }
  check(cudaMemcpyAsync(root_out, workspace, 32, cudaMemcpyDeviceToDevice, stream), __LINE__);
}

template <uint32_t T>
void tree_passes_for_threads(uint32_t leaves_per_mt_block, uint8_t* root_out, uint32_t num_leaves,
                             uint8_t* workspace, cudaStream_t stream) {
  switch (leaves_per_mt_block) {
    case 256: return enqueue_tree_passes<T, 256>(root_out, num_leaves, workspace, stream);
    case 512: return enqueue_tree_passes<T, 512>(root_out, num_leaves, workspace, stream);
    default: return enqueue_tree_passes<T, 1024>(root_out, num_leaves, workspace, stream);
  }
}

}  // namespace

template <uint32_t T, uint32_t L>
void run_merkle_root_direct(const uint8_t* data, uint32_t len_bytes, uint8_t* root_out,
                            const uint8_t* key, uint32_t num_leaves, uint8_t* workspace,
                            const cudaDeviceProp*, cudaStream_t stream) {
  set_hash_key_constant(key, stream);
  using Leaf = vexal::MerkleTreeRootsKernelDirect<T>;
  (void)vexal::launch_device_kernel<Leaf>(dim3(blocks_for(chunk_count(len_bytes), T)), dim3(T),
                                          Leaf::kSharedBytes, stream,
                                          {data, len_bytes, workspace});
  check(cudaGetLastError(), __LINE__);
  enqueue_tree_passes<T, L>(root_out, num_leaves, workspace, stream);
}

template <uint32_t T, uint32_t S>
void make_merkle_tma_desc(typename vexal::MerkleTreeRootsKernel<T, S, kLoaderThreads>::Params& params,
                          const uint8_t* data, uint32_t len_bytes, uint8_t* workspace) {
  using Kernel = vexal::MerkleTreeRootsKernel<T, S, kLoaderThreads>;
  params.data = data;
  params.len_bytes = len_bytes;
  params.workspace = workspace;
  vexal::merkle::encode_matrix_tensor_map(&params.tma_load.tensor_map, data, len_bytes,
                                          Kernel::kBoxRows);
}

template <uint32_t T, uint32_t S, uint32_t L>
void run_merkle_root_tma(const uint8_t* data, uint32_t len_bytes, uint8_t* root_out,
                         const uint8_t* key, uint32_t num_leaves, uint8_t* workspace,
                         const cudaDeviceProp*, cudaStream_t stream) {
  using Leaf = vexal::MerkleTreeRootsKernel<T, S, kLoaderThreads>;
  // A map the driver refuses throws here, before the key copy and any launch.
  typename Leaf::Params params;
  make_merkle_tma_desc<T, S>(params, data, len_bytes, workspace);
  set_hash_key_constant(key, stream);
  if (Leaf::kSharedBytes > kDefaultSharedBytes) {
    check(cudaFuncSetAttribute(reinterpret_cast<const void*>(vexal::device_kernel_function<Leaf>()),
                               cudaFuncAttributeMaxDynamicSharedMemorySize,
                               static_cast<int>(Leaf::kSharedBytes)),
          __LINE__);
  }
  (void)vexal::launch_device_kernel<Leaf>(dim3(blocks_for(chunk_count(len_bytes), T)),
                                          dim3(T + kLoaderThreads), Leaf::kSharedBytes, stream,
                                          params);
  check(cudaGetLastError(), __LINE__);
  enqueue_tree_passes<T, L>(root_out, num_leaves, workspace, stream);
}

namespace {

template <uint32_t T>
void direct_for_threads(uint32_t leaves_per_mt_block, const uint8_t* data, uint32_t len_bytes,
                        uint8_t* root_out, const uint8_t* key, uint32_t num_leaves,
                        uint8_t* workspace, const cudaDeviceProp* prop, cudaStream_t stream) {
  switch (leaves_per_mt_block) {
    case 256:
      return run_merkle_root_direct<T, 256>(data, len_bytes, root_out, key, num_leaves, workspace,
                                            prop, stream);
    case 512:
      return run_merkle_root_direct<T, 512>(data, len_bytes, root_out, key, num_leaves, workspace,
                                            prop, stream);
    default:
      return run_merkle_root_direct<T, 1024>(data, len_bytes, root_out, key, num_leaves,
                                             workspace, prop, stream);
  }
}

template <uint32_t T, uint32_t L>
void merkle_root_tma_stage_dispatch(uint32_t num_stages, const uint8_t* data, uint32_t len_bytes,
                                    uint8_t* root_out, const uint8_t* key, uint32_t num_leaves,
                                    uint8_t* workspace, const cudaDeviceProp* prop,
                                    cudaStream_t stream) {
  switch (num_stages) {
    case 2:
      return run_merkle_root_tma<T, 2, L>(data, len_bytes, root_out, key, num_leaves, workspace,
                                          prop, stream);
    case 3:
      return run_merkle_root_tma<T, 3, L>(data, len_bytes, root_out, key, num_leaves, workspace,
                                          prop, stream);
    default:
      return run_merkle_root_tma<T, 4, L>(data, len_bytes, root_out, key, num_leaves, workspace,
                                          prop, stream);
  }
}

template <uint32_t T>
void tma_for_threads(uint32_t leaves_per_mt_block, uint32_t num_stages, const uint8_t* data,
                     uint32_t len_bytes, uint8_t* root_out, const uint8_t* key,
                     uint32_t num_leaves, uint8_t* workspace, const cudaDeviceProp* prop,
                     cudaStream_t stream) {
  switch (leaves_per_mt_block) {
    case 256:
      return merkle_root_tma_stage_dispatch<T, 256>(num_stages, data, len_bytes, root_out, key,
                                                    num_leaves, workspace, prop, stream);
    case 512:
      return merkle_root_tma_stage_dispatch<T, 512>(num_stages, data, len_bytes, root_out, key,
                                                    num_leaves, workspace, prop, stream);
    default:
      return merkle_root_tma_stage_dispatch<T, 1024>(num_stages, data, len_bytes, root_out, key,
                                                     num_leaves, workspace, prop, stream);
  }
}

}  // namespace

uint32_t tensor_hash_mt_leaf_count(uint64_t len_bytes) {
  const uint64_t chunks = (len_bytes + vexal::merkle::kChunkBytes - 1) / vexal::merkle::kChunkBytes;
  return static_cast<uint32_t>((chunks + vexal::merkle::kChunksPerMtLeaf - 1) /
                               vexal::merkle::kChunksPerMtLeaf);
}

void tensor_merkle_root(const uint8_t* data, uint64_t len_bytes, uint8_t* root_out,
                        const uint8_t* key, uint32_t num_leaves, uint32_t threads_per_block,
                        uint32_t num_stages, uint32_t leaves_per_mt_block, uint8_t* workspace,
                        const cudaDeviceProp* prop, cudaStream_t stream) {
  if (len_bytes > kTensorHashMaxBytes) {
    throw std::runtime_error("tensor_merkle_root: a matrix of " + std::to_string(len_bytes) +
                             " bytes is larger than the " + std::to_string(kTensorHashMaxBytes) +
                             " bytes the tensor hash can take");
  }
  if (len_bytes == 0) throw std::runtime_error("tensor_merkle_root: the matrix is empty");
  const uint32_t own_leaves = tensor_hash_mt_leaf_count(len_bytes);
  if (num_leaves != own_leaves) {
    throw std::runtime_error("tensor_merkle_root: num_leaves " + std::to_string(num_leaves) +
                             " does not match the " + std::to_string(own_leaves) +
                             " MT leaves of a matrix of " + std::to_string(len_bytes) + " bytes");
  }
  const uint32_t len = static_cast<uint32_t>(len_bytes);
  if (prop->major >= 9 && prop->major <= 11) {
    merkle_root_tma_dispatch(threads_per_block, leaves_per_mt_block, num_stages, data, len,
                             root_out, key, num_leaves, workspace, prop, stream);
  } else {
    merkle_root_direct_dispatch(threads_per_block, leaves_per_mt_block, data, len, root_out, key,
                                num_leaves, workspace, prop, stream);
  }
}

void merkle_root_direct_dispatch(uint32_t threads_per_block, uint32_t leaves_per_mt_block,
                                 const uint8_t* data, uint32_t len_bytes, uint8_t* root_out,
                                 const uint8_t* key, uint32_t num_leaves, uint8_t* workspace,
                                 const cudaDeviceProp* prop, cudaStream_t stream) {
  require_threads_per_block(threads_per_block);
  require_leaves_per_mt_block(leaves_per_mt_block);
  switch (threads_per_block) {
    case 128:
      return direct_for_threads<128>(leaves_per_mt_block, data, len_bytes, root_out, key,
                                     num_leaves, workspace, prop, stream);
    case 256:
      return direct_for_threads<256>(leaves_per_mt_block, data, len_bytes, root_out, key,
                                     num_leaves, workspace, prop, stream);
    default:
      return direct_for_threads<512>(leaves_per_mt_block, data, len_bytes, root_out, key,
                                     num_leaves, workspace, prop, stream);
  }
}

void merkle_root_tma_dispatch(uint32_t threads_per_block, uint32_t leaves_per_mt_block,
                              uint32_t num_stages, const uint8_t* data, uint32_t len_bytes,
                              uint8_t* root_out, const uint8_t* key, uint32_t num_leaves,
                              uint8_t* workspace, const cudaDeviceProp* prop,
                              cudaStream_t stream) {
  require_threads_per_block(threads_per_block);
  require_leaves_per_mt_block(leaves_per_mt_block);
  require_num_stages(num_stages);
  // Refused here rather than by the attribute call, which would end the process.
  const size_t shared = tma_leaf_shared_bytes(threads_per_block, num_stages);
  if (shared > prop->sharedMemPerBlockOptin) {
    throw std::runtime_error(
        "Unsupported tensor-hash tuning: threads_per_block " + std::to_string(threads_per_block) +
        " with num_stages " + std::to_string(num_stages) + " needs " + std::to_string(shared) +
        " bytes of shared memory per block; the device allows " +
        std::to_string(prop->sharedMemPerBlockOptin));
  }
  switch (threads_per_block) {
    case 128:
      return tma_for_threads<128>(leaves_per_mt_block, num_stages, data, len_bytes, root_out, key,
                                  num_leaves, workspace, prop, stream);
    case 256:
      return tma_for_threads<256>(leaves_per_mt_block, num_stages, data, len_bytes, root_out, key,
                                  num_leaves, workspace, prop, stream);
    default:
      return tma_for_threads<512>(leaves_per_mt_block, num_stages, data, len_bytes, root_out, key,
                                  num_leaves, workspace, prop, stream);
  }
}

void merkle_root_from_mt_leaves(uint32_t threads_per_block, uint32_t leaves_per_mt_block,
                                uint8_t* root_out, uint32_t num_leaves, uint8_t* workspace,
                                cudaStream_t stream) {
  require_threads_per_block(threads_per_block);
  require_leaves_per_mt_block(leaves_per_mt_block);
  if (num_leaves == 0 || num_leaves > kMaxMtLeaves) {
    throw std::runtime_error("merkle_root_from_mt_leaves: " + std::to_string(num_leaves) +
                             " MT leaves (1 to " + std::to_string(kMaxMtLeaves) + " allowed)");
  }
  switch (threads_per_block) {
    case 128:
      return tree_passes_for_threads<128>(leaves_per_mt_block, root_out, num_leaves, workspace,
                                          stream);
    case 256:
      return tree_passes_for_threads<256>(leaves_per_mt_block, root_out, num_leaves, workspace,
                                          stream);
    default:
      return tree_passes_for_threads<512>(leaves_per_mt_block, root_out, num_leaves, workspace,
                                          stream);
  }
}

void set_hash_key_constant(const uint8_t* key, cudaStream_t stream) {
  // In the order of the root's own stream: the key may have been uploaded
  // on it just before, and the leaf pass after it reads c_key.
  check(cudaMemcpyToSymbolAsync(c_key, key, 32, 0, cudaMemcpyDeviceToDevice, stream), __LINE__);
}

void tensor_hash_check_abort(cudaError_t error, int line) {
  const char* text = cudaGetErrorString(error);
  cudaGetLastError();
  std::fprintf(stderr, "CUDA error: %s at %s:%d\n", text,
               "./miner/vexal-gemm/csrc/tensor_hash/tensor_hash_host", line);
  std::abort();
}

void commitment_hash_from_roots(const uint8_t* root_a, const uint8_t* root_b, const uint8_t* key,
                                uint8_t* seed_a, uint8_t* seed_b, const cudaDeviceProp*,
                                cudaStream_t stream) {
  // No error is read here: a failed launch is found by the caller's next check.
  (void)vexal::launch_device_kernel<vexal::CommitmentHashFromMerkleRootsKernel>(
      dim3(1), dim3(1), 0, stream, {root_a, root_b, key, seed_a, seed_b});
}
