// The CPU builder over a table of shapes: every proof verifies, its roots are
// the keyed BLAKE3 hashes of the zero-padded matrices, its size is the format's.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/config.h"
#include "engine/tree_levels.h"
#include "proof/merkle_tree_cpu.h"
#include "proof/plain_proof.h"
#include "proof/proof_bench_inputs.h"
#include "proof_verifier.h"

namespace {

struct ShapeCase {
  const char* name;
  int32_t m, n, k;
  std::vector<uint64_t> rows, cols;
};

const ShapeCase kShapes[] = {
    {"one chunk each", 1, 1, 1024, {0}, {0}},
    {"one short chunk", 2, 3, 100, {1}, {2}},
    {"odd chunk counts", 5, 7, 1024, {4}, {0, 6}},
    {"short last chunk", 3, 5, 1536, {2}, {0, 4}},
    {"first and last rows", 64, 33, 96, {0, 63}, {0, 32}},
    {"repeated and unsorted", 40, 70, 1024, {32, 0, 32}, {63, 1, 1, 0}},
    {"nothing opened", 4, 4, 512, {}, {}},
    {"bench-like", 33, 64, 4096, {0, 32}, {5, 63, 0}},
};

Key32 test_key() {
  Key32 key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(200 - 3 * i);
  return key;
}

std::vector<int8_t> matrix_of(uint64_t bytes, uint64_t salt) {
  std::vector<int8_t> matrix(bytes);
  for (uint64_t i = 0; i < bytes; ++i) matrix[i] = static_cast<int8_t>((i * 131 + salt) >> 3);
  return matrix;
}

Config shape_of(const ShapeCase& c) {
  Config shape;
  shape.m = c.m;
  shape.n = c.n;
  shape.k = c.k;
  shape.rank = 32;
  return shape;
}

uint64_t opening_size(const MatrixOpening& opening) {
  return 72 + 1040 * opening.leaf_chunks.size() + 32 * opening.sibling_hashes.size() +
         8 * opening.opened_indices.size();
}

// The root a one-chunk tree has (its chaining value), or the keyed hash.
Hash32 expected_root(const std::vector<int8_t>& matrix, const Key32& key) {
  if (matrix.size() <= 1024) {
    return chunk_chaining_value(reinterpret_cast<const uint8_t*>(matrix.data()), matrix.size(), 0, key);
  }
  return keyed_hash_zero_padded(matrix, key);
}

TEST(CpuBuilderTest, ProofsOfEveryShapeVerify) {
  const Key32 key = test_key();
  for (const ShapeCase& c : kShapes) {
    SCOPED_TRACE(c.name);
    const Config shape = shape_of(c);
    const std::vector<int8_t> a = matrix_of(matrix_bytes(c.m, c.k), 1);
    const std::vector<int8_t> b = matrix_of(matrix_bytes(c.n, c.k), 2);
    const OpenedRowsCols opened{c.rows, c.cols};
    const std::vector<uint8_t> proof =
        build_plain_proof(a.data(), a.data() + a.size(), b, opened, key.data(), shape);

    ExpectedProof expected{static_cast<uint64_t>(c.m), static_cast<uint64_t>(c.n),
                           static_cast<uint64_t>(c.k), 32, c.rows, c.cols, key};
    VerifiedProof roots;
    EXPECT_EQ(verify_plain_proof(proof, expected, &roots), "");
    EXPECT_EQ(roots.a_root, expected_root(a, key));
    EXPECT_EQ(roots.b_root, expected_root(b, key));

    const MatrixOpening a_tree = build_merkle_tree(a.data(), a.data() + a.size(), c.k, c.rows, key.data());
    const MatrixOpening b_tree = build_merkle_tree(b.data(), b.data() + b.size(), c.k, c.cols, key.data());
    EXPECT_EQ(proof.size(), 32 + opening_size(a_tree) + opening_size(b_tree));
    EXPECT_EQ(plain_proof_from_openings(a_tree, b_tree, shape), proof);
  }
}

TEST(CpuBuilderTest, OpeningKeepsTheCallersIndicesAndPadsTheLastChunk) {
  const Key32 key = test_key();
  const std::vector<int8_t> matrix = matrix_of(3 * 1536, 7);  // five leaves, the last half full
  const MatrixOpening opening =
      build_merkle_tree(matrix.data(), matrix.data() + matrix.size(), 1536, {2, 0, 2}, key.data());
  EXPECT_EQ(opening.opened_indices, (std::vector<uint64_t>{2, 0, 2}));
  EXPECT_EQ(opening.leaf_indices, (std::vector<uint64_t>{0, 1, 3, 4}));
  EXPECT_EQ(opening.leaf_count, 5u);
  const ProofChunk& last = opening.leaf_chunks.back();
  EXPECT_EQ(std::memcmp(last.data(), matrix.data() + 4096, 512), 0);
  for (size_t i = 512; i < last.size(); ++i) ASSERT_EQ(last[i], 0) << i;
}

TEST(CpuBuilderTest, SiblingsAreTheTreesOwnNodes) {
  // Five leaves; opening leaf 4 alone needs only the level-2 node 0.
  const Key32 key = test_key();
  const std::vector<int8_t> matrix = matrix_of(5 * 1024, 3);
  const MatrixOpening opening =
      build_merkle_tree(matrix.data(), matrix.data() + matrix.size(), 1024, {4}, key.data());
  const TreeLevels levels = merkle_tree_levels(matrix.size());
  const std::vector<uint8_t> nodes = cpu_merkle_nodes(matrix.data(), matrix.size(), key.data(), levels);
  ASSERT_EQ(opening.sibling_hashes.size(), 1u);
  EXPECT_EQ(std::memcmp(opening.sibling_hashes[0].data(), nodes.data() + levels.offsets[2] * 32, 32), 0);
  EXPECT_EQ(std::memcmp(opening.root.data(), nodes.data() + levels.offsets[3] * 32, 32), 0);
}

TEST(CpuBuilderTest, EmptyMatrixHasNoLeavesAndAZeroRoot) {
  const Key32 key = test_key();
  const int8_t* nothing = nullptr;
  const MatrixOpening opening = build_merkle_tree(nothing, nothing, 1024, {}, key.data());
  EXPECT_EQ(opening.leaf_count, 0u);
  EXPECT_EQ(opening.root, ProofNode{});
  EXPECT_TRUE(opening.leaf_chunks.empty());
}

TEST(CpuBuilderTest, RowsOutsideTheMatrixAreRefused) {
  const Key32 key = test_key();
  const std::vector<int8_t> matrix = matrix_of(4 * 100, 1);
  const auto build = [&](int64_t k, std::vector<uint64_t> rows) {
    return build_merkle_tree(matrix.data(), matrix.data() + matrix.size(), k, rows, key.data());
  };
  EXPECT_THROW(build(100, {4}), std::invalid_argument);
  EXPECT_THROW(build(0, {0}), std::invalid_argument);
  EXPECT_THROW(build(-5, {}), std::invalid_argument);
  EXPECT_NO_THROW(build(100, {3}));
}

TEST(BenchInputsTest, MatricesFollowTheirRulesAndKeysAreFixed) {
  const std::vector<int8_t> a = fill_bench_matrix(BenchMatrix::A, 300);
  const std::vector<int8_t> b = fill_bench_matrix(BenchMatrix::B, 300);
  EXPECT_EQ(a[0], -63);
  EXPECT_EQ(a[126], 63);
  EXPECT_EQ(a[127], -63);
  EXPECT_EQ(b[1], -60);
  EXPECT_EQ(b[43], (3 * 43) % 127 - 63);
  EXPECT_EQ(self_test_key(), self_test_key());
  EXPECT_NE(self_test_key(), bench_key());
  const OpenedRowsCols opened = bench_opened_rows_cols();
  EXPECT_EQ(opened.rows, (std::vector<uint64_t>{0, 32}));
  ASSERT_EQ(opened.cols.size(), 64u);
  EXPECT_EQ(opened.cols.back(), 63u);
}

}  // namespace
