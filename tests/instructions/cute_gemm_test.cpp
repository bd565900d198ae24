// The CuTe GEMM tile of cute_gemm_kernel.h in each backend's combination of
// atoms, run on the host device and compared with a CPU product bit for bit.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include <hostgpu/inspect.h>

#include "core/gpu_platform.h"
#include "core/kernel_launch.h"
#include "cute_gemm_kernel.h"

namespace {

using namespace cute_gemm;

class CuteGemmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("HOSTGPU_DEVICES", "8.0,Host A100,1024,8", 1);
    hostgpu::inspect::reinitialise();
    uint32_t state = 2024;
    auto next = [&state] {
      state = state * 1664525u + 1013904223u;
      return int8_t(uint8_t(state >> 24));
    };
    a_.resize(kTileM * kK);
    b_.resize(kTileN * kK);
    for (auto& v : a_) v = next();
    for (auto& v : b_) v = next();
    // The extremes, where a sign or width slip would show.
    a_[0] = -128;
    b_[0] = -128;
    a_[kK - 1] = 127;
    b_[kK - 1] = -128;
  }
  void TearDown() override {
    unsetenv("HOSTGPU_DEVICES");
    hostgpu::inspect::reinitialise();
  }

  std::vector<int32_t> cpu_product() const {
    std::vector<int32_t> c(kTileM * kTileN);
    for (int i = 0; i < kTileM; ++i) {
      for (int j = 0; j < kTileN; ++j) {
        int32_t sum = 0;
        for (int t = 0; t < kK; ++t) sum += int32_t{a_[i * kK + t]} * b_[j * kK + t];
        c[i * kTileN + j] = sum;
      }
    }
    return c;
  }

  template <class Config>
  std::vector<int32_t> run() {
    int8_t* a = nullptr;
    int8_t* b = nullptr;
    int32_t* c = nullptr;
    EXPECT_EQ(cudaMalloc(&a, a_.size()), cudaSuccess);
    EXPECT_EQ(cudaMalloc(&b, b_.size()), cudaSuccess);
    EXPECT_EQ(cudaMalloc(&c, kTileM * kTileN * sizeof(int32_t)), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(a, a_.data(), a_.size(), cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(b, b_.data(), b_.size(), cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(cudaMemset(c, 0xff, kTileM * kTileN * sizeof(int32_t)), cudaSuccess);
    const size_t shared_bytes = 2 * kStages * kTileM * kTileK;
    EXPECT_EQ(launch_kernel(gemm_tile_kernel<Config>, dim3(1), dim3(kThreads), shared_bytes, nullptr,
                            static_cast<const int8_t*>(a), static_cast<const int8_t*>(b), c),
              cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    std::vector<int32_t> product(kTileM * kTileN);
    EXPECT_EQ(cudaMemcpy(product.data(), c, product.size() * sizeof(int32_t), cudaMemcpyDeviceToHost),
              cudaSuccess);
    cudaFree(a);
    cudaFree(b);
    cudaFree(c);
    return product;
  }

  std::vector<int8_t> a_;
  std::vector<int8_t> b_;
};

TEST_F(CuteGemmTest, AsyncCopiesMatrixLoadsAndM16n8k32MatchTheCpuProduct) {
  EXPECT_EQ(run<AmpereLike>(), cpu_product());
}

TEST_F(CuteGemmTest, TwoMatrixLoadsForBMatchTheCpuProduct) { EXPECT_EQ(run<AdaLike>(), cpu_product()); }

TEST_F(CuteGemmTest, PlainSharedLoadsForBMatchTheCpuProduct) { EXPECT_EQ(run<CmpLike>(), cpu_product()); }

TEST_F(CuteGemmTest, VectorCopiesAndM8n8k16MatchTheCpuProduct) { EXPECT_EQ(run<TuringLike>(), cpu_product()); }

}  // namespace
