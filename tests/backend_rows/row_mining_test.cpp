// Every row with 128 x 128 tiles mines an attempt as the network's rules say:
// an all-ones target reports thread 0 of tile (0, 0) with the CPU replay's
// transcript, a zero target finds nothing. Where a row's shape rule lets k run
// past the last whole step, those K columns stay out of the transcript.
#include <cstring>
#include <string>

#include "core/blake3_block.h"
#include "mining_attempt.h"
#include "row_device_test.h"

namespace {

struct MiningCase {
  const char* what;
  const char* force;
  const char* device;
  AttemptShape shape;
};

using RowMiningTest = RowDeviceTest<MiningCase>;

TEST_P(RowMiningTest, AllOnesTargetReportsTheFirstThreadWithTheCpuTranscript) {
  const MiningCase& c = GetParam();
  MiningAttempt attempt(c.shape);
  ASSERT_EQ(attempt.mine(forced_row(c.force), all_ones_target()), cudaSuccess);
  ASSERT_NO_FATAL_FAILURE(expect_first_thread_of_first_tile(attempt));
  const HostSignalHeader& h = attempt.header();
  uint8_t keyed[32];
  blake3_keyed_hash_block(keyed, h.transcript, attempt.seed_a().data());
  EXPECT_EQ(0, std::memcmp(h.kernel_hash, keyed, 32));
}

TEST_P(RowMiningTest, ZeroTargetFindsNothing) {
  const MiningCase& c = GetParam();
  MiningAttempt attempt(c.shape);
  ASSERT_EQ(attempt.mine(forced_row(c.force), zero_target()), cudaSuccess);
  EXPECT_EQ(attempt.header().status, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RowMiningTest,
    ::testing::Values(MiningCase{"dp2a_rank64", "cmp170hx-dp2a", kCmp170hxDevice, {256, 256, 256, 64}},
                      MiningCase{"dp2a_rank128", "cmp170hx-dp2a", kCmp170hxDevice, {256, 256, 256, 128}},
                      // 17 steps: a transcript word taken twice.
                      MiningCase{"dp2a_k1088", "cmp170hx-dp2a", kCmp170hxDevice, {128, 128, 1088, 64}},
                      MiningCase{"scalar_rank64", "cmp170hx-scalar", kCmp170hxDevice, {256, 256, 256, 64}},
                      MiningCase{"scalar_rank128", "cmp170hx-scalar", kCmp170hxDevice, {256, 256, 256, 128}},
                      MiningCase{"volta_rank64", "volta", kCmp170hxDevice, {256, 256, 256, 64}},
                      MiningCase{"volta_rank128", "volta", kCmp170hxDevice, {256, 256, 256, 128}},
                      MiningCase{"turing_rank64", "turing", kTuringDevice, {256, 256, 256, 64}},
                      MiningCase{"turing_rank128", "turing", kTuringDevice, {256, 256, 256, 128}},
                      MiningCase{"ampere_rank64", "ampere", kAmpereDevice, {256, 256, 256, 64}},
                      MiningCase{"ampere_rank128", "ampere", kAmpereDevice, {256, 256, 256, 128}},
                      MiningCase{"ampere_k1088", "ampere", kAmpereDevice, {128, 128, 1088, 64}},
                      // k = 192 at rank 128: one step, then a K tile that no step
                      // takes; k = 320: two steps and the same.
                      MiningCase{"ampere_tail_k192", "ampere", kAmpereDevice, {128, 128, 192, 128}},
                      MiningCase{"ampere_tail_k320", "ampere", kAmpereDevice, {128, 128, 320, 128}},
                      MiningCase{"turing_tail_k192", "turing", kTuringDevice, {128, 128, 192, 128}},
                      MiningCase{"turing_tail_k320", "turing", kTuringDevice, {128, 128, 320, 128}},
                      MiningCase{"cmp170hx_k256", "cmp170hx", kCmp170hxDevice, {256, 256, 256, 128}},
                      MiningCase{"cmp170hx_k384", "cmp170hx", kCmp170hxDevice, {256, 256, 384, 128}}),
    [](const ::testing::TestParamInfo<MiningCase>& info) { return std::string(info.param.what); });

}  // namespace
