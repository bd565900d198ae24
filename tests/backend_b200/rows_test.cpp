// The rows take slots 4 and 5 from the two-SM units, and each row mines in a
// dry run of the binary forced to it.
#include <string>

#include "backends/blackwell_b200_mining_kernel.h"
#include "backends/blackwell_b300_mining_kernel.h"
#include "mining_attempt.h"
#include "run_binary.h"

namespace {

TEST(TwoSmRows, MiningSlotsComeFromTheTwoSmUnits) {
  const GpuBackendDescriptor& b200 = forced_row("blackwell-b200");
  EXPECT_STREQ(b200.name, "blackwell_b200_sm100");
  EXPECT_EQ(b200.launch_headless_mine, &vexal_blackwell_b200::launch_headless_mine);
  EXPECT_EQ(b200.launch_noise_and_mine, &vexal_blackwell_b200::launch_noise_and_mine);
  const GpuBackendDescriptor& b300 = forced_row("blackwell-b300");
  EXPECT_STREQ(b300.name, "blackwell_b300_sm103");
  EXPECT_EQ(b300.launch_headless_mine, &vexal_blackwell_b300::launch_headless_mine);
  EXPECT_EQ(b300.launch_noise_and_mine, &vexal_blackwell_b300::launch_noise_and_mine);
}

TEST(TwoSmRows, ForcedRowsMineInADryRunAndExitZero) {
  struct Case {
    const char* force_name;
    const char* device;
    const char* n;
    const char* row;
  };
  const Case cases[] = {
      {"blackwell-b200", "10.0,Host B200,4096,148", "512", "blackwell_b200_sm100"},
      {"blackwell-b300", "10.3,Host B300,4096,148", "256", "blackwell_b300_sm103"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.force_name);
    const BinaryRun run = run_korvath(
        {"--dry-run", "--max-attempts", "2", "--m", "256", "--n", c.n, "--k", "256", "--rank",
         "128", "--force-backend", c.force_name},
        {{"HOSTGPU_DEVICES", c.device}, {"NO_COLOR", "1"}});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(std::string("component=miner backend=") + c.row + "\n"),
              std::string::npos)
        << run.out;
  }
}

}  // namespace
