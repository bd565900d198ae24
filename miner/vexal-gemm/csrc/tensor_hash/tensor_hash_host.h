#pragma once
// The tensor hash: the keyed BLAKE3 Merkle root of a matrix on the GPU, and
// the commitment that turns the roots of A and B into the two noise seeds.
// Every entry only enqueues work on the caller's stream. Unsupported tuning
// values and shapes throw std::runtime_error before any GPU work; a failed
// CUDA call afterwards is fatal (tensor_hash_check_abort).
#include <cstdint>

#include "core/gpu_platform.h"

// The largest matrix the tree can take: chunk indices and byte counts are 32-bit.
constexpr uint64_t kTensorHashMaxBytes = 4294966272ull;  // 2^32 - 1024

// MT leaves (one per 256 chunks of 1024 bytes) of a matrix of `len_bytes`.
uint32_t tensor_hash_mt_leaf_count(uint64_t len_bytes);

// The keyed Merkle root of `len_bytes` bytes at `data` (device memory) under
// the 32-byte `key` (device memory), into the 32 bytes at `root_out`.
//   data: readable up to len_bytes rounded up to a multiple of 1024 (the
//     leaf pass of devices of compute capability 9.x to 11.x reads whole
//     1024-byte chunks; the bytes past len_bytes do not enter the hash),
//     16-byte aligned on those devices.
//   num_leaves: this matrix's own MT-leaf count, tensor_hash_mt_leaf_count(len_bytes).
//   threads_per_block 128, 256 or 512; leaves_per_mt_block 256, 512 or 1024;
//     num_stages 2, 3 or 4 (read only on compute capability 9.x to 11.x).
//   workspace: num_leaves * 32 bytes of device memory, 16-byte aligned, not in
//     use by another computation in flight.
// The key is copied into the device constant c_key in stream order, so two
// computations in flight on one device must use the same key.
void tensor_merkle_root(const uint8_t* data, uint64_t len_bytes, uint8_t* root_out,
                        const uint8_t* key, uint32_t num_leaves, uint32_t threads_per_block,
                        uint32_t num_stages, uint32_t leaves_per_mt_block, uint8_t* workspace,
                        const cudaDeviceProp* prop, cudaStream_t stream);

// The leaf pass that reads the matrix directly (all architectures).
void merkle_root_direct_dispatch(uint32_t threads_per_block, uint32_t leaves_per_mt_block,
                                 const uint8_t* data, uint32_t len_bytes, uint8_t* root_out,
                                 const uint8_t* key, uint32_t num_leaves, uint8_t* workspace,
                                 const cudaDeviceProp* prop, cudaStream_t stream);

// The leaf pass fed by bulk tensor copies (compute capability 9.x to 11.x).
void merkle_root_tma_dispatch(uint32_t threads_per_block, uint32_t leaves_per_mt_block,
                              uint32_t num_stages, const uint8_t* data, uint32_t len_bytes,
                              uint8_t* root_out, const uint8_t* key, uint32_t num_leaves,
                              uint8_t* workspace, const cudaDeviceProp* prop,
                              cudaStream_t stream);

// The passes after the leaf pass, shared by both paths: combines the
// num_leaves MT leaves in the workspace into the root (keyed with c_key) and
// copies it to root_out.
void merkle_root_from_mt_leaves(uint32_t threads_per_block, uint32_t leaves_per_mt_block,
                                uint8_t* root_out, uint32_t num_leaves, uint8_t* workspace,
                                cudaStream_t stream);

// Copies the 32-byte key (device memory) into c_key in the order of `stream`.
void set_hash_key_constant(const uint8_t* key, cudaStream_t stream);

// The fatal report of a failed CUDA call of the tensor hash; never returns.
[[noreturn]] void tensor_hash_check_abort(cudaError_t error, int line);

// seed_a || seed_b: the first 64 bytes of the BLAKE3 keyed extended output
// (key = the job key) of root_a || root_b. All five buffers are device memory;
// one single-thread launch on `stream`, whose launch error is left for the
// caller's next check.
void commitment_hash_from_roots(const uint8_t* root_a, const uint8_t* root_b, const uint8_t* key,
                                uint8_t* seed_a, uint8_t* seed_b, const cudaDeviceProp* prop,
                                cudaStream_t stream);
