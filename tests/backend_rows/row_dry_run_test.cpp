// A dry run of the binary on each row's device, forced to the row or chosen
// for the device: it mines and exits zero under the row's name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_binary.h"

namespace {

struct DryRunCase {
  const char* what;
  const char* device;  // HOSTGPU_DEVICES
  const char* force;   // --force-backend; "" lets the device choose
  const char* m;
  const char* n;
  const char* k;
  const char* rank;
  const char* streams;  // HOSTGPU_STREAMS; "" for the default
  const char* row;      // the row's name on the miner's line
};

int count(const std::string& text, const std::string& piece) {
  int found = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++found;
  return found;
}

class RowDryRunTest : public ::testing::TestWithParam<DryRunCase> {};

TEST_P(RowDryRunTest, MinesTwoAttemptsAndExitsZero) {
  const DryRunCase& c = GetParam();
  std::vector<std::string> args = {"--dry-run", "--max-attempts", "2", "--status-interval", "1", "--m", c.m,
                                   "--n", c.n, "--k", c.k, "--rank", c.rank};
  if (*c.force) args.insert(args.end(), {"--force-backend", c.force});
  std::vector<std::pair<std::string, std::string>> env = {{"HOSTGPU_DEVICES", c.device}, {"NO_COLOR", "1"}};
  if (*c.streams) env.emplace_back("HOSTGPU_STREAMS", c.streams);
  const BinaryRun run = run_korvath(args, env);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_NE(run.out.find(std::string("component=miner backend=") + c.row + "\n"), std::string::npos) << run.out;
  EXPECT_EQ(count(run.out, "component=miner status attempts="), 2) << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RowDryRunTest,
    ::testing::Values(
        DryRunCase{"volta", "7.0,Host V100,4096,8", "volta", "256", "256", "256", "64", "", "volta_sm70"},
        DryRunCase{"turing", "7.5,Host Turing,4096,40", "turing", "256", "256", "256", "64", "", "turing_sm75"},
        DryRunCase{"ampere_rank64", "8.6,Host GPU,4096,8", "ampere", "256", "256", "256", "64", "", "ampere_sm8x"},
        DryRunCase{"ampere_rank128", "8.6,Host GPU,4096,8", "ampere", "256", "256", "256", "128", "",
                   "ampere_sm8x"},
        DryRunCase{"cmp170hx_chosen", "8.0,NVIDIA CMP 170HX,8192,70", "", "256", "256", "256", "128", "",
                   "cmp170hx_sm80"},
        DryRunCase{"cmp170hx_forced", "8.0,NVIDIA CMP 170HX,8192,70", "cmp170hx", "256", "256", "256", "128", "",
                   "cmp170hx_sm80"},
        DryRunCase{"ada_eager", "8.9,Host Ada,4096,8", "ada", "256", "256", "256", "128", "eager", "ada_sm89"},
        DryRunCase{"ada_deferred", "8.9,Host Ada,4096,8", "ada", "256", "256", "256", "128", "deferred",
                   "ada_sm89"},
        DryRunCase{"ada_chosen", "8.9,Host Ada,4096,8", "", "128", "256", "128", "128", "", "ada_sm89"},
        DryRunCase{"hopper", "9.0,Host H100,4096,8", "hopper", "128", "256", "256", "128", "", "hopper_sm90"},
        DryRunCase{"blackwell", "12.0,Host RTX 5090,4096,8", "blackwell", "128", "256", "256", "128", "",
                   "blackwell_sm120"},
        DryRunCase{"blackwell_native", "12.0,Host RTX 5090,4096,8", "blackwell-native", "128", "256", "256", "128",
                   "", "blackwell_native_sm120"},
        DryRunCase{"blackwell_b200", "10.0,Host B200,4096,148", "blackwell-b200", "256", "512", "256", "128", "",
                   "blackwell_b200_sm100"},
        DryRunCase{"blackwell_b300", "10.3,Host B300,4096,148", "blackwell-b300", "256", "256", "256", "128", "",
                   "blackwell_b300_sm103"}),
    [](const ::testing::TestParamInfo<DryRunCase>& info) { return std::string(info.param.what); });

}  // namespace
