// Mining through the explicit rows ("cmp170hx_dp2a_int", "cmp170hx_scalar_int"
// and "volta_sm70"): the election of the winner, the jackpot dump, and the
// dump's bit-for-bit agreement with the dp2a row.
#include <cstring>
#include <string>
#include <vector>

#include "device_fixture.h"
#include "mining_attempt.h"

namespace {

struct RowCase {
  const char* force_name;
  AttemptShape shape;
};

class ExplicitMiningTest : public HostDeviceTest, public ::testing::WithParamInterface<RowCase> {};

TEST_P(ExplicitMiningTest, TheLowestHittingThreadOfTheLaunchWins) {
  const RowCase c = GetParam();
  MiningAttempt attempt(c.shape);
  const std::vector<uint32_t> target = one_in_sixteen_target();
  ASSERT_EQ(attempt.mine(forced_row(c.force_name), target), cudaSuccess);

  // Keys run along m first, then thread: the first hit in that order wins.
  const uint32_t tiles_m = c.shape.m / 128;
  const uint32_t tiles_n = c.shape.n / 128;
  bool found = false;
  for (uint32_t tn = 0; tn < tiles_n && !found; ++tn) {
    for (uint32_t tm = 0; tm < tiles_m && !found; ++tm) {
      for (int t = 0; t < 128 && !found; ++t) {
        const ThreadTranscript cpu = cpu_thread_transcript(attempt, tm, tn, t);
        if ((uint32_t(cpu.digest[31]) << 24 | uint32_t(cpu.digest[30]) << 16 | uint32_t(cpu.digest[29]) << 8 |
             cpu.digest[28]) > target[7]) {
          continue;
        }
        found = true;
        const HostSignalHeader& h = attempt.header();
        ASSERT_EQ(h.status, 1u);
        EXPECT_EQ(h.tile_m_index, tm);
        EXPECT_EQ(h.tile_n_index, tn);
        EXPECT_EQ(h.candidate_thread, t);
        EXPECT_EQ(0, std::memcmp(h.transcript, cpu.words, sizeof(cpu.words)));
        EXPECT_EQ(0, std::memcmp(h.kernel_hash, cpu.digest, 32));
      }
    }
  }
  ASSERT_TRUE(found) << "no digest met the target; choose other seeds";
}

TEST_P(ExplicitMiningTest, JackpotDumpRecordsEveryStepOfEveryThread) {
  const RowCase c = GetParam();
  const AttemptShape s{128, 128, c.shape.k, c.shape.rank};
  const int steps = s.k / s.rank;
  MiningAttempt attempt(s);
  DeviceArray<VexalHeadlessJackpotDumpEntry> entries(size_t(128) * steps);
  DeviceArray<int32_t> values(size_t(128) * steps * 128);
  DeviceArray<uint32_t> counts(size_t(128) * steps * 128);
  ASSERT_EQ(attempt.mine_with_dump(forced_row(c.force_name), all_ones_target(), entries.ptr, values.ptr,
                                   counts.ptr, steps),
            cudaSuccess);
  const auto dumped = entries.download();
  const auto dumped_values = values.download();
  for (uint32_t count : counts.download()) ASSERT_EQ(count, 1u);

  for (int thread : {0, 37, 127}) {
    SCOPED_TRACE(thread);
    // Replay the thread's step by step: its two rows, its 64 columns.
    const uint64_t row = 64 * ((thread / 32) % 2) + thread % 32;
    const std::vector<int8_t> a = attempt.a_rows({row, row + 32});
    std::vector<uint64_t> cols;
    for (int j = 0; j < 64; ++j) cols.push_back(64 * (thread / 64) + j);
    const std::vector<int8_t> b = attempt.b_rows(cols);
    std::vector<uint32_t> acc(128, 0);
    uint32_t state[16] = {};
    for (int q = 0; q < steps; ++q) {
      for (int t = q * s.rank; t < (q + 1) * s.rank; ++t) {
        for (int v = 0; v < 128; ++v) acc[v] += uint32_t(int32_t(a[(v / 64) * s.k + t]) * b[(v % 64) * s.k + t]);
      }
      uint32_t fold = 0;
      for (uint32_t value : acc) fold ^= value;
      const int word = q % 16;
      state[word] = fold ^ ((state[word] << 13) | (state[word] >> 19));
      const VexalHeadlessJackpotDumpEntry& e = dumped[size_t(thread) * steps + q];
      EXPECT_EQ(e.transcript_index, uint32_t(word));
      EXPECT_EQ(e.xored_tile, fold);
      EXPECT_EQ(e.transcript_word, state[word]);
      EXPECT_EQ(e.k_pos, uint32_t((q + 1) * s.rank));
      for (int v = 0; v < 128; ++v) {
        ASSERT_EQ(uint32_t(dumped_values[(size_t(thread) * steps + q) * 128 + v]), acc[v]) << v;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, ExplicitMiningTest,
                         ::testing::Values(RowCase{"cmp170hx-dp2a", {256, 256, 256, 64}},
                                           RowCase{"cmp170hx-dp2a", {256, 256, 256, 128}},
                                           RowCase{"cmp170hx-scalar", {256, 256, 256, 64}},
                                           RowCase{"cmp170hx-scalar", {256, 256, 256, 128}},
                                           RowCase{"volta", {256, 256, 256, 64}},
                                           RowCase{"volta", {256, 256, 256, 128}},
                                           // 17 steps: a transcript word taken twice.
                                           RowCase{"cmp170hx-dp2a", {128, 128, 1088, 64}}),
                         [](const ::testing::TestParamInfo<RowCase>& info) {
                           std::string name = info.param.force_name;
                           name = name.substr(name.find('-') + 1);
                           return name + "_k" + std::to_string(info.param.shape.k) + "_rank" +
                                  std::to_string(info.param.shape.rank);
                         });

// Each row's dump against the dp2a row's on the same attempt.
class RowAgreementTest : public HostDeviceTest, public ::testing::WithParamInterface<RowCase> {};

TEST_P(RowAgreementTest, JackpotDumpEqualsTheDp2aRows) {
  const RowCase c = GetParam();
  const AttemptShape s{128, 256, c.shape.k, c.shape.rank};
  const size_t threads = 2 * 128;
  const int steps = s.k / s.rank;
  DeviceArray<VexalHeadlessJackpotDumpEntry> entries(threads * steps), dp2a_entries(threads * steps);
  DeviceArray<int32_t> values(threads * steps * 128), dp2a_values(threads * steps * 128);
  DeviceArray<uint32_t> counts(threads * steps * 128), dp2a_counts(threads * steps * 128);
  MiningAttempt mined(s), dp2a(s);
  ASSERT_EQ(mined.mine_with_dump(forced_row(c.force_name), all_ones_target(), entries.ptr, values.ptr, counts.ptr,
                                 steps),
            cudaSuccess);
  ASSERT_EQ(dp2a.mine_with_dump(forced_row("cmp170hx-dp2a"), all_ones_target(), dp2a_entries.ptr, dp2a_values.ptr,
                                dp2a_counts.ptr, steps),
            cudaSuccess);
  for (uint32_t count : counts.download()) ASSERT_EQ(count, 1u);
  EXPECT_EQ(values.download(), dp2a_values.download());
  const auto mine = entries.download();
  const auto reference = dp2a_entries.download();
  ASSERT_EQ(0, std::memcmp(mine.data(), reference.data(), mine.size() * sizeof(mine[0])));
}

INSTANTIATE_TEST_SUITE_P(Rows, RowAgreementTest,
                         ::testing::Values(RowCase{"cmp170hx-scalar", {256, 384, 256, 64}},
                                           RowCase{"volta", {256, 256, 256, 64}}),
                         [](const ::testing::TestParamInfo<RowCase>& info) {
                           const std::string name = info.param.force_name;
                           return name.substr(name.find('-') + 1);
                         });

}  // namespace
