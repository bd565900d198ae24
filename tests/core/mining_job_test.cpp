#include "core/mining_job.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace {

TEST(MiningJobTest, Defaults) {
  const MiningJob job;
  EXPECT_TRUE(job.header_bytes.empty());
  EXPECT_TRUE(job.header_b64.empty());
  EXPECT_TRUE(job.target_text.empty());
  EXPECT_TRUE(job.job_id.empty());
  EXPECT_TRUE(job.share_nbits.empty());
  EXPECT_EQ(job.generation, 0u);
  EXPECT_TRUE(job.clean);
  EXPECT_EQ(job.difficulty, 0.0);
  EXPECT_EQ(job.m, 131072);
  EXPECT_EQ(job.n, 131072);
  EXPECT_EQ(job.k, 4096);
  EXPECT_EQ(job.rank, 128);
  EXPECT_EQ(job.rows_pattern, (std::vector<int32_t>{0, 32}));
  EXPECT_EQ(job.cols_pattern, default_opened_columns());
  EXPECT_EQ(job.target, (std::array<uint32_t, 8>{}));
}

TEST(MiningJobTest, DefaultOpenedColumnsAreZeroTo63) {
  const std::vector<int32_t> cols = default_opened_columns();
  ASSERT_EQ(cols.size(), 64u);
  for (int32_t i = 0; i < 64; ++i) EXPECT_EQ(cols[i], i);
}

TEST(MiningJobTest, CopiesAreDeepAndIndependent) {
  MiningJob original;
  original.header_bytes = {1, 2, 3};
  original.job_id = "job-1";
  original.header_b64 = "AQID";
  original.target[7] = 5;

  MiningJob copy = original;
  copy.header_bytes[0] = 9;
  copy.rows_pattern.push_back(64);
  copy.cols_pattern[0] = 99;
  copy.job_id += "x";
  copy.header_b64.clear();
  copy.target[7] = 6;

  MiningJob assigned;
  assigned = original;
  assigned.header_bytes.clear();

  EXPECT_EQ(original.header_bytes, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(original.rows_pattern, (std::vector<int32_t>{0, 32}));
  EXPECT_EQ(original.cols_pattern, default_opened_columns());
  EXPECT_EQ(original.job_id, "job-1");
  EXPECT_EQ(original.header_b64, "AQID");
  EXPECT_EQ(original.target[7], 5u);
}

TEST(MiningJobTest, MovedFromJobStaysUsable) {
  MiningJob source;
  source.header_bytes = {1, 2};
  source.job_id = "j";
  MiningJob target;
  target = std::move(source);
  EXPECT_EQ(target.header_bytes, (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(target.job_id, "j");
  source.header_bytes.push_back(7);  // valid after the move
  source.job_id = "again";
  EXPECT_EQ(source.job_id, "again");
}

}  // namespace
