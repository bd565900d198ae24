#pragma once
// The host's half of a GPU-built PlainProof: the proof bytes with zeros where
// leaf chunks, roots and sibling hashes go, and one copy job per placeholder
// for fill_proof_kernel to carry out from the device's matrices and node arrays.
#include <cstdint>
#include <vector>

#include "engine/tree_levels.h"
#include "proof/plain_proof.h"

struct Config;

// Shared with the device; 24 bytes, little-endian.
struct GpuProofChunkCopy {
  uint32_t matrix_index;  // 0 = A, 1 = B
  uint32_t valid_bytes;   // bytes of the chunk inside the matrix (1024 but for a short last chunk)
  uint64_t chunk_index;   // leaf index in that matrix
  uint64_t dst_offset;    // of the 1024-byte placeholder in the proof
};
static_assert(sizeof(GpuProofChunkCopy) == 24, "GpuProofChunkCopy is 24 bytes");

struct GpuProofNodeCopy {
  uint32_t matrix_index;  // 0 = A, 1 = B
  uint32_t level;         // last level for a root job, 0 for a sibling job
  uint64_t node_index;    // global index in that matrix's node array
  uint64_t dst_offset;    // of the 32-byte placeholder in the proof
};
static_assert(sizeof(GpuProofNodeCopy) == 24, "GpuProofNodeCopy is 24 bytes");

struct GpuProofTemplate {
  std::vector<uint8_t> bytes;
  std::vector<GpuProofChunkCopy> chunk_jobs;  // A's leaves ascending, then B's
  std::vector<GpuProofNodeCopy> node_jobs;    // A's root and siblings, then B's
};

// Device buffer capacities of one proof.
constexpr uint64_t kGpuProofBufferBytes = 1048576;
constexpr uint64_t kGpuProofChunkJobSlots = 1024;
constexpr uint64_t kGpuProofNodeJobSlots = 4096;

// Appends one opening of a matrix of `matrix_bytes` bytes and its jobs.
// Throws std::invalid_argument for k < 1 or a row outside the matrix.
void write_matrix_opening_template(GpuProofTemplate& proof, uint32_t matrix_index,
                                   int64_t row_length, const std::vector<uint64_t>& opened,
                                   const TreeLevels& levels, uint64_t matrix_bytes);

// The template of the proof build_plain_proof writes for the same input.
GpuProofTemplate build_plain_proof_from_trees(const OpenedRowsCols& opened, const Config& shape,
                                              const TreeLevels& a_levels,
                                              const TreeLevels& b_levels);

// Refuses a template that does not fit the device buffers, before any copy:
// "GPU proof buffer is too small", "GPU proof chunk-copy buffer is too small",
// "GPU proof node-copy buffer is too small", checked in that order.
void check_gpu_proof_capacity(const GpuProofTemplate& proof, uint64_t proof_buffer_bytes,
                              uint64_t chunk_job_slots, uint64_t node_job_slots);
