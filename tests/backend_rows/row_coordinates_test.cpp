// The coordinate dump of every row whose mining threads each keep two rows and
// 64 columns of the tile: each thread's cells in its transcript's order, the
// tile covered once, and a mined candidate opening exactly its dumped cells.
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "mining_attempt.h"
#include "row_device_test.h"

namespace {

struct RowCase {
  const char* what;
  const char* force;
  const char* device;
  int threads;  // of a mining block; the tile is 128 x threads
  int rank;     // of the attempt whose candidate opens its dumped cells
};

using RowCoordinatesTest = RowDeviceTest<RowCase>;

TEST_P(RowCoordinatesTest, DumpCoversTheTileOnceInTheCandidateLayout) {
  const GpuBackendDescriptor& row = forced_row(GetParam().force);
  const int threads = GetParam().threads;
  DeviceArray<uint16_t> rows(size_t(threads) * 256), cols(size_t(threads) * 256);
  DeviceArray<int32_t> meta(2);
  EXPECT_EQ(row.launch_dump_headless_coords(rows.ptr, cols.ptr, nullptr, nullptr), cudaErrorInvalidValue);
  EXPECT_EQ(row.launch_dump_headless_coords(nullptr, cols.ptr, meta.ptr, nullptr), cudaErrorInvalidValue);
  EXPECT_EQ(row.launch_dump_headless_coords(rows.ptr, nullptr, meta.ptr, nullptr), cudaErrorInvalidValue);
  EXPECT_EQ(last_launch().kernel, nullptr);

  ASSERT_EQ(row.launch_dump_headless_coords(rows.ptr, cols.ptr, meta.ptr, nullptr), cudaSuccess);
  const auto launch = last_launch();
  EXPECT_EQ(launch.grid.x, 1u);
  EXPECT_EQ(launch.block.x, unsigned(threads));
  EXPECT_EQ(launch.dynamic_shared_bytes, 0u);
  EXPECT_EQ(meta.download(), (std::vector<int32_t>{128, threads}));
  const auto r = rows.download();
  const auto c = cols.download();
  std::set<std::pair<int, int>> cells;
  for (int t = 0; t < threads; ++t) {
    for (int v = 0; v < 128; ++v) {
      const int cell_row = r[t * 256 + v];
      const int cell_col = c[t * 256 + v];
      cells.insert({cell_row, cell_col});
      // Rows 64g + o and 64g + o + 32, columns 64q to 64q + 63 (o = t mod 32,
      // g = (t / 32) mod 2, q = t / 64), value v on row v / 64, column v mod 64.
      ASSERT_EQ(cell_row, 64 * ((t / 32) % 2) + t % 32 + 32 * (v / 64)) << "thread " << t << " value " << v;
      ASSERT_EQ(cell_col, 64 * (t / 64) + v % 64) << "thread " << t << " value " << v;
    }
  }
  EXPECT_EQ(cells.size(), size_t(128) * threads);
}

TEST_P(RowCoordinatesTest, MinedCandidateOpensItsDumpedCells) {
  const GpuBackendDescriptor& row = forced_row(GetParam().force);
  const int threads = GetParam().threads;
  DeviceArray<uint16_t> rows(size_t(threads) * 256), cols(size_t(threads) * 256);
  DeviceArray<int32_t> meta(2);
  ASSERT_EQ(row.launch_dump_headless_coords(rows.ptr, cols.ptr, meta.ptr, nullptr), cudaSuccess);
  const auto r = rows.download();
  const auto c = cols.download();

  MiningAttempt attempt({256, 256, 128, GetParam().rank});
  ASSERT_EQ(attempt.mine(row, one_in_sixteen_target()), cudaSuccess);
  const HostSignalHeader& h = attempt.header();
  ASSERT_EQ(h.status, 1u);
  ASSERT_EQ(h.pair_count, 128);
  ASSERT_LT(h.candidate_thread, threads);
  for (int v = 0; v < 128; ++v) {
    EXPECT_EQ(h.pair_rows[v], r[h.candidate_thread * 256 + v]);
    EXPECT_EQ(h.pair_cols[v], c[h.candidate_thread * 256 + v]);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RowCoordinatesTest,
    ::testing::Values(RowCase{"dp2a", "cmp170hx-dp2a", kCmp170hxDevice, 128, 64},
                      RowCase{"scalar", "cmp170hx-scalar", kCmp170hxDevice, 128, 64},
                      RowCase{"volta", "volta", kCmp170hxDevice, 128, 64},
                      RowCase{"turing", "turing", kTuringDevice, 128, 64},
                      RowCase{"ampere", "ampere", kAmpereDevice, 128, 64},
                      RowCase{"cmp170hx", "cmp170hx", kCmp170hxDevice, 128, 128},
                      RowCase{"ada", "ada", kAdaDevice, 256, 128},
                      RowCase{"blackwell", "blackwell", kRtx5090Device, 256, 128},
                      RowCase{"native", "blackwell-native", kRtx5090Device, 256, 128}),
    [](const ::testing::TestParamInfo<RowCase>& info) { return std::string(info.param.what); });

}  // namespace
