#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/blake3_block.h"
#include "core/log.h"
#include "diagnostics/debug_gemm_tile.h"
#include "diagnostics/debug_transcript_check.h"
#include "engine/cpu_tile_transcript.h"
#include "engine/miner_startup.h"
#include "engine/serial_loop.h"
#include "host_device_fixture.h"
#include "proof/candidate_rows_cols.h"

namespace {

class DebugTranscriptCheckTest : public HostDeviceTest {};

TEST_F(DebugTranscriptCheckTest, MinedCandidateReplaysToTheKernelsWords) {
  struct Case {
    const char* backend;
    bool deferred;
    int32_t rank;
    const char* devices;  // a capability the row's images run on
  };
  const Case cases[] = {{"cmp170hx-dp2a", false, 64, "8.6,Host GPU,1024,8"},
                        {"turing", true, 64, "7.5,Host T4,1024,8"},
                        {"ampere", false, 64, "8.6,Host GPU,1024,8"},
                        {"ada", false, 128, "8.9,Host GPU,1024,8"}};
  log_color_mode = ColorMode::Never;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.backend);
    configure(c.devices, c.deferred);
    Config config;
    config.dry_run = true;
    config.force_backend = c.backend;
    config.m = 256;
    config.n = 256;
    config.k = 256;
    config.rank = c.rank;
    config.max_attempts = 1;
    config.status_interval = 0;
    MinerState state(config, 0);
    testing::internal::CaptureStdout();
    bool started = false;
    std::string failure;
    try {
      started = start_up_miner(state, 0, 1);
      state.offline_job.target.fill(0xffffffffu);  // every digest is a candidate
      if (started) run_serial_loop(state);
    } catch (const std::exception& e) {
      failure = e.what();
    }
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(started && failure.empty()) << failure << out;

    const DeviceWorkspace& w = *state.workspace;
    HostSignalHeader header = *w.signal_header;
    ASSERT_EQ(header.status, 1u);
    uint8_t seed[32];
    ASSERT_EQ(cudaMemcpy(seed, w.a_noise_seed.data, 32, cudaMemcpyDeviceToHost), cudaSuccess);
    // The offline job of a split row noises its operands in place.
    const int8_t* noised_a = state.split ? w.a.data : w.a_noised.data;
    const int8_t* noised_b = state.split ? w.b.data : w.b_noised.data;
    const OpenedRowsCols opened = candidate_rows_cols(header);

    const DebugTranscriptResults good =
        debug_transcript_check(state.config, noised_a, noised_b, header, opened, seed);
    EXPECT_EQ(good.cpu_transcript, good.kernel_transcript);
    EXPECT_EQ(good.cpu_replay_kernel_hash, good.kernel_transcript_hash);
    EXPECT_TRUE(std::equal(good.kernel_transcript_hash.begin(), good.kernel_transcript_hash.end(),
                           header.kernel_hash));
    EXPECT_NE(good.cpu_rank_local_hash, good.cpu_replay_kernel_hash);
    EXPECT_NE(good.kernel_transcript_match, "none");

    header.transcript[5] ^= 1;  // a kernel word no replay reproduces
    const DebugTranscriptResults bad =
        debug_transcript_check(state.config, noised_a, noised_b, header, opened, seed);
    EXPECT_NE(bad.cpu_transcript, bad.kernel_transcript);
    EXPECT_NE(bad.cpu_replay_kernel_hash, bad.kernel_transcript_hash);
    EXPECT_EQ(bad.cpu_replay_kernel_hash, good.cpu_replay_kernel_hash);
    EXPECT_EQ(bad.kernel_transcript_match, "none");
  }
}

TEST(DebugTranscriptCheck, RankLocalFoldsEachStepAlone) {
  // One row and one column: step q's fold is the dot product over its columns only.
  const int32_t k = 128, rank = 64;
  const std::vector<int8_t> a = debug_gemm_operand(k, true);
  const std::vector<int8_t> b = debug_gemm_operand(k, false);
  int32_t first = 0, second = 0;
  for (int t = 0; t < 64; ++t) first += a[t] * b[t];
  for (int t = 64; t < 128; ++t) second += a[t] * b[t];
  const std::array<uint32_t, 16> words = rank_local_transcript(a, b, 1, 1, k, rank);
  EXPECT_EQ(words[0], static_cast<uint32_t>(first));
  EXPECT_EQ(words[1], static_cast<uint32_t>(second));
  for (int i = 2; i < 16; ++i) EXPECT_EQ(words[i], 0u);
}

TEST(DebugTranscriptCheck, TileSearchFindsTheRawLayout) {
  Config config;
  config.k = 64;
  config.rank = 64;
  const std::vector<int8_t> a_tile = debug_gemm_operand(128 * 64, true);
  const std::vector<int8_t> b_tile = debug_gemm_operand(128 * 64, false);
  // The words of rows 64 + 5 and 64 + 37 against columns 64 to 127.
  std::vector<int8_t> a_rows;
  for (int row : {69, 101}) {
    for (int t = 0; t < 64; ++t) a_rows.push_back(a_tile[row * 64 + t]);
  }
  const std::vector<int8_t> b_rows(b_tile.begin() + 64 * 64, b_tile.end());
  OpenedRowsCols shape;
  shape.rows.resize(2);
  shape.cols.resize(64);
  const uint8_t key[32] = {7};
  uint8_t hash[32];
  uint32_t words[16];
  cpu_tile_transcript(hash, a_rows, b_rows, shape, key, config, words);
  EXPECT_EQ(find_transcript_in_tile(a_tile, b_tile, 128, 128, words, key, config),
            "raw row_group=1 col_group=1 row_offset=5 local_rows=69,101 local_col0=64");
  words[0] ^= 1;
  EXPECT_EQ(find_transcript_in_tile(a_tile, b_tile, 128, 128, words, key, config), "none");
  EXPECT_EQ(find_transcript_in_tile(a_tile, b_tile, 32, 128, words, key, config), "none");
}

}  // namespace
