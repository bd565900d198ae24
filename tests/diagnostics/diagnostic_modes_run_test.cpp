// The korvath binary's diagnostic modes on the host device, at small shapes.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "run_binary.h"

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

// A host device of the capability the row's images run on.
Env host_env(const char* devices) {
  return {{"HOSTGPU_DEVICES", devices}, {"HOSTGPU_STREAMS", "eager"}, {"NO_COLOR", "1"}};
}

struct Row {
  const char* backend;
  const char* name;
  const char* rank;  // the row's smallest noise rank
  const char* steps;
  const char* devices;
};
const Row kRows[] = {{"cmp170hx-dp2a", "cmp170hx_dp2a_int", "64", "4", "8.6,Host GPU,1024,8"},
                     {"turing", "turing_sm75", "64", "4", "7.5,Host T4,1024,8"},
                     {"ampere", "ampere_sm8x", "64", "4", "8.6,Host GPU,1024,8"},
                     {"ada", "ada_sm89", "128", "2", "8.9,Host GPU,1024,8"}};

std::vector<std::string> args_for(const Row& row, std::vector<std::string> extra) {
  std::vector<std::string> args{"--force-backend", row.backend, "--m", "256", "--n", "256",
                                "--k",             "256",       "--rank", row.rank};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

TEST(DiagnosticModesRun, DumpCoordsPrintsTheMappingAndNeverStarts) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.backend);
    const BinaryRun run = run_korvath(args_for(row, {"--dump-coords"}), host_env(row.devices));
    ASSERT_EQ(run.status, 0) << run.err << run.out;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find(std::string("backend=") + row.name + " threads="), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\nwarp=0 coords="), std::string::npos);
    EXPECT_NE(run.out.find("\nthread=7 ("), std::string::npos);
    EXPECT_EQ(run.out.find("starting profile_m"), std::string::npos);
  }
}

TEST(DiagnosticModesRun, DebugGemmTileAgreesWithTheCpu) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.backend);
    const BinaryRun run = run_korvath(args_for(row, {"--debug-gemm-tile"}), host_env(row.devices));
    ASSERT_EQ(run.status, 0) << run.err << run.out;
    EXPECT_NE(run.out.find("\ndebug_gemm_tile k=256 mismatches=0 bad_counts=0\n"),
              std::string::npos)
        << run.out;
  }
  const BinaryRun bad = run_korvath(
      {"--force-backend", "turing", "--k", "96", "--rank", "32", "--debug-gemm-tile"},
      host_env(kRows[1].devices));
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("--debug-gemm-tile requires --k multiple of 64"), std::string::npos)
      << bad.err;
}

TEST(DiagnosticModesRun, DebugDumpReplaysTheWinningThread) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.backend);
    const BinaryRun run =
        run_korvath(args_for(row, {"--debug-dump", "--max-attempts", "1", "--debug-log"}),
                    host_env(row.devices));
    ASSERT_EQ(run.status, 0) << run.err << run.out;
    const size_t found = run.out.find("found_candidate rows=");
    const size_t summary = run.out.find("\njackpot_debug block=(");
    const size_t skip = run.out.find("dry_run_skip_plainproof_construction_submission=true");
    ASSERT_NE(summary, std::string::npos) << run.out;
    EXPECT_LT(found, summary);
    EXPECT_LT(summary, skip);
    EXPECT_NE(run.out.find(std::string(" steps=") + row.steps +
                           " first_divergence=-1 reason=none a_noise_seed="),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find(" secret_a0_first8="), std::string::npos);
    EXPECT_NE(run.out.find("\njackpot_debug_result all GPU per-step jackpot entries match CPU "
                           "replay for the winning candidate\n"),
              std::string::npos);
  }
}

TEST(DiagnosticModesRun, NativeExactCheckFailsOnAGeometryTheLaunchersRefuse) {
  const BinaryRun run =
      run_korvath(args_for(kRows[1], {"--debug-native-exact-rank-tile"}), host_env(kRows[1].devices));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("native_exact_debug_rank_tile: "), std::string::npos) << run.err;
  EXPECT_EQ(run.out.find("debug_native_exact_rank_tile "), std::string::npos);
}

}  // namespace
