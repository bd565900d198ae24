// The "volta_sm70" row's slots are the volta unit's; its mining and slots run
// with the other explicit rows'.
#include "backends/volta_mining_kernel.h"
#include "device_fixture.h"
#include "mining_attempt.h"

namespace {

class VoltaTest : public HostDeviceTest {
 protected:
  const GpuBackendDescriptor& row() const { return forced_row("volta"); }
};

TEST_F(VoltaTest, RowPointsAtTheVoltaUnit) {
  const GpuBackendDescriptor& r = row();
  EXPECT_EQ(r.launch_fill_int8, &vexal_volta::Slots::launch_fill_int8);
  EXPECT_EQ(r.launch_generate_noise, &vexal_volta::Slots::launch_generate_noise);
  EXPECT_EQ(r.launch_noise_and_mine, &vexal_volta::Slots::launch_noise_and_mine);
  EXPECT_EQ(r.launch_noise_and_mine_dump, &vexal_volta::Slots::launch_noise_and_mine_dump);
  EXPECT_EQ(r.launch_dump_headless_coords, &vexal_volta::Slots::launch_dump_headless_coords);
  EXPECT_EQ(r.launch_debug_gemm_tile, &vexal_volta::Slots::launch_debug_gemm_tile);
}

}  // namespace
