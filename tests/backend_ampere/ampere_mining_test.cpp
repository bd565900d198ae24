// Mining through the "ampere_sm8x" row: the split slots mine the noised
// operands as the fused slot does.
#include <cstring>

#include "ampere_device_test.h"
#include "device_fixture.h"
#include "mining_attempt.h"

namespace {

const GpuBackendDescriptor& ampere() { return forced_row("ampere"); }

class AmpereAgreementTest : public AmpereDeviceTest {};

TEST_F(AmpereAgreementTest, SplitSlotsMineTheNoisedOperandsAsTheFusedSlotDoes) {
  const AttemptShape s{256, 256, 192, 64};
  MiningAttempt fused(s);
  ASSERT_EQ(fused.mine(ampere(), one_in_sixteen_target()), cudaSuccess);
  ASSERT_EQ(fused.header().status, 1u);

  DeviceArray<int8_t> noised_a(fused.cpu_noised_a()), noised_b(fused.cpu_noised_b());
  DeviceArray<uint8_t> seed(fused.seed_a());
  DeviceArray<uint32_t> target(one_in_sixteen_target()), extra(1);
  DeviceArray<HostSignalSync> sync(1);
  HostSignalHeader* header = nullptr;
  ASSERT_EQ(cudaHostAlloc(reinterpret_cast<void**>(&header), sizeof(HostSignalHeader), cudaHostAllocDefault),
            cudaSuccess);
  std::memset(header, 0, sizeof(HostSignalHeader));
  ASSERT_EQ(ampere().launch_headless_mine(noised_a.ptr, noised_b.ptr, s.m, s.n, s.k, header, sync.ptr, target.ptr,
                                          reinterpret_cast<const uint32_t*>(seed.ptr), s.rank, extra.ptr, nullptr),
            cudaSuccess);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_EQ(0, std::memcmp(header, &fused.header(), sizeof(HostSignalHeader)));
  cudaFreeHost(header);
}

}  // namespace
