// Mining through the "cmp170hx_sm80" row: the jackpot dump against the already
// verified dp2a row's, the unit's mining launch, and surplus blocks that touch
// nothing.
#include <cstring>
#include <string>
#include <vector>

#include "backends/cmp170hx_mining_kernel.h"
#include "device_fixture.h"
#include "mining_attempt.h"

namespace {

const GpuBackendDescriptor& cmp170hx() { return forced_row("cmp170hx"); }
const GpuBackendDescriptor& dp2a() { return forced_row("cmp170hx-dp2a"); }

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

struct DumpRun {
  std::vector<VexalHeadlessJackpotDumpEntry> entries;
  std::vector<int32_t> values;
  std::vector<uint32_t> counts;
  HostSignalHeader header;
};

// One 128 x 128 tile: the grid holds 16 blocks, 15 of them surplus. The dump
// buffers have room for all 16, so a surplus block's writes would show.
DumpRun mine_with_dump(const GpuBackendDescriptor& row, const AttemptShape& s, int capacity) {
  const size_t blocks = 16;
  const size_t entries_count = blocks * 128 * (s.k / s.rank);
  MiningAttempt attempt(s);
  DeviceArray<VexalHeadlessJackpotDumpEntry> entries(entries_count);
  DeviceArray<int32_t> values(entries_count * 128);
  DeviceArray<uint32_t> counts(entries_count * 128);
  EXPECT_EQ(attempt.mine_with_dump(row, all_ones_target(), entries.ptr, values.ptr, counts.ptr, capacity),
            cudaSuccess);
  return DumpRun{entries.download(), values.download(), counts.download(), attempt.header()};
}

bool same_entry(const VexalHeadlessJackpotDumpEntry& a, const VexalHeadlessJackpotDumpEntry& b) {
  return std::memcmp(&a, &b, sizeof(a)) == 0;
}

TEST_F(Cmp170hxAgreementTest, JackpotDumpEqualsTheDp2aRowsAndSurplusBlocksWriteNothing) {
  const AttemptShape s{128, 128, 384, 128};
  const int steps = s.k / s.rank;
  const DumpRun reference = mine_with_dump(dp2a(), s, steps);
  const DumpRun mined = mine_with_dump(cmp170hx(), s, steps);
  const size_t used = size_t(128) * steps;  // the one real block's entries
  for (size_t e = 0; e < reference.entries.size(); ++e) {
    ASSERT_TRUE(same_entry(reference.entries[e], mined.entries[e])) << e;
  }
  EXPECT_EQ(reference.values, mined.values);
  for (size_t i = 0; i < mined.counts.size(); ++i) ASSERT_EQ(mined.counts[i], i < used * 128 ? 1u : 0u) << i;
  EXPECT_EQ(mined.entries[used - 1].k_pos, uint32_t(s.k));
  EXPECT_EQ(mined.entries[used].k_pos, 0u);
  EXPECT_EQ(0, std::memcmp(&reference.header, &mined.header, sizeof(HostSignalHeader)));
}

TEST_F(Cmp170hxAgreementTest, DumpBeyondItsCapacityKeepsTheTranscript) {
  const AttemptShape s{128, 128, 384, 128};
  const DumpRun full = mine_with_dump(cmp170hx(), s, 3);
  const DumpRun short_dump = mine_with_dump(cmp170hx(), s, 1);
  EXPECT_EQ(0, std::memcmp(&full.header, &short_dump.header, sizeof(HostSignalHeader)));
  for (size_t e = 0; e < size_t(128) * 3; ++e) {
    const bool kept = e % 3 < 1;
    EXPECT_EQ(short_dump.entries[e].k_pos, kept ? full.entries[e].k_pos : 0u) << e;
    for (int v = 0; v < 128; ++v) ASSERT_EQ(short_dump.counts[e * 128 + v], kept ? 1u : 0u) << e;
  }
}

}  // namespace
