// The product's host side: scheduler values, tensor maps and the fatal
// report of a refused shared-memory size.
#include <gtest/gtest.h>

#include <cstdlib>

#include "gemm/hopper_gemm_host.h"
#include "hostgpu/inspect.h"
#include "hostgpu/tensor_map.h"

namespace {

struct Divisor {
  int divisor;
  uint32_t multiplier, shift;
};

void expect_divisor(const cutlass::FastDivmod& actual, const Divisor& expected) {
  EXPECT_EQ(actual.divisor, expected.divisor);
  EXPECT_EQ(actual.multiplier, expected.multiplier);
  EXPECT_EQ(actual.shift_right, expected.shift);
}

TEST(HopperGemmLaunchShape, GridAndSchedulerValues) {
  struct Case {
    int m, n, group_size;
    bool along_n;
    unsigned grid_x, grid_y;
    int full_groups;
    Divisor width, span, tail;
  };
  const Case cases[] = {
      {128, 256, 1, true, 1, 8, 1, {1, 0, 0}, {1, 0, 0}, {1, 0, 0}},
      {384, 2560, 1, true, 3, 16, 2, {1, 0, 0}, {3, 2863311531u, 1}, {1, 0, 0}},
      {131072, 131072, 1, true, 1024, 512, 64, {1, 0, 0}, {1024, 2147483648u, 9}, {1, 0, 0}},
      {131072, 131072, 6, false, 1024, 512, 170, {6, 2863311531u, 2}, {384, 2863311531u, 8},
       {4, 2147483648u, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.m);
    const vexal::HopperLaunchShape shape = vexal::hopper_launch_shape(c.m, c.n, c.group_size, c.along_n);
    EXPECT_EQ(shape.grid.x, c.grid_x);
    EXPECT_EQ(shape.grid.y, c.grid_y);
    EXPECT_EQ(shape.grid.z, 1u);
    EXPECT_EQ(shape.scheduler.tiles_m, static_cast<int>(c.grid_x));
    EXPECT_EQ(shape.scheduler.full_groups, c.full_groups);
    expect_divisor(shape.scheduler.group_width, c.width);
    expect_divisor(shape.scheduler.group_span, c.span);
    expect_divisor(shape.scheduler.tail_width, c.tail);
    EXPECT_EQ(shape.scheduler.group_along_n, c.along_n);
  }
}

class HopperGemmMapsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("HOSTGPU_DEVICES", "9.0,Host H100,4096,8", 1);
    hostgpu::inspect::reinitialise();
  }
  void TearDown() override {
    unsetenv("HOSTGPU_DEVICES");
    hostgpu::inspect::reinitialise();
  }
};

struct MapExpectation {
  const vexal::TmaDescriptor* descriptor;
  CUtensorMapDataType type;
  const void* base;
  uint64_t dim0, dim1, stride;
  uint32_t box0, box1;
};

