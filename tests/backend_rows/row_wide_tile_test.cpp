// The rows with 128 x 256 tiles: the debug GEMM tile over one whole tile
// (their coordinate dump: row_coordinates_test.cpp), and steps of several K
// tiles, whose folds come from fewer K tiles than the kernels run.
#include <cstring>
#include <string>
#include <vector>

#include "core/config.h"
#include "engine/cpu_operand_reference.h"
#include "engine/cpu_tile_transcript.h"
#include "mining_attempt.h"
#include "proof/plain_proof.h"
#include "row_device_test.h"

namespace {

constexpr int kTileM = 128;
constexpr int kTileN = 256;

struct WideCase {
  const char* what;
  const char* force;
  const char* device;
  size_t debug_shared_bytes;  // the debug tile kernel's dynamic shared memory
  bool debug_attribute;       // the debug launch sets the kernel's shared-memory maximum
};

using RowWideTileTest = RowDeviceTest<WideCase>;

TEST_P(RowWideTileTest, DebugTileIsTheCpuProductWithOneWritePerCell) {
  const WideCase& c = GetParam();
  const GpuBackendDescriptor& row = forced_row(c.force);
  const int k = 256;
  std::vector<int8_t> a = cpu_fill_int8(41, int64_t(kTileM) * k);
  std::vector<int8_t> b = cpu_fill_int8(42, int64_t(kTileN) * k);
  a[0] = -128;  // the extremes, where a sign slip would show
  b[0] = -128;
  DeviceArray<int8_t> da(a), db(b);
  DeviceArray<int32_t> product(size_t(kTileM) * kTileN), counts(size_t(kTileM) * kTileN);
  ASSERT_EQ(row.launch_debug_gemm_tile(da.ptr, db.ptr, product.ptr, counts.ptr, kTileM, kTileN, k, nullptr),
            cudaSuccess);
  EXPECT_EQ(last_launch().grid.x, 1u);
  EXPECT_EQ(last_launch().block.x, 256u);
  EXPECT_EQ(last_launch().dynamic_shared_bytes, c.debug_shared_bytes);
  if (c.debug_attribute) {
    EXPECT_EQ(hostgpu::inspect::kernel_attributes(last_launch().kernel, 0).max_dynamic_shared_bytes,
              int(c.debug_shared_bytes));
  }
  const auto p = product.download();
  const auto n = counts.download();
  for (int i = 0; i < kTileM; ++i) {
    for (int j = 0; j < kTileN; ++j) {
      int32_t sum = 0;
      for (int t = 0; t < k; ++t) sum += int32_t(a[size_t(i) * k + t]) * b[size_t(j) * k + t];
      ASSERT_EQ(p[size_t(i) * kTileN + j], sum) << i << "," << j;
      ASSERT_EQ(n[size_t(i) * kTileN + j], 1);
    }
  }
  struct Refused {
    int m, n, k;
  };
  for (const Refused& r : {Refused{127, 256, 128}, Refused{128, 255, 128}, Refused{128, 256, 64}}) {
    EXPECT_EQ(row.launch_debug_gemm_tile(da.ptr, db.ptr, product.ptr, counts.ptr, r.m, r.n, r.k, nullptr),
              cudaErrorInvalidValue);
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, RowWideTileTest,
                         ::testing::Values(WideCase{"blackwell", "blackwell", kRtx5090Device, 98304, false},
                                           WideCase{"native", "blackwell-native", kRtx5090Device, 98304, true}),
                         [](const ::testing::TestParamInfo<WideCase>& info) { return std::string(info.param.what); });

struct StepCase {
  const char* what;
  const char* force;
  const char* device;
  int k;
  int rank;
};

using RowWideStepTest = RowDeviceTest<StepCase>;

// Mines given operands (slot 4; the sm120 row has none) under an all-ones
// target: candidate 0 of the only tile reports the CPU transcript of its two
// rows and 64 columns.
TEST_P(RowWideStepTest, CandidateZeroCarriesTheCpuTranscript) {
  const StepCase& c = GetParam();
  const std::vector<int8_t> a = cpu_fill_int8(61, int64_t(kTileM) * c.k);
  const std::vector<int8_t> b = cpu_fill_int8(62, int64_t(kTileN) * c.k);
  const std::vector<uint8_t> seed = test_seed(9);
  DeviceArray<int8_t> da(a), db(b);
  DeviceArray<uint32_t> target(all_ones_target());
  DeviceArray<uint8_t> seed_bytes(seed);
  DeviceArray<HostSignalHeader> header(1);
  DeviceArray<HostSignalSync> sync(1);
  ASSERT_EQ(forced_row(c.force).launch_headless_mine(
                da.ptr, db.ptr, kTileM, kTileN, c.k, header.ptr, sync.ptr, target.ptr,
                reinterpret_cast<const uint32_t*>(seed_bytes.ptr), c.rank, nullptr, nullptr),
            cudaSuccess);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  const HostSignalHeader h = header.download()[0];
  ASSERT_EQ(h.status, 1u);
  EXPECT_EQ(h.candidate_thread, 0);
  OpenedRowsCols opened;
  opened.rows = {0, 32};
  for (uint64_t j = 0; j < 64; ++j) opened.cols.push_back(j);
  std::vector<int8_t> rows, cols;
  for (uint64_t r : opened.rows) rows.insert(rows.end(), a.begin() + r * c.k, a.begin() + (r + 1) * c.k);
  for (uint64_t j : opened.cols) cols.insert(cols.end(), b.begin() + j * c.k, b.begin() + (j + 1) * c.k);
  Config config;
  config.k = c.k;
  config.rank = c.rank;
  uint32_t words[16];
  uint8_t digest[32];
  cpu_tile_transcript(digest, rows, cols, opened, seed.data(), config, words);
  EXPECT_EQ(0, std::memcmp(h.transcript, words, sizeof(words)));
  EXPECT_EQ(0, std::memcmp(h.kernel_hash, digest, 32));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RowWideStepTest,
    ::testing::Values(StepCase{"ada_rank256", "ada", kAdaDevice, 512, 256},
                      StepCase{"ada_rank384", "ada", kAdaDevice, 768, 384},
                      StepCase{"native_rank384", "blackwell-native", kRtx5090Device, 768, 384}),
    [](const ::testing::TestParamInfo<StepCase>& info) { return std::string(info.param.what); });

}  // namespace
