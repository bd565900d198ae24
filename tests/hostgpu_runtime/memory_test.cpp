#include <cstdint>

#include "hostgpu/inspect.h"
#include "platform_fixture.h"

namespace {

using MemoryTest = PlatformTest;

TEST_F(MemoryTest, AllocationsBeyondTheDeviceMemoryFailWithOutOfMemory) {
  configure("8.6,Small,1");  // 1 MiB
  void* half = nullptr;
  ASSERT_EQ(cudaMalloc(&half, 512 << 10), cudaSuccess);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(half) % 256, 0u);
  void* too_much = reinterpret_cast<void*>(1);
  EXPECT_EQ(cudaMalloc(&too_much, 600 << 10), cudaErrorMemoryAllocation);
  EXPECT_EQ(too_much, nullptr);
  EXPECT_EQ(error_text(cudaGetLastError()), "out of memory");
  ASSERT_EQ(cudaFree(half), cudaSuccess);
  EXPECT_EQ(hostgpu::inspect::device_bytes_in_use(0), 0u);
  void* all = nullptr;
  EXPECT_EQ(cudaMalloc(&all, 1 << 20), cudaSuccess);
  EXPECT_EQ(cudaFree(all), cudaSuccess);
}

TEST_F(MemoryTest, FreeingUnknownMemoryIsAnError) {
  configure(nullptr);
  int local = 0;
  EXPECT_EQ(cudaFree(&local), cudaErrorInvalidValue);
  EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
  void* pinned = nullptr;
  ASSERT_EQ(cudaHostAlloc(&pinned, 64, cudaHostAllocDefault), cudaSuccess);
  EXPECT_EQ(cudaFree(pinned), cudaErrorInvalidValue);  // pinned memory goes back through cudaFreeHost
  EXPECT_EQ(cudaFreeHost(pinned), cudaSuccess);
  cudaGetLastError();
}

TEST_F(MemoryTest, PoisonFillsNewAllocations) {
  configure(nullptr, nullptr, "1");
  unsigned char* device = nullptr;
  ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&device), 64), cudaSuccess);
  unsigned char host[64] = {};
  ASSERT_EQ(cudaMemcpy(host, device, 64, cudaMemcpyDeviceToHost), cudaSuccess);
  for (unsigned char b : host) EXPECT_NE(b, 0);
  cudaFree(device);
}

TEST_F(MemoryTest, HostileSettingsPoisonNewAllocationsToo) {
  setenv("HOSTGPU_HOSTILE", "5", 1);
  configure(nullptr);
  unsetenv("HOSTGPU_HOSTILE");
  unsigned char* device = nullptr;
  ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&device), 64), cudaSuccess);
  unsigned char host[64] = {};
  ASSERT_EQ(cudaMemcpy(host, device, 64, cudaMemcpyDeviceToHost), cudaSuccess);
  for (unsigned char b : host) EXPECT_EQ(b, 0xA5);
  cudaFree(device);
}

TEST_F(MemoryTest, CopiesOutsideAnAllocationAreRefused) {
  configure(nullptr);
  char* device = nullptr;
  ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&device), 16), cudaSuccess);
  char host[32] = {};
  EXPECT_EQ(cudaMemcpy(device, host, 32, cudaMemcpyHostToDevice), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemset(host, 0, 8), cudaErrorInvalidValue);  // pageable host memory
  EXPECT_EQ(cudaMemcpy(host, device, 16, static_cast<cudaMemcpyKind>(9)),
            cudaErrorInvalidMemcpyDirection);
  cudaGetLastError();
  cudaFree(device);
}

}  // namespace
