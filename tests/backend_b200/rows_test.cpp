// The rows take slots 4 and 5 from the two-SM units.
#include "backends/blackwell_b200_mining_kernel.h"
#include "backends/blackwell_b300_mining_kernel.h"
#include "mining_attempt.h"

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

}  // namespace
