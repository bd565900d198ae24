// Each row's descriptor: its name, all its slots, split or fused, its tile
// getters and signal record sizes, and the row chosen on its own device.
#include <string>

#include "core/config.h"
#include "mining_attempt.h"
#include "row_device_test.h"

namespace {

struct DescriptorCase {
  const char* what;
  const char* force;
  const char* device;
  bool chosen;  // selection picks the row on this device
  const char* name;
  bool split;
  int tile_m, tile_n, tile_k;  // 0: the row has no tile getters
};

using RowDescriptorTest = RowDeviceTest<DescriptorCase>;

TEST_P(RowDescriptorTest, HoldsItsSlotsAndIsChosenOnItsDevice) {
  const DescriptorCase& c = GetParam();
  const GpuBackendDescriptor& r = forced_row(c.force);
  EXPECT_EQ(std::string(r.name), c.name);
  EXPECT_TRUE(r.launch_fill_int8 && r.launch_generate_noise && r.launch_noise_and_mine &&
              r.launch_noise_and_mine_dump && r.launch_dump_headless_coords && r.launch_debug_gemm_tile &&
              r.signal_header_bytes && r.signal_sync_bytes);
  EXPECT_EQ(is_split_backend(r), c.split);
  if (!c.split) {
    EXPECT_EQ(r.launch_apply_sparse_noise, nullptr);
    EXPECT_EQ(r.launch_headless_mine, nullptr);
  }
  if (c.tile_m == 0) {
    EXPECT_EQ(r.tile_m, nullptr);
    EXPECT_EQ(r.tile_n, nullptr);
    EXPECT_EQ(r.tile_k, nullptr);
  } else {
    ASSERT_TRUE(r.tile_m && r.tile_n && r.tile_k);
    EXPECT_EQ(r.tile_m(), c.tile_m);
    EXPECT_EQ(r.tile_n(), c.tile_n);
    EXPECT_EQ(r.tile_k(), c.tile_k);
  }
  EXPECT_EQ(r.warp_tile_n, nullptr);
  EXPECT_EQ(r.signal_header_bytes(), 1280u);
  EXPECT_EQ(r.signal_sync_bytes(), 8u);

  if (!c.chosen) return;
  cudaDeviceProp prop{};
  ASSERT_EQ(cudaGetDeviceProperties(&prop, 0), cudaSuccess);
  EXPECT_EQ(&select_backend(Config{}, prop), &r);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RowDescriptorTest,
    ::testing::Values(
        DescriptorCase{"volta", "volta", "7.0,Host V100,4096,8", true, "volta_sm70", false, 0, 0, 0},
        DescriptorCase{"dp2a", "cmp170hx-dp2a", kCmp170hxDevice, false, "cmp170hx_dp2a_int", false, 0, 0, 0},
        DescriptorCase{"scalar", "cmp170hx-scalar", kCmp170hxDevice, false, "cmp170hx_scalar_int", false, 0, 0, 0},
        DescriptorCase{"turing", "turing", kTuringDevice, true, "turing_sm75", true, 128, 128, 64},
        DescriptorCase{"ampere", "ampere", kAmpereDevice, true, "ampere_sm8x", true, 0, 0, 0},
        DescriptorCase{"cmp170hx", "cmp170hx", kCmp170hxDevice, true, "cmp170hx_sm80", false, 0, 0, 0},
        DescriptorCase{"ada", "ada", kAdaDevice, true, "ada_sm89", true, 0, 0, 0}),
    [](const ::testing::TestParamInfo<DescriptorCase>& info) { return std::string(info.param.what); });

}  // namespace
