// Mining through every row whose block tile is 128 x 128: an all-ones target
// reports thread 0 of tile (0, 0) with the CPU transcript, a zero target
// reports nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/blake3_block.h"
#include "device_fixture.h"
#include "mining_attempt.h"
#include "row_device_test.h"

namespace {

using RowMiningTest = RowDeviceTest<RowShapeCase>;

TEST_P(RowMiningTest, AllOnesTargetReportsTheFirstThreadWithTheCpuTranscript) {
  MiningAttempt attempt(GetParam().shape);
  ASSERT_EQ(attempt.mine(row(), all_ones_target()), cudaSuccess);
  ASSERT_NO_FATAL_FAILURE(expect_first_thread_of_first_tile(attempt));
  const HostSignalHeader& h = attempt.header();
  uint8_t keyed[32];
  blake3_keyed_hash_block(keyed, h.transcript, attempt.seed_a().data());
  EXPECT_EQ(0, std::memcmp(h.kernel_hash, keyed, 32));
}

TEST_P(RowMiningTest, ZeroTargetFindsNothing) {
  MiningAttempt attempt(GetParam().shape);
  ASSERT_EQ(attempt.mine(row(), zero_target()), cudaSuccess);
  EXPECT_EQ(attempt.header().status, 0u);
}

constexpr const char* kCmp170hx = "8.0,NVIDIA CMP 170HX,8192,70";

INSTANTIATE_TEST_SUITE_P(
    Rows, RowMiningTest,
    ::testing::Values(RowShapeCase{"volta", "7.0,Host V100,4096,8", {256, 256, 256, 128}},
                      RowShapeCase{"turing", "7.5,Host T4,4096,8", {256, 256, 256, 64}},
                      RowShapeCase{"turing", "7.5,Host T4,4096,8", {256, 256, 256, 128}},
                      RowShapeCase{"cmp170hx-dp2a", kCmp170hx, {256, 256, 256, 64}},
                      RowShapeCase{"cmp170hx-dp2a", kCmp170hx, {256, 256, 256, 128}},
                      // 17 steps: a transcript word taken twice.
                      RowShapeCase{"cmp170hx-dp2a", kCmp170hx, {128, 128, 1088, 64}},
                      RowShapeCase{"cmp170hx-scalar", kCmp170hx, {256, 256, 256, 64}},
                      RowShapeCase{"cmp170hx-scalar", kCmp170hx, {256, 256, 256, 128}},
                      RowShapeCase{"cmp170hx", kCmp170hx, {256, 256, 256, 128}},
                      RowShapeCase{"cmp170hx", kCmp170hx, {256, 256, 384, 128}},
                      RowShapeCase{"ampere", "8.6,Host GPU,4096,8", {256, 256, 256, 64}},
                      RowShapeCase{"ampere", "8.6,Host GPU,4096,8", {256, 256, 256, 128}},
                      RowShapeCase{"ampere", "8.6,Host GPU,4096,8", {128, 128, 1088, 64}}),
    [](const ::testing::TestParamInfo<RowShapeCase>& info) {
      std::string name = info.param.force_name;
      for (char& ch : name) {
        if (ch == '-') ch = '_';
      }
      return name + "_k" + std::to_string(info.param.shape.k) + "_rank" +
             std::to_string(info.param.shape.rank);
    });

}  // namespace
