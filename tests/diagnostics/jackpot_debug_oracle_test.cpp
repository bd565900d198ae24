#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/config.h"
#include "diagnostics/debug_gemm_tile.h"
#include "diagnostics/jackpot_debug_oracle.h"
#include "engine/miner_startup.h"
#include "engine/serial_loop.h"
#include "host_device_fixture.h"

namespace {

HostSignalHeader header_with(uint16_t pairs, int32_t height, int32_t width) {
  HostSignalHeader header;
  std::memset(&header, 0, sizeof(header));
  header.pair_count = pairs;
  header.tile_height = height;
  header.tile_width = width;
  return header;
}

Config shape(int32_t m, int32_t k, int32_t rank) {
  Config config;
  config.m = m;
  config.n = m;
  config.k = k;
  config.rank = rank;
  return config;
}

TEST(JackpotDebugOracle, GeometryRefusesHeadersNoDumpKernelWrites) {
  const Config config = shape(256, 256, 64);
  struct Case {
    uint16_t pairs;
    int32_t height, width;
    int32_t thread;
  };
  const Case refused[] = {{0, 128, 128, 0},  {1, 128, 128, 0},   {3, 128, 128, 0},
                          {24, 128, 128, 0}, {128, 128, 128, -1}, {128, 128, 128, 256},
                          {128, 32, 128, 0}};
  for (const Case& c : refused) {
    HostSignalHeader header = header_with(c.pairs, c.height, c.width);
    header.candidate_thread = c.thread;
    try {
      jackpot_geometry(config, header);
      FAIL() << c.pairs << " " << c.width << " " << c.thread;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "invalid jackpot debug transcript geometry");
    }
  }
  HostSignalHeader header = header_with(128, 128, 128);
  header.tile_m_index = 1;
  header.tile_n_index = 1;
  header.candidate_thread = 5;
  const JackpotGeometry g = jackpot_geometry(config, header);
  EXPECT_EQ(g.steps, 4);
  EXPECT_EQ(g.half, 64);
  EXPECT_EQ(g.candidates_per_block, 2 * 2 * 32);
  EXPECT_EQ(g.global_block, 2 * 1 + 1);
  EXPECT_EQ(g.entry_base, (3 * 128 + 5) * 4);
}

TEST(JackpotDebugOracle, CandidateLayoutRowGroupsVaryFastest) {
  const JackpotCandidateLayout layout = jackpot_candidate_layout(3 * 32 + 7, 128);
  EXPECT_EQ(layout.row_group, 1);
  EXPECT_EQ(layout.col_group, 1);
  EXPECT_EQ(layout.row_offset, 7);
}

// The records a correct dump kernel writes for a thread of two rows and two columns.
struct Dump {
  std::vector<VexalHeadlessJackpotDumpEntry> entries;
  std::vector<int32_t> values;
  std::vector<uint32_t> counts;
};

Dump faithful_dump(const JackpotReplay& replay) {
  Dump dump;
  for (const JackpotReplayStep& step : replay.steps) {
    dump.entries.push_back({0, 0, step.k_pos / 64 - 1, step.transcript_index, step.xored_tile,
                            step.transcript_word, step.k_pos});
  }
  dump.values = replay.snapshots;
  dump.counts.assign(dump.values.size(), 1);
  return dump;
}

TEST(JackpotDebugOracle, FirstDivergenceNamesTheFirstFailingTest) {
  const int32_t k = 256, rank = 64;
  const std::vector<int8_t> a = debug_gemm_operand(2 * k, true);
  const std::vector<int8_t> b = debug_gemm_operand(2 * k, false);
  const JackpotReplay replay = cpu_jackpot_replay(a, b, 2, 2, k, rank);
  ASSERT_EQ(replay.steps.size(), 4u);
  EXPECT_EQ(replay.steps[3].k_pos, 256u);
  EXPECT_EQ(replay.steps[2].transcript_index, 2u);

  const JackpotDivergence none = first_jackpot_divergence(faithful_dump(replay).entries,
                                                          faithful_dump(replay).values,
                                                          faithful_dump(replay).counts, replay, 4);
  EXPECT_EQ(none.step, -1);
  EXPECT_EQ(none.reason, "none");

  struct Case {
    const char* what;
    void (*corrupt)(Dump&);
    int32_t step;
    const char* reason;
  };
  const Case cases[] = {
      {"k_pos", [](Dump& d) { d.entries[2].k_pos += 64; }, 2, "ll_or_transcript_idx"},
      {"index", [](Dump& d) { d.entries[1].transcript_index = 9; }, 1, "ll_or_transcript_idx"},
      {"count", [](Dump& d) { d.counts[3 * 4 + 1] = 2; }, 3, "gpu_value_count"},
      {"value", [](Dump& d) { d.values[1 * 4 + 2] ^= 1; }, 1, "xored_tile"},
      {"xored", [](Dump& d) { d.entries[0].xored_tile ^= 1; }, 0, "xored_tile"},
      {"word", [](Dump& d) { d.entries[3].transcript_word ^= 0x80000000u; }, 3, "transcript_word"},
      {"count before word",
       [](Dump& d) {
         d.entries[2].transcript_word ^= 1;
         d.counts[2 * 4] = 0;
       },
       2, "gpu_value_count"},
  };
  for (const Case& c : cases) {
    Dump dump = faithful_dump(replay);
    c.corrupt(dump);
    const JackpotDivergence found =
        first_jackpot_divergence(dump.entries, dump.values, dump.counts, replay, 4);
    EXPECT_EQ(found.step, c.step) << c.what;
    EXPECT_EQ(found.reason, c.reason) << c.what;
  }
}

