#include "proof/plain_proof.h"

#include <algorithm>
#include <cstring>

#include "core/config.h"
#include "engine/tree_levels.h"
#include "proof/merkle_tree_cpu.h"
#include "proof/merkle_walk.h"

MatrixOpening build_merkle_tree(const int8_t* begin, const int8_t* end, int64_t row_length,
                                const std::vector<uint64_t>& opened, const uint8_t key[32]) {
  const uint64_t bytes = static_cast<uint64_t>(end - begin);
  require_rows_inside(opened, row_length, bytes, "matrix");
  MatrixOpening opening;
  opening.opened_indices = opened;
  if (bytes == 0) return opening;  // no leaves: leaf count 0, zero root

  const TreeLevels levels = merkle_tree_levels(bytes);
  const std::vector<uint8_t> nodes = cpu_merkle_nodes(begin, bytes, key, levels);
  const auto node_at = [&](uint32_t level, uint64_t index) {
    ProofNode node;
    std::memcpy(node.data(), nodes.data() + (levels.offsets[level] + index) * kProofNodeBytes,
                kProofNodeBytes);
    return node;
  };

  opening.leaf_count = levels.counts[0];
  opening.root = node_at(static_cast<uint32_t>(levels.counts.size() - 1), 0);
  opening.leaf_indices = opened_leaf_indices(opened, static_cast<uint64_t>(row_length));
  opening.leaf_chunks.reserve(opening.leaf_indices.size());
  for (const uint64_t leaf : opening.leaf_indices) {
    ProofChunk chunk{};
    const uint64_t start = leaf * kProofChunkBytes;
    std::memcpy(chunk.data(), begin + start, std::min(kProofChunkBytes, bytes - start));
    opening.leaf_chunks.push_back(chunk);
  }
  for (const TreeNodeRef& sibling : sibling_walk(opening.leaf_indices, opening.leaf_count)) {
    opening.sibling_hashes.push_back(node_at(sibling.level, sibling.index));
  }
  return opening;
}

void write_u64(std::vector<uint8_t>& out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void write_u64_vector(std::vector<uint8_t>& out, const std::vector<uint64_t>& values) {
  write_u64(out, values.size());
  for (const uint64_t value : values) write_u64(out, value);
}

void write_matrix_opening(std::vector<uint8_t>& out, const MatrixOpening& opening) {
  write_u64(out, opening.leaf_chunks.size());
  for (const ProofChunk& chunk : opening.leaf_chunks) {
    write_u64(out, kProofChunkBytes);
    out.insert(out.end(), chunk.begin(), chunk.end());
  }
  write_u64_vector(out, opening.leaf_indices);
  write_u64(out, opening.leaf_count);
  out.insert(out.end(), opening.root.begin(), opening.root.end());
  write_u64(out, opening.sibling_hashes.size());
  for (const ProofNode& node : opening.sibling_hashes) out.insert(out.end(), node.begin(), node.end());
  write_u64_vector(out, opening.opened_indices);
}

std::vector<uint8_t> plain_proof_from_openings(const MatrixOpening& a, const MatrixOpening& b,
                                               const Config& shape) {
  std::vector<uint8_t> out;
  // The shape is int32; a negative value is widened with its sign.
  write_u64(out, static_cast<uint64_t>(static_cast<int64_t>(shape.m)));
  write_u64(out, static_cast<uint64_t>(static_cast<int64_t>(shape.n)));
  write_u64(out, static_cast<uint64_t>(static_cast<int64_t>(shape.k)));
  write_u64(out, static_cast<uint64_t>(static_cast<int64_t>(shape.rank)));
  write_matrix_opening(out, a);
  write_matrix_opening(out, b);
  return out;
}

std::vector<uint8_t> build_plain_proof(const int8_t* a_begin, const int8_t* a_end,
                                       const std::vector<int8_t>& b, const OpenedRowsCols& opened,
                                       const uint8_t key[32], const Config& shape) {
  const MatrixOpening a_opening = build_merkle_tree(a_begin, a_end, shape.k, opened.rows, key);
  const MatrixOpening b_opening =
      build_merkle_tree(b.data(), b.data() + b.size(), shape.k, opened.cols, key);
  return plain_proof_from_openings(a_opening, b_opening, shape);
}
