// The coordinate dump of every row whose mining threads each keep two rows and
// 64 columns of the tile: each thread's cells in its transcript's order, the
// tile covered once, and a mined candidate opening exactly its dumped cells.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "device_fixture.h"
#include "mining_attempt.h"
#include "row_device_test.h"

namespace {

struct RowCase {
  const char* force_name;
  const char* device;  // HOSTGPU_DEVICES
  int threads;         // of a mining block; the tile is 128 x threads
};

using RowCoordinatesTest = RowDeviceTest<RowCase>;

TEST_P(RowCoordinatesTest, DumpCoversTheTileOnceInTheCandidateLayout) {
  const int threads = GetParam().threads;
  DeviceArray<uint16_t> rows(size_t(threads) * 256), cols(size_t(threads) * 256);
  DeviceArray<int32_t> meta(2);
  EXPECT_EQ(row().launch_dump_headless_coords(rows.ptr, cols.ptr, nullptr, nullptr), cudaErrorInvalidValue);
  EXPECT_EQ(row().launch_dump_headless_coords(nullptr, cols.ptr, meta.ptr, nullptr), cudaErrorInvalidValue);
  EXPECT_EQ(row().launch_dump_headless_coords(rows.ptr, nullptr, meta.ptr, nullptr), cudaErrorInvalidValue);
  EXPECT_EQ(last_launch().kernel, nullptr);

  ASSERT_EQ(row().launch_dump_headless_coords(rows.ptr, cols.ptr, meta.ptr, nullptr), cudaSuccess);
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
      const int row = r[t * 256 + v];
      const int col = c[t * 256 + v];
      cells.insert({row, col});
      // Rows 64g + o and 64g + o + 32, columns 64q to 64q + 63 (o = t mod 32,
      // g = (t / 32) mod 2, q = t / 64), value v on row v / 64, column v mod 64.
      ASSERT_EQ(row, 64 * ((t / 32) % 2) + t % 32 + 32 * (v / 64)) << "thread " << t << " value " << v;
      ASSERT_EQ(col, 64 * (t / 64) + v % 64) << "thread " << t << " value " << v;
    }
  }
  EXPECT_EQ(cells.size(), size_t(128) * threads);
}

TEST_P(RowCoordinatesTest, MinedCandidateOpensItsDumpedCells) {
  const int threads = GetParam().threads;
  DeviceArray<uint16_t> rows(size_t(threads) * 256), cols(size_t(threads) * 256);
  DeviceArray<int32_t> meta(2);
  ASSERT_EQ(row().launch_dump_headless_coords(rows.ptr, cols.ptr, meta.ptr, nullptr), cudaSuccess);
  const auto r = rows.download();
  const auto c = cols.download();

  MiningAttempt attempt({256, 256, 128, 128});
  ASSERT_EQ(attempt.mine(row(), one_in_sixteen_target()), cudaSuccess);
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
    ::testing::Values(RowCase{"volta", "7.0,Host V100,4096,8", 128},
                      RowCase{"turing", "7.5,Host T4,4096,8", 128},
                      RowCase{"cmp170hx", "8.0,NVIDIA CMP 170HX,8192,70", 128},
                      RowCase{"cmp170hx-dp2a", "8.0,NVIDIA CMP 170HX,8192,70", 128},
                      RowCase{"cmp170hx-scalar", "8.0,NVIDIA CMP 170HX,8192,70", 128},
                      RowCase{"ampere", "8.6,Host GPU,4096,8", 128},
                      RowCase{"ada", "8.9,Host Ada,4096,8", 256},
                      RowCase{"blackwell", "12.0,Host RTX 5090,4096,8", 256},
                      RowCase{"blackwell-native", "12.0,Host RTX 5090,4096,8", 256}),
    [](const ::testing::TestParamInfo<RowCase>& info) {
      std::string name = info.param.force_name;
      for (char& ch : name) {
        if (ch == '-') ch = '_';
      }
      return name;
    });

}  // namespace
