#pragma once
// The PlainProof: the shape of an attempt and, for A and for B, an opening of
// some rows against the keyed BLAKE3 Merkle tree over the matrix's 1024-byte
// chunks. All integers are uint64 little-endian; there is no header or
// checksum of its own.
#include <array>
#include <cstdint>
#include <vector>

struct Config;

constexpr uint64_t kProofChunkBytes = 1024;
constexpr uint64_t kProofNodeBytes = 32;

using ProofChunk = std::array<uint8_t, kProofChunkBytes>;
using ProofNode = std::array<uint8_t, kProofNodeBytes>;

// The rows of A and the columns of B (rows of B's storage) to open.
struct OpenedRowsCols {
  std::vector<uint64_t> rows;
  std::vector<uint64_t> cols;
};

struct MatrixOpening {
  std::vector<ProofChunk> leaf_chunks;     // opened leaves, zero-padded past the matrix
  std::vector<uint64_t> leaf_indices;      // ascending, unique
  uint64_t leaf_count = 0;                 // leaves of the whole tree
  ProofNode root{};
  std::vector<ProofNode> sibling_hashes;   // in sibling-walk order
  std::vector<uint64_t> opened_indices;    // the caller's list as given
};

// Builds the whole tree of one matrix (row length k) and opens the listed rows.
// Throws std::invalid_argument for k < 1 or a row outside the matrix.
MatrixOpening build_merkle_tree(const int8_t* begin, const int8_t* end, int64_t row_length,
                                const std::vector<uint64_t>& opened, const uint8_t key[32]);

// The PlainProof of A (opening `rows`) and B (opening `cols`) under the shape's
// m, n, k and rank; the matrices must be m x k and n x k.
std::vector<uint8_t> build_plain_proof(const int8_t* a_begin, const int8_t* a_end,
                                       const std::vector<int8_t>& b, const OpenedRowsCols& opened,
                                       const uint8_t key[32], const Config& shape);

// The same bytes from openings built beforehand, so a caller that already
// holds both trees' openings does not hash the matrices again.
std::vector<uint8_t> plain_proof_from_openings(const MatrixOpening& a, const MatrixOpening& b,
                                               const Config& shape);

void write_u64(std::vector<uint8_t>& out, uint64_t value);
void write_u64_vector(std::vector<uint8_t>& out, const std::vector<uint64_t>& values);
void write_matrix_opening(std::vector<uint8_t>& out, const MatrixOpening& opening);
