// The debug GEMM tile of the rows with 128 x 256 tiles, over one whole tile
// (their coordinate dump: row_coordinates_test.cpp).
#include <string>
#include <vector>

#include "engine/cpu_operand_reference.h"
#include "mining_attempt.h"
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

}  // namespace
