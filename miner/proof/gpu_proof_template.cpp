#include "proof/gpu_proof_template.h"

#include <algorithm>
#include <stdexcept>

#include "core/config.h"
#include "proof/merkle_walk.h"

namespace {

void append_zeros(std::vector<uint8_t>& bytes, uint64_t count) {
  bytes.insert(bytes.end(), count, 0);
}

}  // namespace

void write_matrix_opening_template(GpuProofTemplate& proof, uint32_t matrix_index,
                                   int64_t row_length, const std::vector<uint64_t>& opened,
                                   const TreeLevels& levels, uint64_t matrix_bytes) {
  require_rows_inside(opened, row_length, matrix_bytes, matrix_index == 0 ? "A" : "B");
  // The node jobs index the device's node array, which these levels size.
  if (levels.counts.empty() || levels.counts[0] != merkle_tree_levels(matrix_bytes).counts[0]) {
    throw std::invalid_argument("GPU proof template: tree levels do not describe the matrix");
  }
  std::vector<uint8_t>& bytes = proof.bytes;
  const std::vector<uint64_t> leaves = opened_leaf_indices(opened, static_cast<uint64_t>(row_length));

  write_u64(bytes, leaves.size());
  for (const uint64_t leaf : leaves) {
    write_u64(bytes, kProofChunkBytes);
    const uint64_t start = leaf * kProofChunkBytes;
    const uint32_t valid = static_cast<uint32_t>(std::min(kProofChunkBytes, matrix_bytes - start));
    proof.chunk_jobs.push_back({matrix_index, valid, leaf, bytes.size()});
    append_zeros(bytes, kProofChunkBytes);
  }
  write_u64_vector(bytes, leaves);
  write_u64(bytes, levels.counts[0]);

  const uint32_t last_level = static_cast<uint32_t>(levels.counts.size() - 1);
  proof.node_jobs.push_back({matrix_index, last_level, levels.offsets[last_level], bytes.size()});
  append_zeros(bytes, kProofNodeBytes);

  const std::vector<TreeNodeRef> siblings = sibling_walk(leaves, levels.counts[0]);
  write_u64(bytes, siblings.size());
  for (const TreeNodeRef& sibling : siblings) {
    proof.node_jobs.push_back(
        {matrix_index, 0, levels.offsets[sibling.level] + sibling.index, bytes.size()});
    append_zeros(bytes, kProofNodeBytes);
  }
  write_u64_vector(bytes, opened);
}

GpuProofTemplate build_plain_proof_from_trees(const OpenedRowsCols& opened, const Config& shape,
                                              const TreeLevels& a_levels,
                                              const TreeLevels& b_levels) {
  GpuProofTemplate proof;
  write_u64(proof.bytes, static_cast<uint64_t>(static_cast<int64_t>(shape.m)));
  write_u64(proof.bytes, static_cast<uint64_t>(static_cast<int64_t>(shape.n)));
  write_u64(proof.bytes, static_cast<uint64_t>(static_cast<int64_t>(shape.k)));
  write_u64(proof.bytes, static_cast<uint64_t>(static_cast<int64_t>(shape.rank)));
  const auto bytes_of = [](int64_t size) { return size > 0 ? static_cast<uint64_t>(size) : 0; };
  write_matrix_opening_template(proof, 0, shape.k, opened.rows, a_levels,
                                bytes_of(matrix_bytes(shape.m, shape.k)));
  write_matrix_opening_template(proof, 1, shape.k, opened.cols, b_levels,
                                bytes_of(matrix_bytes(shape.n, shape.k)));
  return proof;
}

void check_gpu_proof_capacity(const GpuProofTemplate& proof, uint64_t proof_buffer_bytes,
                              uint64_t chunk_job_slots, uint64_t node_job_slots) {
  if (proof.bytes.size() > proof_buffer_bytes) {
    throw std::runtime_error("GPU proof buffer is too small");
  }
  if (proof.chunk_jobs.size() > chunk_job_slots) {
    throw std::runtime_error("GPU proof chunk-copy buffer is too small");
  }
  if (proof.node_jobs.size() > node_job_slots) {
    throw std::runtime_error("GPU proof node-copy buffer is too small");
  }
}
