// The B200 row's own mining-slot behaviour: the shape rule and the (2, 2, 1)
// cluster launch's 719 refusals, the fused slot, the shared-memory attribute,
// the first-launch stagger and the tensor maps.
#include <cstdlib>
#include <cstring>
#include <string>

#include "backends/blackwell_b200_mining_kernel.h"
#include "two_sm_fixture.h"

namespace {

class B200Test : public TwoSmTest {
 protected:
  static cudaError_t mine(MiningBuffers& f, int m, int n, int k, int rank) {
    return vexal_blackwell_b200::launch_headless_mine(f.noised_a.ptr, f.noised_b.ptr, m, n, k,
                                                      f.header, f.sync.ptr, f.target.ptr,
                                                      f.seed.ptr, rank, nullptr, nullptr);
  }
};

TEST_F(B200Test, ShapeRuleAndClusterRefusals) {
  struct Case {
    const char* what;
    int m, n, k, rank;
    int null_pointer;  // -1 none; 0 A', 1 B', 2 header, 3 sync, 4 target, 5 seed
    cudaError_t result;
    bool launched;
  };
  const Case cases[] = {
      {"one cluster", 256, 512, 128, 128, -1, cudaSuccess, true},
      {"rank 64", 256, 512, 128, 64, -1, cudaErrorInvalidValue, false},
      {"rank 256", 256, 512, 256, 256, -1, cudaErrorInvalidValue, false},
      {"n 384", 256, 384, 128, 128, -1, cudaErrorInvalidValue, false},
      {"m 128", 128, 512, 128, 128, -1, cudaErrorInvalidValue, false},
      {"k 64", 256, 512, 64, 128, -1, cudaErrorInvalidValue, false},
      {"n 0", 256, 0, 128, 128, -1, cudaErrorInvalidValue, false},
      {"null A'", 256, 512, 128, 128, 0, cudaErrorInvalidValue, false},
      {"null B'", 256, 512, 128, 128, 1, cudaErrorInvalidValue, false},
      {"null header", 256, 512, 128, 128, 2, cudaErrorInvalidValue, false},
      {"null sync", 256, 512, 128, 128, 3, cudaErrorInvalidValue, false},
      {"null target", 256, 512, 128, 128, 4, cudaErrorInvalidValue, false},
      {"null seed", 256, 512, 128, 128, 5, cudaErrorInvalidValue, false},
      {"odd cluster rows", 256, 256, 128, 128, -1, cudaErrorLaunchFailure, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    MiningBuffers f(256, 512, 256, 128);
    const auto pick = [&](int index, auto* pointer) { return c.null_pointer == index ? nullptr : pointer; };
    EXPECT_EQ(vexal_blackwell_b200::launch_headless_mine(
                  pick(0, f.noised_a.ptr), pick(1, f.noised_b.ptr), c.m, c.n, c.k, pick(2, f.header),
                  pick(3, f.sync.ptr), pick(4, f.target.ptr), pick(5, f.seed.ptr), c.rank, nullptr,
                  nullptr),
              c.result);
    EXPECT_EQ(last_launch().kernel != nullptr, c.launched);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  }
}

TEST_F(B200Test, FusedSlotNoisesAThenBThenMines) {
  struct Case {
    const char* what;
    int n, rank;
    int null_pointer;  // -1 none; 0 A, 1 B
    cudaError_t result;
    unsigned last_grid_x;  // 0: nothing launched
  };
  const Case cases[] = {
      {"null A", 512, 128, 0, cudaErrorInvalidValue, 0},
      {"null B after A's noise", 512, 128, 1, cudaErrorInvalidValue, 256},
      {"rank 64 after both noises", 512, 64, -1, cudaErrorInvalidValue, 512},
      {"n 256 refused by the cluster", 256, 128, -1, cudaErrorLaunchFailure, 256},
      {"mines", 512, 128, -1, cudaSuccess, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    MiningBuffers f(256, c.n, 128, c.rank);
    const auto pick = [&](int index, auto* pointer) { return c.null_pointer == index ? nullptr : pointer; };
    EXPECT_EQ(vexal_blackwell_b200::launch_noise_and_mine(
                  pick(0, f.a.ptr), pick(1, f.b.ptr), f.a_left.ptr, f.b_left.ptr, f.a_right.ptr,
                  f.b_right.ptr, f.noised_a.ptr, f.noised_b.ptr, f.a_i0.ptr, f.a_i1.ptr, f.b_i0.ptr,
                  f.b_i1.ptr, 256, c.n, 128, c.rank, f.header, f.sync.ptr, f.target.ptr, f.seed.ptr,
                  nullptr, nullptr),
              c.result);
    const auto launch = last_launch();
    if (c.last_grid_x == 0) {
      EXPECT_EQ(launch.kernel, nullptr);
    } else {
      EXPECT_EQ(launch.grid.x, c.last_grid_x);
    }
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  }
}

TEST_F(B200Test, FailedSharedMemoryAttributeIsReturnedBeforeTheLaunch) {
  // Capability 7.5 offers 64 KiB per block, below the kernel's 84096 bytes.
  setenv("HOSTGPU_DEVICES", "7.5,Host T4,4096,8", 1);
  hostgpu::inspect::reinitialise();
  MiningBuffers f(256, 512, 128, 128);
  EXPECT_EQ(mine(f, 256, 512, 128, 128), cudaErrorInvalidValue);
  EXPECT_EQ(last_launch().kernel, nullptr);
}

TEST_F(B200Test, FirstLaunchOnEachDeviceWaitsItsOrdinalTimesTheStagger) {
  // Device ordinals are recorded once per process: this test owns 1 to 3.
  defer_kernels("10.0");
  setenv("VEXAL_B200_LAUNCH_STAGGER_MS", "120ms", 1);  // digits then text: 120
  MiningBuffers f0(256, 512, 128, 128);
  EXPECT_LT(elapsed_ms([&] { EXPECT_EQ(mine(f0, 256, 512, 128, 128), cudaSuccess); }), 100.0);

  ASSERT_EQ(cudaSetDevice(2), cudaSuccess);
  MiningBuffers f2(256, 512, 128, 128);
  EXPECT_GE(elapsed_ms([&] { EXPECT_EQ(mine(f2, 256, 512, 128, 128), cudaSuccess); }), 240.0);
  EXPECT_LT(elapsed_ms([&] { EXPECT_EQ(mine(f2, 256, 512, 128, 128), cudaSuccess); }), 100.0);

  // A refused shape neither waits nor records; an odd cluster grid waits, then 719.
  ASSERT_EQ(cudaSetDevice(3), cudaSuccess);
  MiningBuffers f3(256, 512, 128, 128);
  EXPECT_LT(elapsed_ms([&] { EXPECT_EQ(mine(f3, 256, 384, 128, 128), cudaErrorInvalidValue); }), 100.0);
  EXPECT_GE(elapsed_ms([&] { EXPECT_EQ(mine(f3, 256, 256, 128, 128), cudaErrorLaunchFailure); }), 360.0);
  EXPECT_LT(elapsed_ms([&] { EXPECT_EQ(mine(f3, 256, 512, 128, 128), cudaSuccess); }), 100.0);

  // A non-positive value means no delay.
  setenv("VEXAL_B200_LAUNCH_STAGGER_MS", "-5", 1);
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  MiningBuffers f1(256, 512, 128, 128);
  EXPECT_LT(elapsed_ms([&] { EXPECT_EQ(mine(f1, 256, 512, 128, 128), cudaSuccess); }), 100.0);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
}

TEST_F(B200Test, RefusedTensorMapIsReportedAndTheLaunchGoesOn) {
  // An A' address off the 16-byte alignment the tensor map needs. The kernel
  // runs at synchronisation, as on a GPU, where its copies through the
  // refused (zeroed) map fail.
  defer_kernels("10.0");
  MiningBuffers f(256, 512, 128, 128);
  DeviceArray<int8_t> shifted(256 * 128 + 16);
  testing::internal::CaptureStderr();
  const cudaError_t result = vexal_blackwell_b200::launch_headless_mine(
      shifted.ptr + 4, f.noised_b.ptr, 256, 512, 128, f.header, f.sync.ptr, f.target.ptr,
      f.seed.ptr, 128, nullptr, nullptr);
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, cudaSuccess);
  EXPECT_NE(errors.find("Failed to initialize the TMA descriptor"), std::string::npos) << errors;
  EXPECT_EQ(last_launch().kernel, vexal_blackwell_b200::mining_kernel());
  EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
}

}  // namespace