TEST_F(HopperGemmMapsTest, SevenMapsEncodedEvenOverNullEpilogueTensors) {
  using Traits = vexal::HopperTraits<true, true>;
  alignas(16) static int8_t a[16], b[16];
  const int m = 384, n = 512, k = 256;
  const auto mainloop = vexal::make_mainloop_params<Traits>(a, b, nullptr, nullptr, m, n, k, 128, 0,
                                                            nullptr, nullptr);
  const auto epilogue = vexal::make_epilogue_params<Traits>(nullptr, nullptr, nullptr, nullptr, nullptr,
                                                            nullptr, nullptr, m, n, k, 128);
  const MapExpectation maps[] = {
      {&mainloop.tma_load_a, CU_TENSOR_MAP_DATA_TYPE_UINT8, a, 256, 384, 256, 128, 16},
      {&mainloop.tma_load_b, CU_TENSOR_MAP_DATA_TYPE_UINT8, b, 256, 512, 256, 128, 256},
      {&epilogue.tma_row_factor_0, CU_TENSOR_MAP_DATA_TYPE_FLOAT16, nullptr, 128, 384, 256, 64, 16},
      {&epilogue.tma_col_factor_0, CU_TENSOR_MAP_DATA_TYPE_FLOAT16, nullptr, 128, 512, 256, 64, 256},
      {&epilogue.tma_row_factor_1, CU_TENSOR_MAP_DATA_TYPE_FLOAT16, nullptr, 128, 384, 256, 64, 16},
      {&epilogue.tma_col_factor_1, CU_TENSOR_MAP_DATA_TYPE_FLOAT16, nullptr, 128, 512, 256, 64, 256},
      {&epilogue.tma_out, CU_TENSOR_MAP_DATA_TYPE_BFLOAT16, nullptr, 512, 384, 1024, 64, 128},
  };
  for (const MapExpectation& e : maps) {
    hostgpu::TiledTensorMap map;
    ASSERT_TRUE(hostgpu::decode_tensor_map(e.descriptor->map, &map));
    EXPECT_EQ(map.data_type, e.type);
    EXPECT_EQ(map.rank, 2u);
    EXPECT_EQ(map.global_address, e.base);
    EXPECT_EQ(map.global_dim[0], e.dim0);
    EXPECT_EQ(map.global_dim[1], e.dim1);
    EXPECT_EQ(map.global_strides[1], e.stride);
    EXPECT_EQ(map.box_dim[0], e.box0);
    EXPECT_EQ(map.box_dim[1], e.box1);
    EXPECT_EQ(map.swizzle, CU_TENSOR_MAP_SWIZZLE_128B);
    EXPECT_EQ(map.l2_promotion, CU_TENSOR_MAP_L2_PROMOTION_L2_128B);
  }
  const int32_t extents[9] = {m, n, n, m, n, m, n, m, n};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(epilogue.extents[i], extents[i]);
  EXPECT_EQ(mainloop.layout_a.extent_0, m);
  EXPECT_EQ(mainloop.layout_b.extent_0, n);
}

TEST_F(HopperGemmMapsTest, RefusedMapIsReportedAndLeftZero) {
  using Traits = vexal::HopperTraits<true, true>;
  alignas(16) static int8_t operand[32];
  // An operand base off the 16-byte alignment the driver demands.
  testing::internal::CaptureStderr();
  const auto mainloop = vexal::make_mainloop_params<Traits>(operand + 1, operand, nullptr, nullptr,
                                                            128, 256, 128, 128, 0, nullptr, nullptr);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Failed to initialize the TMA descriptor"), std::string::npos) << err;
  const auto* bytes = reinterpret_cast<const unsigned char*>(&mainloop.tma_load_a.map);
  for (size_t i = 0; i < sizeof(CUtensorMap); ++i) ASSERT_EQ(bytes[i], 0u);
  hostgpu::TiledTensorMap map;
  EXPECT_TRUE(hostgpu::decode_tensor_map(mainloop.tma_load_b.map, &map));
}

void launch_on_a_device_without_enough_shared_memory() {
  setenv("HOSTGPU_DEVICES", "8.6,Host GPU,4096,8", 1);
  hostgpu::inspect::reinitialise();
  vexal::HopperGemmArgs args{};
  args.m = 128;
  args.n = 256;
  args.k = 128;
  args.rank = 128;
  args.group_size = 1;
  args.group_along_n = true;
  vexal::run_hopper_gemm<true, true>(args, nullptr);
}

TEST(HopperGemmDeathTest, RefusedSharedMemorySizeAbortsBeforeLaunching) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(launch_on_a_device_without_enough_shared_memory(),
               "TORCH_CHECK failed: false at .*hopper_gemm_host.h:[0-9]+: Failed to set shared "
               "memory size. Requested: 197632 bytes \\(193 KB\\), Device limit: 101376 bytes "
               "\\(99 KB\\). Error: ");
}

}  // namespace
