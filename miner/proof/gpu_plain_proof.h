#pragma once
// The GPU PlainProof build: every Merkle level of a matrix hashed on the
// device, and the proof template's placeholders filled there.
#include <cstdint>

#include "core/gpu_api.h"
#include "proof/gpu_proof_template.h"

// For any result but success, a runtime error: the step, ": " and the CUDA text.
void throw_if_cuda_error(cudaError_t result, const char* step);

// Enqueues the hashing of all `level_count` levels (offsets and counts of the
// matrix's TreeLevels) into the node array, on the stream; returns at once.
// A failed launch raises "hash_leaves_kernel: ..." or "parent_level_kernel: ...".
void build_merkle_levels_gpu(const int8_t* data, uint64_t bytes, const uint8_t* key,
                             uint8_t* nodes, const uint64_t* level_offsets, uint32_t level_count,
                             const uint64_t* level_counts, cudaStream_t stream);

// Enqueues the copies of the jobs (device arrays) into the proof buffer; with
// no jobs it does nothing. A failed launch raises "fill_proof_kernel: ...".
void launch_fill_proof(const int8_t* a, const int8_t* b, const uint8_t* nodes_a,
                       const uint8_t* nodes_b, const GpuProofChunkCopy* chunk_jobs,
                       uint32_t chunk_job_count, const GpuProofNodeCopy* node_jobs,
                       uint32_t node_job_count, uint8_t* proof, cudaStream_t stream);
