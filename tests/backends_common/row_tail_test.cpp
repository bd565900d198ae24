// Rows whose shape rule lets k run past the last whole step of rank columns:
// those K columns are multiplied but no step takes them into a transcript.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "device_fixture.h"
#include "mining_attempt.h"
#include "row_device_test.h"

namespace {

using RowTailTest = RowDeviceTest<RowShapeCase>;

TEST_P(RowTailTest, ColumnsPastTheLastWholeStepStayOutOfTheTranscript) {
  MiningAttempt attempt(GetParam().shape);
  ASSERT_EQ(attempt.mine(row(), all_ones_target()), cudaSuccess);
  const HostSignalHeader& h = attempt.header();
  ASSERT_EQ(h.status, 1u);
  ASSERT_EQ(h.candidate_thread, 0);
  const ThreadTranscript cpu = cpu_thread_transcript(attempt, 0, 0, 0);
  EXPECT_EQ(0, std::memcmp(h.transcript, cpu.words, sizeof(cpu.words)));
  EXPECT_EQ(0, std::memcmp(h.kernel_hash, cpu.digest, 32));
}

// k = 192 at rank 128: one step, then a K tile that no step takes; k = 320 at
// rank 128: two steps and the same.
INSTANTIATE_TEST_SUITE_P(
    Rows, RowTailTest,
    ::testing::Values(RowShapeCase{"ampere", "8.6,Host GPU,4096,8", {128, 128, 192, 128}},
                      RowShapeCase{"ampere", "8.6,Host GPU,4096,8", {128, 128, 320, 128}},
                      RowShapeCase{"turing", "7.5,Host T4,4096,8", {128, 128, 192, 128}},
                      RowShapeCase{"turing", "7.5,Host T4,4096,8", {128, 128, 320, 128}}),
    [](const ::testing::TestParamInfo<RowShapeCase>& info) {
      return std::string(info.param.force_name) + "_k" + std::to_string(info.param.shape.k);
    });

}  // namespace
