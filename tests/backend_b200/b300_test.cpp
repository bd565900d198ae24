// The B300 row's own mining-slot behaviour: the bfloat16 conversion copies
// (contents, grow-only reuse, allocation failure), the shape rule and cluster
// refusals, and its own first-launch set. The copies belong to the calling thread, so each test
// runs its calls on a fresh thread (the host device is reset between tests).
#include <cmath>
#include <cstring>

#include <cutlass/bfloat16.h>

#include "backends/blackwell_b300_mining_kernel.h"
#include "two_sm_fixture.h"

namespace {

class B300Test : public TwoSmTest {
 protected:
  void SetUp() override { use_devices("10.3"); }

  static cudaError_t mine(MiningBuffers& f, int m, int n, int k, int rank) {
    return vexal_blackwell_b300::launch_headless_mine(f.noised_a.ptr, f.noised_b.ptr, m, n, k,
                                                      f.header, f.sync.ptr, f.target.ptr,
                                                      f.seed.ptr, rank, nullptr, nullptr);
  }
};

TEST_F(B300Test, CopiesHoldTheNoisedOperandsAsBfloat16) {
  on_fresh_thread([] {
    MiningAttempt attempt({256, 256, 128, 128});
    ASSERT_EQ(attempt.mine(test_row(vexal_blackwell_b300::launch_headless_mine,
                                    vexal_blackwell_b300::launch_noise_and_mine),
                           all_ones_target()),
              cudaSuccess);
    const auto copy_a = vexal_blackwell_b300::thread_copy_a();
    ASSERT_EQ(copy_a.capacity, 256u * 128u);
    std::vector<cutlass::bfloat16_t> converted(copy_a.capacity);
    ASSERT_EQ(cudaMemcpy(converted.data(), copy_a.data, converted.size() * 2, cudaMemcpyDeviceToHost),
              cudaSuccess);
    const std::vector<int8_t> noised = attempt.cpu_noised_a();
    for (size_t i = 0; i < converted.size(); ++i) {
      ASSERT_EQ(static_cast<float>(converted[i]), static_cast<float>(noised[i])) << i;
    }
  });
}

TEST_F(B300Test, ShapeRuleComesBeforeAnyCopyAndOddClusterRowsAreRefusedAfterTheConversions) {
  on_fresh_thread([] {
    struct Case {
      const char* what;
      int m, n, k, rank;
      cudaError_t result;
      bool copies;
    };
    const Case cases[] = {
        {"m 128", 128, 256, 128, 128, cudaErrorInvalidValue, false},
        {"rank 64", 256, 256, 128, 64, cudaErrorInvalidValue, false},
        {"n 192", 256, 192, 128, 128, cudaErrorInvalidValue, false},
        {"k 64", 256, 256, 64, 128, cudaErrorInvalidValue, false},
        {"n 128: one cluster row short", 256, 128, 128, 128, cudaErrorLaunchFailure, true},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      MiningBuffers f(256, 256, 128, 128);
      EXPECT_EQ(mine(f, c.m, c.n, c.k, c.rank), c.result);
      EXPECT_EQ(vexal_blackwell_b300::thread_copy_a().capacity != 0, c.copies);
      EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    }
    // The last launch was B's conversion: 128 x 128 elements in blocks of 256.
    const auto launch = last_launch();
    EXPECT_EQ(launch.kernel, vexal_blackwell_b300::conversion_kernel());
    EXPECT_EQ(launch.grid.x, 64u);
    EXPECT_EQ(launch.block.x, 256u);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  });
}

TEST_F(B300Test, CopiesOnlyGrowAndAreReusedForSmallerShapes) {
  on_fresh_thread([] {
    MiningBuffers f(512, 512, 256, 128);
    ASSERT_EQ(mine(f, 256, 256, 128, 128), cudaSuccess);
    const auto first = vexal_blackwell_b300::thread_copy_a();
    EXPECT_EQ(first.capacity, 256u * 128u);
    EXPECT_EQ(last_launch().grid.y, 2u);

    ASSERT_EQ(mine(f, 512, 512, 256, 128), cudaSuccess);
    const auto grown = vexal_blackwell_b300::thread_copy_a();
    EXPECT_EQ(grown.capacity, 512u * 256u);
    EXPECT_EQ(vexal_blackwell_b300::thread_copy_b().capacity, 512u * 256u);
    const size_t in_use = hostgpu::inspect::device_bytes_in_use(0);

    ASSERT_EQ(mine(f, 256, 256, 128, 128), cudaSuccess);
    EXPECT_EQ(vexal_blackwell_b300::thread_copy_a().data, grown.data);
    EXPECT_EQ(vexal_blackwell_b300::thread_copy_a().capacity, grown.capacity);
    EXPECT_EQ(hostgpu::inspect::device_bytes_in_use(0), in_use);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  });
}

TEST_F(B300Test, FailedCopyAllocationIsReturnedAndTriedAgainNextTime) {
  use_devices("10.3", 64);
  on_fresh_thread([] {
    MiningBuffers f(256, 256, 128, 128);
    // 16384 x 4096 bfloat16 values need 128 MiB of the device's 64.
    EXPECT_EQ(vexal_blackwell_b300::launch_headless_mine(
                  f.noised_a.ptr, f.noised_b.ptr, 16384, 256, 4096, f.header, f.sync.ptr,
                  f.target.ptr, f.seed.ptr, 128, nullptr, nullptr),
              cudaErrorMemoryAllocation);
    EXPECT_EQ(vexal_blackwell_b300::thread_copy_a().capacity, 0u);
    EXPECT_EQ(last_launch().kernel, nullptr);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(mine(f, 256, 256, 128, 128), cudaSuccess);
    EXPECT_EQ(vexal_blackwell_b300::thread_copy_a().capacity, 256u * 128u);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  });
}

TEST_F(B300Test, FirstLaunchSetIsSeparateFromTheB200s) {
  // The B200 tests may have recorded device 2 already; this launcher waits anyway.
  setenv("VEXAL_B200_LAUNCH_STAGGER_MS", "100", 1);
  defer_kernels("10.3");
  on_fresh_thread([] {
    ASSERT_EQ(cudaSetDevice(2), cudaSuccess);
    MiningBuffers f(256, 256, 128, 128);
    EXPECT_GE(elapsed_ms([&] { EXPECT_EQ(mine(f, 256, 256, 128, 128), cudaSuccess); }), 200.0);
    EXPECT_LT(elapsed_ms([&] { EXPECT_EQ(mine(f, 256, 256, 128, 128), cudaSuccess); }), 100.0);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  });
}

}  // namespace
