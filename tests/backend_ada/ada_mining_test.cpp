// Mining through the "ada_sm89" row: the reported candidate against the CPU
// replay on the split and fused paths, the election of the winner, the
// jackpot dump, the extra counter, and agreement with the verified dp2a row.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ada_test_support.h"
#include "core/blake3_block.h"

namespace {

enum class Path { split, fused };

struct MiningCase {
  Path path;
  AttemptShape shape;
  bool deferred_streams;
};

class AdaMiningTest : public AdaDeviceTest, public ::testing::WithParamInterface<MiningCase> {
 protected:
  void SetUp() override {
    if (GetParam().deferred_streams) setenv("HOSTGPU_STREAMS", "deferred", 1);
    AdaDeviceTest::SetUp();
  }
  void TearDown() override {
    unsetenv("HOSTGPU_STREAMS");
    AdaDeviceTest::TearDown();
  }
  cudaError_t mine(MiningAttempt& attempt, const std::vector<uint32_t>& target) {
    return GetParam().path == Path::split ? attempt.mine_split(ada_row(), target)
                                          : attempt.mine_fused(ada_row(), target);
  }
};

uint32_t digest_word7(const ThreadTranscript& t) {
  uint32_t word;
  std::memcpy(&word, t.digest + 28, 4);
  return word;
}

TEST_P(AdaMiningTest, AllOnesTargetReportsTheFirstThreadWithTheCpuTranscript) {
  MiningAttempt attempt(GetParam().shape);
  ASSERT_EQ(mine(attempt, all_ones_target()), cudaSuccess);
  EXPECT_EQ(attempt.device_noised_a(), attempt.cpu_noised_a());
  EXPECT_EQ(attempt.device_noised_b(), attempt.cpu_noised_b());

  const HostSignalHeader& h = attempt.header();
  ASSERT_EQ(h.status, 1u);
  EXPECT_EQ(h.tile_m_index, 0u);
  EXPECT_EQ(h.tile_n_index, 0u);
  EXPECT_EQ(h.candidate_thread, 0);
  EXPECT_EQ(h.tile_height, 128);
  EXPECT_EQ(h.tile_width, 256);
  ASSERT_EQ(h.pair_count, 128);
  for (int v = 0; v < 128; ++v) {
    EXPECT_EQ(h.pair_rows[v], v < 64 ? 0 : 32);
    EXPECT_EQ(h.pair_cols[v], v % 64);
  }
  const ThreadTranscript cpu = cpu_thread_transcript(attempt, 0, 0, 256, 0);
  EXPECT_EQ(0, std::memcmp(h.transcript, cpu.words, sizeof(cpu.words)));
  EXPECT_EQ(0, std::memcmp(h.kernel_hash, cpu.digest, 32));
  uint8_t keyed[32];
  blake3_keyed_hash_block(keyed, h.transcript, attempt.seed_a().data());
  EXPECT_EQ(0, std::memcmp(h.kernel_hash, keyed, 32));
}

TEST_P(AdaMiningTest, ZeroTargetFindsNothing) {
  MiningAttempt attempt(GetParam().shape);
  ASSERT_EQ(mine(attempt, zero_target()), cudaSuccess);
  EXPECT_EQ(attempt.header().status, 0u);
}

TEST_P(AdaMiningTest, TheLowestHittingThreadOfTheLaunchWins) {
  const AttemptShape s = GetParam().shape;
  MiningAttempt attempt(s);
  const std::vector<uint32_t> target = one_in_sixteen_target();
  ASSERT_EQ(mine(attempt, target), cudaSuccess);
  const HostSignalHeader& h = attempt.header();
  // Keys run along m first, then thread: the first CPU hit in that order wins.
  for (uint32_t tn = 0; tn < uint32_t(s.n / 256); ++tn) {
    for (uint32_t tm = 0; tm < uint32_t(s.m / 128); ++tm) {
      for (int t = 0; t < 256; ++t) {
        const ThreadTranscript cpu = cpu_thread_transcript(attempt, tm, tn, 256, t);
        if (digest_word7(cpu) > target[7]) continue;
        ASSERT_EQ(h.status, 1u);
        EXPECT_EQ(h.tile_m_index, tm);
        EXPECT_EQ(h.tile_n_index, tn);
        EXPECT_EQ(h.candidate_thread, t);
        EXPECT_EQ(0, std::memcmp(h.transcript, cpu.words, sizeof(cpu.words)));
        EXPECT_EQ(0, std::memcmp(h.kernel_hash, cpu.digest, 32));
        const CandidateCells cells = candidate_cells(t);
        for (int v = 0; v < 128; ++v) {
          EXPECT_EQ(h.pair_rows[v], cells.rows[v / 64]);
          EXPECT_EQ(h.pair_cols[v], cells.cols[v % 64]);
        }
        return;
      }
    }
  }
  FAIL() << "no digest met the target; choose other seeds";
}

TEST_P(AdaMiningTest, ExtraCountsTheTilesMinedAndNoSurplusBlock) {
  const AttemptShape s = GetParam().shape;
  MiningAttempt attempt(s);
  ASSERT_EQ(mine(attempt, zero_target()), cudaSuccess);
  EXPECT_EQ(attempt.extra_count(), uint32_t(s.m / 128) * uint32_t(s.n / 256));
  ASSERT_EQ(mine(attempt, zero_target()), cudaSuccess);  // never cleared by the row
  EXPECT_EQ(attempt.extra_count(), 2 * uint32_t(s.m / 128) * uint32_t(s.n / 256));
}

INSTANTIATE_TEST_SUITE_P(Paths, AdaMiningTest,
                         ::testing::Values(MiningCase{Path::split, {128, 256, 256, 128}, false},
                                           MiningCase{Path::fused, {128, 256, 256, 128}, false},
                                           MiningCase{Path::split, {256, 512, 256, 128}, false},
                                           MiningCase{Path::fused, {256, 512, 128, 128}, false},
                                           MiningCase{Path::split, {256, 512, 256, 128}, true},
                                           MiningCase{Path::fused, {128, 256, 256, 128}, true}),
                         [](const ::testing::TestParamInfo<MiningCase>& info) {
                           const AttemptShape& s = info.param.shape;
                           return std::string(info.param.path == Path::split ? "split" : "fused") +
                                  "_m" + std::to_string(s.m) + "_n" + std::to_string(s.n) +
                                  "_k" + std::to_string(s.k) +
                                  (info.param.deferred_streams ? "_deferred" : "");
                         });

using AdaJackpotDumpTest = AdaDeviceTest;

TEST_F(AdaJackpotDumpTest, EveryStepOfEveryThreadReplaysOnTheCpu) {
  const AttemptShape s{128, 256, 384, 128};
  const int steps = s.k / s.rank;
  MiningAttempt attempt(s);
  DeviceArray<VexalHeadlessJackpotDumpEntry> entries(size_t(256) * steps);
  DeviceArray<int32_t> values(size_t(256) * steps * 128);
  DeviceArray<uint32_t> counts(size_t(256) * steps * 128);
  ASSERT_EQ(attempt.mine_dump(ada_row(), all_ones_target(), entries.ptr, values.ptr, counts.ptr,
                              steps),
            cudaSuccess);
  EXPECT_EQ(attempt.header().status, 1u);
  const auto dumped = entries.download();
  const auto dumped_values = values.download();
  for (uint32_t count : counts.download()) ASSERT_EQ(count, 1u);

  for (int thread : {0, 37, 100, 255}) {
    SCOPED_TRACE(thread);
    const CandidateCells cells = candidate_cells(thread);
    std::vector<uint32_t> acc(128, 0);
    uint32_t state[16] = {};
    const std::vector<int8_t>& a = attempt.cpu_noised_a();
    const std::vector<int8_t>& b = attempt.cpu_noised_b();
    for (int q = 0; q < steps; ++q) {
      for (int t = q * s.rank; t < (q + 1) * s.rank; ++t) {
        for (int v = 0; v < 128; ++v) {
          acc[v] += uint32_t(int32_t(a[cells.rows[v / 64] * s.k + t]) * b[cells.cols[v % 64] * s.k + t]);
        }
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
      EXPECT_EQ(e.k_tile, uint32_t((q + 1) * s.rank / 64 - 1));
      for (int v = 0; v < 128; ++v) {
        ASSERT_EQ(uint32_t(dumped_values[(size_t(thread) * steps + q) * 128 + v]), acc[v]) << v;
      }
    }
    // The header's transcript is the thread's final state.
    if (thread == 0) EXPECT_EQ(0, std::memcmp(attempt.header().transcript, state, sizeof(state)));
  }
}

using RowAgreementTest = AdaDeviceTest;

// For the same attempt the ada and dp2a rows noise the operands alike, and
// their thread 0 of tile (0, 0) opens the same cells, so both report the same
// transcript and hash.
TEST_F(RowAgreementTest, AdaAndDp2aAgreeOnOperandsAndTheFirstThreadsTranscript) {
  const AttemptShape s{256, 256, 256, 128};
  MiningAttempt ada(s);
  MiningAttempt dp2a(s);
  ASSERT_EQ(ada.mine_split(ada_row(), all_ones_target()), cudaSuccess);
  ASSERT_EQ(dp2a.mine_fused(forced_row("cmp170hx-dp2a"), all_ones_target()), cudaSuccess);
  EXPECT_EQ(ada.device_noised_a(), dp2a.device_noised_a());
  EXPECT_EQ(ada.device_noised_b(), dp2a.device_noised_b());
  const HostSignalHeader& x = ada.header();
  const HostSignalHeader& y = dp2a.header();
  ASSERT_EQ(x.status, 1u);
  ASSERT_EQ(y.status, 1u);
  EXPECT_EQ(x.candidate_thread, y.candidate_thread);
  EXPECT_EQ(x.pair_count, y.pair_count);
  EXPECT_EQ(0, std::memcmp(x.pair_rows, y.pair_rows, sizeof(x.pair_rows)));
  EXPECT_EQ(0, std::memcmp(x.pair_cols, y.pair_cols, sizeof(x.pair_cols)));
  EXPECT_EQ(0, std::memcmp(x.transcript, y.transcript, sizeof(x.transcript)));
  EXPECT_EQ(0, std::memcmp(x.kernel_hash, y.kernel_hash, sizeof(x.kernel_hash)));
}

}  // namespace
