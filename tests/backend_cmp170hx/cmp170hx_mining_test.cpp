// Mining through the "cmp170hx_sm80" row: the unit's mining launch mines the
// noised operands as slot 5 does.
#include <cstring>

#include "backends/cmp170hx_mining_kernel.h"
#include "device_fixture.h"
#include "mining_attempt.h"

namespace {

const GpuBackendDescriptor& cmp170hx() { return forced_row("cmp170hx"); }

class Cmp170hxAgreementTest : public HostDeviceTest {};

TEST_F(Cmp170hxAgreementTest, TheUnitsMiningLaunchMinesTheNoisedOperandsAsSlot5Does) {
  const AttemptShape s{256, 256, 256, 128};
  MiningAttempt fused(s);
  ASSERT_EQ(fused.mine(cmp170hx(), one_in_sixteen_target()), cudaSuccess);
  ASSERT_EQ(fused.header().status, 1u);

  DeviceArray<int8_t> noised_a(fused.cpu_noised_a()), noised_b(fused.cpu_noised_b());
  DeviceArray<uint8_t> seed(fused.seed_a());
  DeviceArray<uint32_t> target(one_in_sixteen_target());
  DeviceArray<HostSignalSync> sync(1);
  HostSignalHeader* header = nullptr;
  ASSERT_EQ(cudaHostAlloc(reinterpret_cast<void**>(&header), sizeof(HostSignalHeader), cudaHostAllocDefault),
            cudaSuccess);
  std::memset(header, 0, sizeof(HostSignalHeader));
  ASSERT_EQ(vexal_cmp170hx::launch_headless_mine(noised_a.ptr, noised_b.ptr, s.m, s.n, s.k, header, sync.ptr,
                                                 target.ptr, reinterpret_cast<const uint32_t*>(seed.ptr), s.rank,
                                                 nullptr),
            cudaSuccess);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_EQ(0, std::memcmp(header, &fused.header(), sizeof(HostSignalHeader)));
  cudaFreeHost(header);
}

}  // namespace
