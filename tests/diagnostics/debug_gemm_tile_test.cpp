#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "backends/backend_descriptor.h"
#include "core/config.h"
#include "diagnostics/debug_gemm_tile.h"
#include "host_device_fixture.h"

namespace {

const GpuBackendDescriptor& row_named(const char* backend) {
  Config config;
  config.force_backend = backend;
  return select_backend(config, cudaDeviceProp{});
}

// A product the kernel would write for the fixed operands.
std::vector<int32_t> reference_product(const std::vector<int8_t>& a, const std::vector<int8_t>& b,
                                       int m, int n, int k) {
  std::vector<int32_t> product(static_cast<size_t>(m) * n);
  for (int i = 0; i < m; ++i) {
    for (int j = 0; j < n; ++j) {
      int32_t sum = 0;
      for (int t = 0; t < k; ++t) sum += a[i * k + t] * b[j * k + t];
      product[i * n + j] = sum;
    }
  }
  return product;
}

TEST(DebugGemmTile, OperandsFollowTheFixedSequences) {
  const std::vector<int8_t> a = debug_gemm_operand(130, true);
  const std::vector<int8_t> b = debug_gemm_operand(3, false);
  EXPECT_EQ(a[0], 3 - 63);
  EXPECT_EQ(a[1], 20 - 63);
  EXPECT_EQ(a[8], (17 * 8 + 3) % 127 - 63);
  EXPECT_EQ(b[0], 11 - 63);
  EXPECT_EQ(b[2], 69 - 63);
  for (int8_t v : a) EXPECT_TRUE(v >= -63 && v <= 63);
}

TEST(DebugGemmTile, TileFollowsGettersThenRowName) {
  struct Case {
    const char* backend;
    int32_t m, n;
  };
  const Case cases[] = {{"turing", 128, 128}, {"ampere", 128, 128}, {"cmp170hx-dp2a", 128, 128},
                        {"ada", 128, 256},    {"hopper", 128, 256}, {"blackwell", 128, 256}};
  for (const Case& c : cases) {
    const GemmTileShape shape = debug_gemm_tile_shape(row_named(c.backend));
    EXPECT_EQ(shape.m, c.m) << c.backend;
    EXPECT_EQ(shape.n, c.n) << c.backend;
  }
}

TEST(DebugGemmTile, ComparisonCountsMismatchesAndBadCounts) {
  const int m = 4, n = 3, k = 64;
  const std::vector<int8_t> a = debug_gemm_operand(m * k, true);
  const std::vector<int8_t> b = debug_gemm_operand(n * k, false);
  const std::vector<int32_t> good = reference_product(a, b, m, n, k);
  const std::vector<int32_t> ones(good.size(), 1);
  EXPECT_EQ(debug_gemm_tile_line(k, compare_gemm_tile(a, b, m, n, k, good, ones)),
            "debug_gemm_tile k=64 mismatches=0 bad_counts=0\n");

  std::vector<int32_t> flipped = good;
  flipped[1 * n + 2] ^= 4;
  flipped[3 * n + 0] += 1;
  std::vector<int32_t> counts = ones;
  counts[1 * n + 2] = 2;
  EXPECT_EQ(debug_gemm_tile_line(k, compare_gemm_tile(a, b, m, n, k, flipped, counts)),
            "debug_gemm_tile k=64 mismatches=2 bad_counts=1 first=(1,2) gpu=" +
                std::to_string(flipped[5]) + " cpu=" + std::to_string(good[5]) + " count=2\n");

  counts = ones;
  counts[0] = 0;
  EXPECT_EQ(debug_gemm_tile_line(k, compare_gemm_tile(a, b, m, n, k, good, counts)),
            "debug_gemm_tile k=64 mismatches=0 bad_counts=1 first=(-1,-1) gpu=0 cpu=0 count=0\n");
}

class DebugGemmTileRun : public HostDeviceTest {};

TEST_F(DebugGemmTileRun, RefusesDepthsThatAreNotWholeBlocks) {
  configure("8.6,Host GPU,1024,8");
  for (int32_t k : {0, -64, 96, 1}) {
    Config config;
    config.k = k;
    try {
      run_debug_gemm_tile(config, row_named("cmp170hx-dp2a"));
      FAIL() << k;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "--debug-gemm-tile requires --k multiple of 64");
    }
  }
}

TEST_F(DebugGemmTileRun, ScalarRowMatchesTheCpuProduct) {
  configure("8.6,Host GPU,1024,8");
  Config config;
  config.k = 64;
  testing::internal::CaptureStdout();
  run_debug_gemm_tile(config, row_named("cmp170hx-scalar"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "debug_gemm_tile k=64 mismatches=0 bad_counts=0\n");
}

TEST_F(DebugGemmTileRun, RefusedShapeCarriesTheLaunchError) {
  configure("8.6,Host GPU,1024,8");
  Config config;
  config.k = 64;  // the CMP 170HX tensor-core tile needs multiples of 128
  try {
    run_debug_gemm_tile(config, row_named("cmp170hx"));
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("debug_gemm_tile: ", 0), 0u) << e.what();
  }
}

}  // namespace
