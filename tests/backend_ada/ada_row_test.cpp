// The "ada_sm89" row: its selection, which slots it holds, and its slot-4
// forwarder, which hands extra on.
#include <string>

#include "ada_test_support.h"
#include "core/config.h"

namespace {

using AdaRowTest = AdaDeviceTest;

TEST_F(AdaRowTest, ChosenForCapability89AndByName) {
  Config config;
  cudaDeviceProp prop{};
  prop.major = 8;
  prop.minor = 9;
  EXPECT_STREQ(select_backend(config, prop).name, "ada_sm89");
  EXPECT_EQ(&ada_row(), &select_backend(config, prop));
}

TEST_F(AdaRowTest, RowIsSplitWithoutTileGetters) {
  const GpuBackendDescriptor& r = ada_row();
  EXPECT_TRUE(r.launch_fill_int8 && r.launch_generate_noise && r.launch_noise_and_mine &&
              r.launch_noise_and_mine_dump && r.launch_dump_headless_coords &&
              r.launch_debug_gemm_tile);
  EXPECT_TRUE(is_split_backend(r));
  EXPECT_EQ(r.tile_m, nullptr);
  EXPECT_EQ(r.tile_n, nullptr);
  EXPECT_EQ(r.tile_k, nullptr);
  EXPECT_EQ(r.warp_tile_n, nullptr);
  EXPECT_EQ(r.signal_header_bytes(), 1280u);
  EXPECT_EQ(r.signal_sync_bytes(), 8u);
}

TEST_F(AdaRowTest, SlotFourHandsExtraToTheKernel) {
  // Through the row's slot 4 the kernel counts the one tile of the launch
  // into whichever counter it is given.
  DeviceArray<int8_t> a(128 * 128), b(256 * 128);
  DeviceArray<uint32_t> target(8), seed(8), first(1), second(1);
  DeviceArray<HostSignalSync> sync(1);
  HostSignalHeader* header = nullptr;
  ASSERT_EQ(cudaHostAlloc(reinterpret_cast<void**>(&header), sizeof(HostSignalHeader), 0),
            cudaSuccess);
  for (uint32_t* extra : {first.ptr, second.ptr, second.ptr}) {
    ASSERT_EQ(ada_row().launch_headless_mine(a.ptr, b.ptr, 128, 256, 128, header, sync.ptr,
                                             target.ptr, seed.ptr, 128, extra, nullptr),
              cudaSuccess);
  }
  ASSERT_EQ(ada_row().launch_headless_mine(a.ptr, b.ptr, 128, 256, 128, header, sync.ptr,
                                           target.ptr, seed.ptr, 128, nullptr, nullptr),
            cudaSuccess);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_EQ(first.download()[0], 1u);
  EXPECT_EQ(second.download()[0], 2u);
  cudaFreeHost(header);
}

}  // namespace