TEST(JackpotDebugOracle, IntListFieldPrintsSignedValuesFromTheFirstIndex) {
  testing::internal::CaptureStdout();
  print_int_list_field("cpu_products128", {5, -3, 7, 0}, 1, 3);
  print_int_list_field("empty", {5}, 0, 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), " cpu_products128=-3,7,0 empty=");
}

class JackpotDebugOracleRun : public HostDeviceTest {};

// One --debug-dump attempt mined in-process, then the oracle on its buffers
// with one dumped value of the winning thread flipped.
TEST_F(JackpotDebugOracleRun, FlippedDumpValueIsReportedWithItsCellAndRankOracle) {
  configure("8.6,Host GPU,1024,8");
  Config config;
  config.dry_run = true;
  config.debug_dump = true;
  config.force_backend = "ampere";
  config.m = 256;
  config.n = 256;
  config.k = 256;
  config.rank = 64;
  config.max_attempts = 1;
  config.status_interval = 0;
  MinerState state(config, 0);
  testing::internal::CaptureStdout();
  std::string failure;
  try {
    if (start_up_miner(state, 0, 1)) run_serial_loop(state);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  const std::string mined = testing::internal::GetCapturedStdout();
  ASSERT_EQ(failure, "") << mined;
  ASSERT_NE(mined.find("reason=none"), std::string::npos) << mined;

  const DeviceWorkspace& w = *state.workspace;
  const HostSignalHeader& header = *w.signal_header;
  const JackpotGeometry g = jackpot_geometry(state.config, header);
  // Value 3 of step 0: the thread's cumulative sum is then the rank step's own product.
  int32_t* value = state.dump_value_buffer.data() + g.entry_base * g.pairs + 3;
  int32_t original = 0;
  ASSERT_EQ(cudaMemcpy(&original, value, 4, cudaMemcpyDeviceToHost), cudaSuccess);
  const int32_t flipped = original ^ 0x100;
  ASSERT_EQ(cudaMemcpy(value, &flipped, 4, cudaMemcpyHostToDevice), cudaSuccess);

  uint8_t a_seed[32];
  uint8_t b_seed[32];
  ASSERT_EQ(cudaMemcpy(a_seed, w.a_noise_seed.data, 32, cudaMemcpyDeviceToHost), cudaSuccess);
  ASSERT_EQ(cudaMemcpy(b_seed, w.b_noise_seed.data, 32, cudaMemcpyDeviceToHost), cudaSuccess);
  testing::internal::CaptureStdout();
  try {
    jackpot_debug_oracle(state.config, *state.row, &header, state.dump_entry_buffer.data(),
                         state.dump_value_buffer.data(), state.dump_count_buffer.data(), w.a.data,
                         w.b.data, w.a_noised.data, w.b_noised.data, a_seed, b_seed);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(failure, "") << out;
  EXPECT_NE(out.find(" first_divergence=0 reason=xored_tile "), std::string::npos) << out;
  EXPECT_EQ(out.find("jackpot_debug_result"), std::string::npos);
  EXPECT_NE(out.find("\njackpot_debug_divergence gpu_block=("), std::string::npos);
  EXPECT_NE(out.find(" gpu_ll=64 cpu_ll=64 "), std::string::npos);
  EXPECT_NE(out.find(" first_cell_diff=3 matching_candidate_in_tile=-1\n"), std::string::npos);
  EXPECT_NE(out.find("\njackpot_debug_first_cell rr=0 col=3 gpu_accum=" +
                     std::to_string(flipped) + " cpu_accum=" + std::to_string(original) +
                     " gpu_count=1\n cpu_products128="),
            std::string::npos);
  EXPECT_NE(out.find(" oracle_vs_dump_mismatches=1 oracle_bad_counts=0\n gpu_accum128="),
            std::string::npos);
  EXPECT_NE(out.find("\n gpu_accum128_counts=1,1,1,"), std::string::npos);
  EXPECT_NE(out.find("\n cpu_accum128="), std::string::npos);
}

}  // namespace
