#include <string>
#include <thread>

#include "platform_fixture.h"

namespace {

using DeviceListTest = PlatformTest;

TEST_F(DeviceListTest, TwoDevicesOfDifferentCapabilitiesFromTheEnvironment) {
  configure("8.6,Host RTX 3090,8192,82; 7.5,Host T4,4096");
  int count = -1;
  ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  ASSERT_EQ(count, 2);

  cudaDeviceProp first{};
  ASSERT_EQ(cudaGetDeviceProperties(&first, 0), cudaSuccess);
  EXPECT_STREQ(first.name, "Host RTX 3090");
  EXPECT_EQ(first.major, 8);
  EXPECT_EQ(first.minor, 6);
  EXPECT_EQ(first.totalGlobalMem, 8192ull << 20);
  EXPECT_EQ(first.multiProcessorCount, 82);
  EXPECT_EQ(first.sharedMemPerBlock, 49152u);
  EXPECT_EQ(first.sharedMemPerBlockOptin, 101376u);
  EXPECT_EQ(first.warpSize, 32);
  EXPECT_EQ(first.maxThreadsPerBlock, 1024);

  cudaDeviceProp second{};
  ASSERT_EQ(cudaGetDeviceProperties(&second, 1), cudaSuccess);
  EXPECT_STREQ(second.name, "Host T4");
  EXPECT_EQ(second.major * 10 + second.minor, 75);
  EXPECT_EQ(second.totalGlobalMem, 4096ull << 20);
  EXPECT_EQ(second.multiProcessorCount, 40);  // typical of the capability when not given
  EXPECT_EQ(second.sharedMemPerBlockOptin, 65536u);

  int optin = 0;
  ASSERT_EQ(cudaDeviceGetAttribute(&optin, cudaDevAttrMaxSharedMemoryPerBlockOptin, 1), cudaSuccess);
  EXPECT_EQ(optin, 65536);
  EXPECT_EQ(cudaGetDeviceProperties(&second, 2), cudaErrorInvalidDevice);
}

TEST_F(DeviceListTest, UnsetMeansOneDeviceOfCapability86) {
  configure(nullptr);
  int count = 0;
  ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  ASSERT_EQ(count, 1);
  cudaDeviceProp prop{};
  ASSERT_EQ(cudaGetDeviceProperties(&prop, 0), cudaSuccess);
  EXPECT_EQ(prop.major * 10 + prop.minor, 86);
}

TEST_F(DeviceListTest, EmptyMeansNoDevice) {
  configure("");
  int count = -1;
  ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  EXPECT_EQ(count, 0);
  void* memory = nullptr;
  EXPECT_EQ(cudaMalloc(&memory, 16), cudaErrorNoDevice);
  EXPECT_EQ(cudaSetDevice(0), cudaErrorNoDevice);
}

TEST_F(DeviceListTest, MalformedListFailsLikeABrokenDriver) {
  for (const char* malformed : {"8", "8.x", "8.6,name,lots", "8.6,name,0", "8.6;", "8.6,a,1,2,3",
                                "-8.6", "8.6,a,1,0"}) {
    SCOPED_TRACE(malformed);
    configure(malformed);
    int count = 7;
    EXPECT_EQ(cudaGetDeviceCount(&count), cudaErrorInitializationError);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(error_text(cudaGetLastError()), "initialization error");
    EXPECT_EQ(cudaSetDevice(0), cudaErrorInitializationError);
  }
}

TEST_F(DeviceListTest, CurrentDeviceIsPerThreadAndZeroOnANewThread) {
  configure("8.6;8.9");
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  int on_other_thread = -1;
  std::thread([&] { cudaGetDevice(&on_other_thread); }).join();
  EXPECT_EQ(on_other_thread, 0);
  int here = -1;
  ASSERT_EQ(cudaGetDevice(&here), cudaSuccess);
  EXPECT_EQ(here, 1);
  EXPECT_EQ(cudaSetDevice(2), cudaErrorInvalidDevice);
  EXPECT_EQ(error_text(cudaGetLastError()), "invalid device ordinal");
}

TEST_F(DeviceListTest, LastErrorIsPerThreadAndClearedOnRead) {
  configure(nullptr);
  EXPECT_EQ(cudaMalloc(nullptr, 16), cudaErrorInvalidValue);
  cudaError_t seen_by_other_thread = cudaErrorUnknown;
  std::thread([&] { seen_by_other_thread = cudaGetLastError(); }).join();
  EXPECT_EQ(seen_by_other_thread, cudaSuccess);
  EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidValue);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST(ErrorTexts, AreCudasOwn) {
  const struct {
    cudaError_t code;
    const char* text;
  } cases[] = {
      {cudaSuccess, "no error"},
      {cudaErrorInvalidValue, "invalid argument"},
      {cudaErrorMemoryAllocation, "out of memory"},
      {cudaErrorInvalidConfiguration, "invalid configuration argument"},
      {cudaErrorInvalidResourceHandle, "invalid resource handle"},
      {cudaErrorNotReady, "device not ready"},
      {cudaErrorLaunchFailure, "unspecified launch failure"},
  };
  for (const auto& c : cases) EXPECT_EQ(error_text(c.code), c.text) << c.code;
  EXPECT_STREQ(cudaGetErrorName(cudaErrorInvalidValue), "cudaErrorInvalidValue");
  EXPECT_EQ(static_cast<int>(cudaErrorLaunchFailure), 719);
}

}  // namespace
