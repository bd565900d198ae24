// The "ada_sm89" row's slot-4 forwarder, which hands extra on.
#include "ada_test_support.h"

namespace {

using AdaRowTest = AdaDeviceTest;

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
