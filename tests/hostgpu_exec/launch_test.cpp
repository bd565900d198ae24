// launch_kernel through the stand-in's runtime: argument conversion, stream
// order, per-device constants written with cudaMemcpyToSymbol, and kernel
// faults reported as launch failures.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/gpu_platform.h"
#include "core/kernel_launch.h"
#include "hostgpu/inspect.h"

#include <cutlass/device_kernel.h>

KORVATH_DEVICE_CONSTANT(uint32_t[4], launch_test_words, 1, 2, 3, 4);

namespace {

class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("HOSTGPU_DEVICES", "8.6,Host A;8.9,Host B", 1);
    hostgpu::inspect::reinitialise();
  }
  void TearDown() override {
    unsetenv("HOSTGPU_DEVICES");
    hostgpu::inspect::reinitialise();
  }
};

struct Scale {
  int numerator;
  int denominator;
};

__global__ void scaled_index_kernel(long long* out, long long base, Scale scale, float offset) {
  const long long i = blockIdx.x * blockDim.x + threadIdx.x;
  out[i] = base + i * scale.numerator / scale.denominator + static_cast<long long>(offset * 2.0f);
}

TEST_F(LaunchTest, ArgumentsAreConvertedToTheKernelsParameterTypes) {
  long long* out = nullptr;
  ASSERT_EQ(cudaMalloc(&out, 64 * sizeof(long long)), cudaSuccess);
  // int for long long, double for float: converted as a call would convert them.
  ASSERT_EQ(launch_kernel(scaled_index_kernel, dim3(2), dim3(32), 0, nullptr, out, 1000, Scale{3, 2}, 1.5),
            cudaSuccess);
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  std::vector<long long> host(64);
  ASSERT_EQ(cudaMemcpy(host.data(), out, 64 * sizeof(long long), cudaMemcpyDeviceToHost), cudaSuccess);
  for (long long i = 0; i < 64; ++i) EXPECT_EQ(host[i], 1000 + i * 3 / 2 + 3);
  ASSERT_EQ(cudaFree(out), cudaSuccess);
}

__global__ void read_words_kernel(uint32_t* out) { out[threadIdx.x] = launch_test_words[threadIdx.x]; }

TEST_F(LaunchTest, MemcpyToSymbolWritesTheCurrentDevicesConstants) {
  const uint32_t words[2][4] = {{10, 20, 30, 40}, {50, 60, 70, 80}};
  for (int device = 0; device < 2; ++device) {
    ASSERT_EQ(cudaSetDevice(device), cudaSuccess);
    ASSERT_EQ(cudaMemcpyToSymbol(launch_test_words, words[device], sizeof(words[device])), cudaSuccess);
  }
  for (int device = 0; device < 2; ++device) {
    ASSERT_EQ(cudaSetDevice(device), cudaSuccess);
    uint32_t* out = nullptr;
    ASSERT_EQ(cudaMalloc(&out, sizeof(words[device])), cudaSuccess);
    ASSERT_EQ(launch_kernel(read_words_kernel, dim3(1), dim3(4), 0, nullptr, out), cudaSuccess);
    uint32_t seen[4] = {};
    ASSERT_EQ(cudaMemcpy(seen, out, sizeof(seen), cudaMemcpyDeviceToHost), cudaSuccess);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(seen[i], words[device][i]) << "device " << device;
    ASSERT_EQ(cudaFree(out), cudaSuccess);
  }
}

__global__ void half_the_block_returns_kernel(int* out) {
  if (threadIdx.x >= 16) return;
  __syncthreads();
  out[threadIdx.x] = 1;
}

TEST_F(LaunchTest, ABarrierNotEveryThreadReachesFailsTheLaunch) {
  int* out = nullptr;
  ASSERT_EQ(cudaMalloc(&out, 32 * sizeof(int)), cudaSuccess);
  launch_kernel(half_the_block_returns_kernel, dim3(1), dim3(32), 0, nullptr, out);
  const cudaError_t synchronized = cudaDeviceSynchronize();
  EXPECT_EQ(synchronized, cudaErrorLaunchFailure);
  EXPECT_EQ(std::string(cudaGetErrorString(synchronized)), "unspecified launch failure");
  EXPECT_NE(std::string(hostgpu::last_kernel_fault()).find("__syncthreads() not reached by every thread"),
            std::string::npos);
}

TEST_F(LaunchTest, ABadConfigurationIsReturnedAndLeftAsTheLastError) {
  long long* out = nullptr;
  ASSERT_EQ(cudaMalloc(&out, sizeof(long long)), cudaSuccess);
  EXPECT_EQ(launch_kernel(scaled_index_kernel, dim3(1), dim3(2048), 0, nullptr, out, 0, Scale{1, 1}, 0.0f),
            cudaErrorInvalidConfiguration);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  ASSERT_EQ(cudaFree(out), cudaSuccess);
}

