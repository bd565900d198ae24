#include "pool/share_target.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "scripted_pool.h"

namespace {

ShareTarget words(std::initializer_list<std::pair<int, uint32_t>> set) {
  ShareTarget t{};
  for (const auto& [index, value] : set) t[index] = value;
  return t;
}

TEST(ShareTargetTest, CompactToTarget) {
  struct Case {
    uint32_t nbits;
    ShareTarget expected;
  };
  const Case cases[] = {
      {0x1d00ffff, words({{6, 0xffff0000}})},
      {0x1d80ffff, words({{6, 0xffff0000}})},  // bit 23 ignored
      {0x03123456, words({{0, 0x123456}})},
      {0x02123456, words({{0, 0x1234}})},
      {0x01123456, words({{0, 0x12}})},
      {0x22000001, words({{7, 0x01000000}})},
      {0x05123456, words({{0, 0x34560000}, {1, 0x12}})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.nbits);
    EXPECT_EQ(compact_to_target(c.nbits), c.expected);
  }
  for (uint32_t overflow : {0x22010000u, 0x23000001u}) {
    try {
      compact_to_target(overflow);
      ADD_FAILURE() << std::hex << overflow;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "compact target exceeds uint256");
    }
  }
  try {
    compact_to_target(0x1d000000);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "compact target has zero mantissa");
  }
}

TEST(ShareTargetTest, DifficultyAndCompact) {
  EXPECT_DOUBLE_EQ(compact_to_difficulty(0x1d00ffff), 1.0);
  EXPECT_DOUBLE_EQ(compact_to_difficulty(0x1c7fff80), 2.0);
  EXPECT_EQ(difficulty_to_compact(1.0), 0x1d00ffffu);
  EXPECT_EQ(difficulty_to_compact(2.0), 0x1c7fff80u);
  EXPECT_EQ(difficulty_to_compact(1e300), 0x01010000u);
  // Round trip within the precision of a 16-bit mantissa.
  for (double d : {0.5, 3.0, 1000.0, 131072.0, 1e9}) {
    EXPECT_NEAR(compact_to_difficulty(difficulty_to_compact(d)) / d, 1.0, 1e-4) << d;
  }
}

TEST(ShareTargetTest, DecimalToTarget) {
  EXPECT_EQ(decimal_to_target(""), ShareTarget{});
  EXPECT_EQ(decimal_to_target("4294967296"), words({{1, 1}}));
  EXPECT_EQ(decimal_to_target("115792089237316195423570985008687907853269984665640564039457584007913129639935"),
            kMaxShareTarget);
  EXPECT_THROW(decimal_to_target("115792089237316195423570985008687907853269984665640564039457584007913129639936"),
               std::runtime_error);
  EXPECT_THROW(decimal_to_target("12a"), std::runtime_error);
}

TEST(ShareTargetTest, FactorScalingOfTheWorkedExample) {
  MiningJob job;  // default patterns {0, 32} and 0..63
  job.k = 4096;
  EXPECT_EQ(difficulty_factor(job), 524288);
  EXPECT_EQ(job_share_target(0x1d00ffff, difficulty_factor(job)), words({{7, 0x0007fff8}}));
  job.rows_pattern.clear();
  EXPECT_EQ(difficulty_factor(job), 0);
  for (int64_t bad : {int64_t{0}, int64_t{-128}, int64_t{4294967296}}) {
    try {
      scale_share_target(words({{0, 1}}), bad);
      ADD_FAILURE() << bad;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "unsupported mining difficulty factor");
    }
  }
}

TEST(ShareTargetTest, OversizedTargetsSaturateWithAWarning) {
  LogCapture log;
  // A product that passes 2^256, and a compact value beyond 256 bits (a tiny difficulty).
  const ShareTarget scaled = scale_share_target(words({{7, 0x80000000}}), 2);
  const ShareTarget from_tiny = job_share_target(difficulty_to_compact(1e-30), 524288);
  log.finish();
  EXPECT_EQ(scaled, kMaxShareTarget);
  EXPECT_EQ(from_tiny, kMaxShareTarget);
  EXPECT_NE(log.err.find("level=WARN"), std::string::npos);
  EXPECT_NE(log.err.find("share_target_saturated factor=2 action=accept_every_digest"), std::string::npos);
  EXPECT_NE(log.err.find("share_target_saturated share_nbits="), std::string::npos);
}

}  // namespace
