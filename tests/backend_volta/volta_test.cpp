// The "volta_sm70" row's own unit and selection, and an engine dry run forced
// to the row; its mining and slots run with the other explicit rows'.
#include <string>

#include "backends/volta_mining_kernel.h"
#include "core/config.h"
#include "device_fixture.h"
#include "mining_attempt.h"
#include "run_binary.h"

namespace {

class VoltaTest : public HostDeviceTest {
 protected:
  const GpuBackendDescriptor& row() const { return forced_row("volta"); }
};

TEST_F(VoltaTest, RowPointsAtTheVoltaUnitAndIsChosenForCapability70) {
  const GpuBackendDescriptor& r = row();
  EXPECT_EQ(r.launch_fill_int8, &vexal_volta::launch_fill_int8);
  EXPECT_EQ(r.launch_generate_noise, &vexal_volta::launch_generate_noise);
  EXPECT_EQ(r.launch_noise_and_mine, &vexal_volta::launch_noise_and_mine);
  EXPECT_EQ(r.launch_noise_and_mine_dump, &vexal_volta::launch_noise_and_mine_dump);
  EXPECT_EQ(r.launch_dump_headless_coords, &vexal_volta::launch_dump_headless_coords);
  EXPECT_EQ(r.launch_debug_gemm_tile, &vexal_volta::launch_debug_gemm_tile);
  // Capability 7.0 picks the row without a forced name.
  Config config;
  cudaDeviceProp prop{};
  prop.major = 7;
  prop.minor = 0;
  EXPECT_EQ(&select_backend(config, prop), &r);
}

TEST(VoltaDryRun, ForcedRowMinesAndExitsZero) {
  const BinaryRun run = run_korvath(
      {"--dry-run", "--max-attempts", "2", "--m", "256", "--n", "256", "--k", "256", "--rank", "64",
       "--force-backend", "volta"},
      {{"HOSTGPU_DEVICES", "7.0,Host V100,4096,8"}, {"NO_COLOR", "1"}});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("component=miner backend=volta_sm70\n"), std::string::npos) << run.out;
}

}  // namespace