// A kernel in CUTLASS's form: an operator with a parameter block, run by
// cutlass::device_kernel with the block's dynamic shared memory.
struct PrefixSumOperator {
  static constexpr int MaxThreadsPerBlock = 128;
  static constexpr int MinBlocksPerMultiprocessor = 1;
  struct Params {
    const int* in;
    int* out;
  };
  void operator()(const Params& params, char* shared) const {
    int* staged = reinterpret_cast<int*>(shared);
    const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    staged[threadIdx.x] = params.in[i];
    __syncthreads();
    int sum = 0;
    for (unsigned j = 0; j <= threadIdx.x; ++j) sum += staged[j];
    params.out[i] = sum;
  }
};

TEST_F(LaunchTest, CutlassDeviceKernelsRunWithDynamicSharedMemory) {
  int* in = nullptr;
  int* out = nullptr;
  ASSERT_EQ(cudaMalloc(&in, 256 * sizeof(int)), cudaSuccess);
  ASSERT_EQ(cudaMalloc(&out, 256 * sizeof(int)), cudaSuccess);
  std::vector<int> values(256);
  for (int i = 0; i < 256; ++i) values[i] = i % 7 - 3;
  ASSERT_EQ(cudaMemcpy(in, values.data(), 256 * sizeof(int), cudaMemcpyHostToDevice), cudaSuccess);
  ASSERT_EQ(launch_kernel(cutlass::device_kernel<PrefixSumOperator>, dim3(2), dim3(128), 128 * sizeof(int), nullptr,
                          PrefixSumOperator::Params{in, out}),
            cudaSuccess);
  std::vector<int> sums(256);
  ASSERT_EQ(cudaMemcpy(sums.data(), out, 256 * sizeof(int), cudaMemcpyDeviceToHost), cudaSuccess);
  for (int b = 0; b < 2; ++b) {
    int running = 0;
    for (int t = 0; t < 128; ++t) {
      running += values[b * 128 + t];
      EXPECT_EQ(sums[b * 128 + t], running) << "block " << b << " thread " << t;
    }
  }
  ASSERT_EQ(cudaFree(in), cudaSuccess);
  ASSERT_EQ(cudaFree(out), cudaSuccess);
}

// 128 bytes on a 128-byte boundary: a copy of it may use aligned vector loads.
struct alignas(128) WideBlock {
  uint32_t words[32];
};

// Not inlined, so that the call copies the value as a real call does.
__global__ __attribute__((noinline)) void wide_block_kernel(WideBlock block, uint32_t* out) {
  out[0] = reinterpret_cast<uintptr_t>(&block) % alignof(WideBlock) == 0 ? 1u : 0u;
  for (int i = 0; i < 32; ++i) out[1 + i] = block.words[i];
}

WideBlock numbered_block() {
  WideBlock block;
  for (uint32_t i = 0; i < 32; ++i) block.words[i] = 0x01000000u * (i + 1) + i;
  return block;
}

void expect_numbered(const std::vector<uint32_t>& seen) {
  EXPECT_EQ(seen[0], 1u) << "the kernel's parameter is not 128-byte aligned";
  for (uint32_t i = 0; i < 32; ++i) EXPECT_EQ(seen[1 + i], 0x01000000u * (i + 1) + i) << "word " << i;
}

// The untyped argument array promises no alignment: the stand-in's call back
// into the kernel copies each value to storage aligned for its type first.
TEST_F(LaunchTest, AWideParameterFromAMisalignedArgumentArrivesWhole) {
  const WideBlock block = numbered_block();
  alignas(128) unsigned char staging[sizeof(WideBlock) + 8];
  std::memcpy(staging + 8, &block, sizeof(block));
  std::vector<uint32_t> seen(33, 0);
  uint32_t* out = seen.data();
  void* args[] = {staging + 8, &out};
  // Through the registered invoker, as the stand-in calls it.
  kernel_launch_detail::register_with_stand_in(&wide_block_kernel);
  const void* kernel = reinterpret_cast<const void*>(&wide_block_kernel);
  const hostgpu::KernelInvoker invoke = hostgpu::find_kernel(kernel);
  ASSERT_NE(invoke, nullptr);
  invoke(kernel, args);
  expect_numbered(seen);
}

TEST_F(LaunchTest, AWideParameterIsLaunchedWhole) {
  uint32_t* out = nullptr;
  ASSERT_EQ(cudaMalloc(&out, 33 * sizeof(uint32_t)), cudaSuccess);
  ASSERT_EQ(launch_kernel(wide_block_kernel, dim3(1), dim3(1), 0, nullptr, numbered_block(), out), cudaSuccess);
  std::vector<uint32_t> seen(33, 0);
  ASSERT_EQ(cudaMemcpy(seen.data(), out, seen.size() * sizeof(uint32_t), cudaMemcpyDeviceToHost), cudaSuccess);
  expect_numbered(seen);
  ASSERT_EQ(cudaFree(out), cudaSuccess);
}

}  // namespace
