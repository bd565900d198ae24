// The tensor-core rows' debug GEMM tile, which computes the origin tile with
// the mining configuration (the coordinate dump: row_coordinates_test.cpp).
#include <string>
#include <vector>

#include "engine/cpu_operand_reference.h"
#include "mining_attempt.h"
#include "row_device_test.h"

namespace {

struct TileShape {
  int m, n, k;
};

struct DebugTileCase {
  const char* what;
  const char* force;
  const char* device;
  size_t shared_bytes;  // the mining kernel's dynamic shared memory
  uint64_t seed;        // of A; B's is the next
  bool extremes;        // -128 and 127 at the ends of k, where a sign or width slip would show
  std::vector<TileShape> shapes;
  int k_step;  // the smallest k the tile takes
  int bad_k;   // not a multiple of k_step
  int bad_n;   // not a multiple of 128
};

using RowDebugTileTest = RowDeviceTest<DebugTileCase>;

TEST_P(RowDebugTileTest, ComputesTheOriginTileOnce) {
  const DebugTileCase& row_case = GetParam();
  const GpuBackendDescriptor& row = forced_row(row_case.force);
  for (const TileShape& c : row_case.shapes) {
    SCOPED_TRACE(testing::Message() << c.m << " x " << c.n << " x " << c.k);
    restart();
    std::vector<int8_t> a = cpu_fill_int8(row_case.seed, int64_t(c.m) * c.k);
    std::vector<int8_t> b = cpu_fill_int8(row_case.seed + 1, int64_t(c.n) * c.k);
    if (row_case.extremes) {
      a[0] = -128;
      b[0] = -128;
      a[c.k - 1] = 127;
      b[c.k - 1] = -128;
    }
    DeviceArray<int8_t> da(a), db(b);
    DeviceArray<int32_t> product(size_t(c.m) * c.n), counts(size_t(c.m) * c.n);
    ASSERT_EQ(row.launch_debug_gemm_tile(da.ptr, db.ptr, product.ptr, counts.ptr, c.m, c.n, c.k, nullptr),
              cudaSuccess);
    const auto launch = last_launch();
    EXPECT_EQ(launch.grid.x, 1u);
    EXPECT_EQ(launch.block.x, 128u);
    EXPECT_EQ(launch.dynamic_shared_bytes, row_case.shared_bytes);
    const auto attributes = hostgpu::inspect::kernel_attributes(launch.kernel, 0);
    EXPECT_EQ(attributes.max_dynamic_shared_bytes, int(row_case.shared_bytes));
    EXPECT_EQ(attributes.preferred_carveout, 100);
    const auto p = product.download();
    const auto n = counts.download();
    for (int i = 0; i < c.m; ++i) {
      for (int j = 0; j < c.n; ++j) {
        const size_t at = size_t(i) * c.n + j;
        if (i >= 128 || j >= 128) {
          ASSERT_EQ(n[at], 0) << "outside the origin tile";
          continue;
        }
        int32_t sum = 0;
        for (int t = 0; t < c.k; ++t) sum += int32_t(a[size_t(i) * c.k + t]) * b[size_t(j) * c.k + t];
        ASSERT_EQ(p[at], sum) << i << "," << j;
        ASSERT_EQ(n[at], 1);
      }
    }
  }
}

TEST_P(RowDebugTileTest, RefusesBadArguments) {
  const DebugTileCase& row_case = GetParam();
  const GpuBackendDescriptor& row = forced_row(row_case.force);
  const int k = row_case.k_step;
  DeviceArray<int8_t> a(size_t(128) * k), b(size_t(128) * k);
  DeviceArray<int32_t> p(128 * 128), n(128 * 128);
  struct Case {
    const int8_t *a, *b;
    int32_t *p, *n;
    int m, nn, k;
  };
  const Case cases[] = {
      {nullptr, b.ptr, p.ptr, n.ptr, 128, 128, k},
      {a.ptr, nullptr, p.ptr, n.ptr, 128, 128, k},
      {a.ptr, b.ptr, nullptr, n.ptr, 128, 128, k},
      {a.ptr, b.ptr, p.ptr, nullptr, 128, 128, k},
      {a.ptr, b.ptr, p.ptr, n.ptr, 127, 128, k},
      {a.ptr, b.ptr, p.ptr, n.ptr, 128, row_case.bad_n, k},
      {a.ptr, b.ptr, p.ptr, n.ptr, 128, 128, 0},
      {a.ptr, b.ptr, p.ptr, n.ptr, 128, 128, row_case.bad_k},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const Case& c = cases[i];
    EXPECT_EQ(row.launch_debug_gemm_tile(c.a, c.b, c.p, c.n, c.m, c.nn, c.k, nullptr), cudaErrorInvalidValue);
    EXPECT_EQ(last_launch().kernel, nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RowDebugTileTest,
    ::testing::Values(
        DebugTileCase{"turing", "turing", kTuringDevice, 16384, 31, true,
                      {{128, 128, 64}, {128, 128, 256}, {256, 192, 128}}, 64, 96, 64},
        DebugTileCase{"ampere", "ampere", kAmpereDevice, 49152, 21, false,
                      {{128, 128, 64}, {128, 128, 192}, {256, 384, 128}}, 64, 96, 127},
        DebugTileCase{"cmp170hx", "cmp170hx", kCmp170hxDevice, 65536, 31, false,
                      {{128, 128, 128}, {256, 128, 384}}, 128, 64, 127}),
    [](const ::testing::TestParamInfo<DebugTileCase>& info) { return std::string(info.param.what); });

}  // namespace
