// The jackpot dump of the tensor-core rows whose grid is padded with surplus
// blocks: equal to the dp2a row's, nothing written by a surplus block, and a
// dump beyond its capacity that leaves the transcript as it is.
#include <cstring>
#include <string>
#include <vector>

#include "mining_attempt.h"
#include "row_device_test.h"

namespace {

struct DumpCase {
  const char* what;
  const char* force;
  const char* device;
  AttemptShape shape;  // one 128 x 128 tile
  size_t grid_blocks;  // the padded grid's blocks, all but one surplus
  int short_capacity;  // rank steps a short dump keeps
};

struct DumpRun {
  std::vector<VexalHeadlessJackpotDumpEntry> entries;
  std::vector<int32_t> values;
  std::vector<uint32_t> counts;
  HostSignalHeader header;
};

// The dump buffers have room for every block of the grid, so a surplus
// block's writes would show.
DumpRun mine_with_dump(const GpuBackendDescriptor& row, const DumpCase& c, int capacity) {
  const AttemptShape& s = c.shape;
  const size_t entries_count = c.grid_blocks * 128 * (s.k / s.rank);
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

using RowDumpTest = RowDeviceTest<DumpCase>;

TEST_P(RowDumpTest, JackpotDumpEqualsTheDp2aRowsAndSurplusBlocksWriteNothing) {
  const DumpCase& c = GetParam();
  const int steps = c.shape.k / c.shape.rank;
  const DumpRun reference = mine_with_dump(forced_row("cmp170hx-dp2a"), c, steps);
  const DumpRun mined = mine_with_dump(forced_row(c.force), c, steps);
  const size_t used = size_t(128) * steps;  // the one real block's entries
  for (size_t e = 0; e < reference.entries.size(); ++e) {
    ASSERT_TRUE(same_entry(reference.entries[e], mined.entries[e])) << e;
  }
  EXPECT_EQ(reference.values, mined.values);
  for (size_t i = 0; i < mined.counts.size(); ++i) ASSERT_EQ(mined.counts[i], i < used * 128 ? 1u : 0u) << i;
  EXPECT_EQ(mined.entries[used - 1].k_pos, uint32_t(c.shape.k));
  EXPECT_EQ(mined.entries[used].k_pos, 0u);
  EXPECT_EQ(0, std::memcmp(&reference.header, &mined.header, sizeof(HostSignalHeader)));
}

TEST_P(RowDumpTest, DumpBeyondItsCapacityKeepsTheTranscript) {
  const DumpCase& c = GetParam();
  const int steps = c.shape.k / c.shape.rank;
  const DumpRun full = mine_with_dump(forced_row(c.force), c, steps);
  const DumpRun short_dump = mine_with_dump(forced_row(c.force), c, c.short_capacity);
  EXPECT_EQ(0, std::memcmp(&full.header, &short_dump.header, sizeof(HostSignalHeader)));
  for (size_t e = 0; e < size_t(128) * steps; ++e) {
    const bool kept = int(e % steps) < c.short_capacity;
    EXPECT_EQ(short_dump.entries[e].k_pos, kept ? full.entries[e].k_pos : 0u) << e;
    for (int v = 0; v < 128; ++v) ASSERT_EQ(short_dump.counts[e * 128 + v], kept ? 1u : 0u) << e;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RowDumpTest,
    ::testing::Values(DumpCase{"ampere", "ampere", kAmpereDevice, {128, 128, 256, 64}, 8, 2},
                      DumpCase{"cmp170hx", "cmp170hx", kCmp170hxDevice, {128, 128, 384, 128}, 16, 1}),
    [](const ::testing::TestParamInfo<DumpCase>& info) { return std::string(info.param.what); });

}  // namespace
