// The tree layout, the opened-leaf rule, the sibling walk and the candidate's
// rows and columns: the rules both proof builders share.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "backends/kernel_signal.h"
#include "engine/tree_levels.h"
#include "proof/candidate_rows_cols.h"
#include "proof/merkle_walk.h"

namespace {

struct LevelsCase {
  uint64_t bytes;
  std::vector<uint64_t> counts;
  std::vector<uint64_t> offsets;
  uint64_t total;
};

TEST(TreeLevelsTest, LevelsHalveDownToTheRoot) {
  const LevelsCase cases[] = {
      {0, {1}, {0}, 1},
      {1024, {1}, {0}, 1},
      {1025, {2, 1}, {0, 2}, 3},
      {3 * 1024, {3, 2, 1}, {0, 3, 5}, 6},
      {5 * 1024, {5, 3, 2, 1}, {0, 5, 8, 10}, 11},
  };
  for (const LevelsCase& c : cases) {
    const TreeLevels levels = merkle_tree_levels(c.bytes);
    EXPECT_EQ(levels.counts, c.counts) << c.bytes;
    EXPECT_EQ(levels.offsets, c.offsets) << c.bytes;
    EXPECT_EQ(levels.total, c.total) << c.bytes;
  }
  // A mining-size matrix: 524288 leaves, 20 levels.
  const TreeLevels mining = merkle_tree_levels(131072ull * 4096);
  EXPECT_EQ(mining.counts.size(), 20u);
  EXPECT_EQ(mining.total, 1048575u);
}

TEST(OpenedLeavesTest, RowsCoverTheirChunksOnceEach) {
  EXPECT_EQ(opened_leaf_indices({0, 32}, 4096), (std::vector<uint64_t>{0, 1, 2, 3, 128, 129, 130, 131}));
  // k = 1536: rows 0 and 1 share leaf 1.
  EXPECT_EQ(opened_leaf_indices({1, 0, 1}, 1536), (std::vector<uint64_t>{0, 1, 2}));
  EXPECT_EQ(opened_leaf_indices({}, 4096), std::vector<uint64_t>{});
}

TEST(OpenedLeavesTest, RowsOutsideTheMatrixAndShortRowsAreRefused) {
  EXPECT_NO_THROW(require_rows_inside({0, 3}, 100, 400, "A"));
  EXPECT_THROW(require_rows_inside({4}, 100, 400, "A"), std::invalid_argument);
  EXPECT_THROW(require_rows_inside({0}, 0, 400, "A"), std::invalid_argument);
  EXPECT_THROW(require_rows_inside({~0ull}, 4096, 1ull << 40, "B"), std::invalid_argument);
}

struct WalkCase {
  std::vector<uint64_t> leaves;
  uint64_t leaf_count;
  std::vector<std::pair<uint32_t, uint64_t>> siblings;  // (level, index)
};

TEST(SiblingWalkTest, EmitsPartnersBottomUpAndNeverTheRoot) {
  const WalkCase cases[] = {
      // Five leaves: leaf 4 has no partner at levels 0 and 1.
      {{4}, 5, {{2, 0}}},
      {{0}, 5, {{0, 1}, {1, 1}, {2, 1}}},
      // One row of 4096 bytes in a large tree: nothing below level 2.
      {{0, 1, 2, 3}, 64, {{2, 1}, {3, 1}, {4, 1}, {5, 1}}},
      {{0}, 1, {}},
      {{}, 8, {}},
      {{1, 6}, 8, {{0, 0}, {0, 7}, {1, 1}, {1, 2}}},
  };
  for (const WalkCase& c : cases) {
    std::vector<std::pair<uint32_t, uint64_t>> walked;
    for (const TreeNodeRef& node : sibling_walk(c.leaves, c.leaf_count)) {
      walked.emplace_back(node.level, node.index);
    }
    EXPECT_EQ(walked, c.siblings) << "leaf count " << c.leaf_count;
  }
}

HostSignalHeader header_with_pairs(const std::vector<std::pair<uint16_t, uint16_t>>& pairs) {
  HostSignalHeader header;
  std::memset(&header, 0, sizeof(header));
  header.pair_count = static_cast<uint16_t>(pairs.size());
  for (size_t i = 0; i < pairs.size(); ++i) {
    header.pair_rows[i] = pairs[i].first;
    header.pair_cols[i] = pairs[i].second;
  }
  return header;
}

TEST(CandidateRowsColsTest, TileBasePlusDistinctInTileIndicesAscending) {
  HostSignalHeader header = header_with_pairs({{5, 9}, {5, 7}});
  header.tile_m_index = 2;
  header.tile_height = 64;
  header.tile_n_index = 3;
  header.tile_width = 128;
  const OpenedRowsCols opened = candidate_rows_cols(header);
  EXPECT_EQ(opened.rows, std::vector<uint64_t>{133});
  EXPECT_EQ(opened.cols, (std::vector<uint64_t>{391, 393}));

  const OpenedRowsCols none = candidate_rows_cols(header_with_pairs({}));
  EXPECT_TRUE(none.rows.empty());
  EXPECT_TRUE(none.cols.empty());
}

TEST(CandidateRowsColsTest, CountBeyondThePairArraysReadsOnlyTheArrays) {
  HostSignalHeader header = header_with_pairs({});
  for (int i = 0; i < 256; ++i) {
    header.pair_rows[i] = static_cast<uint16_t>(i);
    header.pair_cols[i] = static_cast<uint16_t>(i);
  }
  header.pair_count = 300;
  header.tile_height = 128;
  header.tile_width = 128;
  const OpenedRowsCols opened = candidate_rows_cols(header);
  EXPECT_EQ(opened.rows.size(), 256u);
  EXPECT_EQ(opened.cols.back(), 255u);
}

}  // namespace
