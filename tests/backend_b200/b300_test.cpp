// The B300 row's mining slots: the bfloat16 conversion copies (contents,
// grow-only reuse, allocation failure), candidates against the CPU transcript
// and the dp2a row, the shape rule and cluster refusals, and its own
// first-launch set. The copies belong to the calling thread, so each test
// runs its calls on a fresh thread (the host device is reset between tests).
#include <cmath>
#include <cstring>
#include <thread>

#include <cutlass/bfloat16.h>

#include "backends/blackwell_b300_mining_kernel.h"
#include "two_sm_fixture.h"

namespace {

class B300Test : public TwoSmTest {
 protected:
  void SetUp() override { use_devices("10.3"); }

  const GpuBackendDescriptor row_ =
      test_row(vexal_blackwell_b300::launch_headless_mine, vexal_blackwell_b300::launch_noise_and_mine);

  static cudaError_t mine(MiningBuffers& f, int m, int n, int k, int rank) {
    return vexal_blackwell_b300::launch_headless_mine(f.noised_a.ptr, f.noised_b.ptr, m, n, k,
                                                      f.header, f.sync.ptr, f.target.ptr,
                                                      f.seed.ptr, rank, nullptr, nullptr);
  }

  template <typename Body>
  static void on_fresh_thread(Body&& body) {
    std::thread worker([&body] {
      cudaSetDevice(0);
      body();
    });
    worker.join();
  }
};

TEST_F(B300Test, AllOnesTargetMinesTheConvertedOperandsAsTheDp2aRowDoes) {
  on_fresh_thread([this] {
    MiningAttempt attempt({256, 256, 128, 128});
    ASSERT_EQ(attempt.mine(row_, all_ones_target()), cudaSuccess);
    const HostSignalHeader& h = attempt.header();
    ASSERT_EQ(h.status, 1u);
    EXPECT_EQ(h.candidate_thread, 0);
    EXPECT_EQ(h.tile_height, 128);
    EXPECT_EQ(h.tile_width, 128);
    const ThreadTranscript cpu = cpu_thread_transcript(attempt, 0, 0, 0);
    EXPECT_EQ(0, std::memcmp(h.transcript, cpu.words, 64));
    EXPECT_EQ(0, std::memcmp(h.kernel_hash, cpu.digest, 32));

    const auto launch = last_launch();
    EXPECT_EQ(launch.kernel, vexal_blackwell_b300::mining_kernel());
    EXPECT_EQ(launch.grid.x, 2u);
    EXPECT_EQ(launch.grid.y, 2u);
    EXPECT_EQ(launch.cluster.x, 2u);
    EXPECT_EQ(launch.cluster.y, 2u);
    EXPECT_EQ(launch.block.x, 128u);
    EXPECT_EQ(launch.dynamic_shared_bytes, 58496u);
    const auto attributes = hostgpu::inspect::kernel_attributes(launch.kernel, 0);
    EXPECT_EQ(attributes.max_dynamic_shared_bytes, 58496);
    EXPECT_EQ(attributes.preferred_carveout, 100);
    EXPECT_EQ(attributes.non_portable_cluster_size_allowed, 1);

    // The copies hold A' and B' as bfloat16.
    const auto copy_a = vexal_blackwell_b300::thread_copy_a();
    ASSERT_EQ(copy_a.capacity, 256u * 128u);
    std::vector<cutlass::bfloat16_t> converted(copy_a.capacity);
    ASSERT_EQ(cudaMemcpy(converted.data(), copy_a.data, converted.size() * 2, cudaMemcpyDeviceToHost),
              cudaSuccess);
    const std::vector<int8_t> noised = attempt.cpu_noised_a();
    for (size_t i = 0; i < converted.size(); ++i) {
      ASSERT_EQ(static_cast<float>(converted[i]), static_cast<float>(noised[i])) << i;
    }

    MiningAttempt dp2a({256, 256, 128, 128});
    ASSERT_EQ(dp2a.mine(forced_row("cmp170hx-dp2a"), all_ones_target()), cudaSuccess);
    EXPECT_EQ(0, std::memcmp(h.transcript, dp2a.header().transcript, 64));
  });
}

TEST_F(B300Test, LowestHittingCandidateOfTheLaunchIsReportedAndZeroTargetFindsNothing) {
  on_fresh_thread([this] {
    MiningAttempt attempt({512, 256, 128, 128});
    const std::vector<uint32_t> target = one_in_sixteen_target();
    ASSERT_EQ(attempt.mine(row_, target), cudaSuccess);
    CandidateKey expected{};
    ASSERT_TRUE(first_cpu_hit(attempt, target, &expected)) << "no digest met the target";
    const HostSignalHeader& h = attempt.header();
    ASSERT_EQ(h.status, 1u);
    EXPECT_EQ(h.tile_m_index, expected.tile_m);
    EXPECT_EQ(h.tile_n_index, expected.tile_n);
    EXPECT_EQ(h.candidate_thread, expected.thread);
    EXPECT_EQ(0, std::memcmp(h.kernel_hash, expected.transcript.digest, 32));

    MiningAttempt nothing({256, 256, 128, 128});
    ASSERT_EQ(nothing.mine(row_, zero_target()), cudaSuccess);
    EXPECT_EQ(nothing.header().status, 0u);
  });
}

// Four rank steps of two K tiles each (float step sums added into the int32
// running sums four times) over two clusters, in order and under a hostile
// schedule with late copies and poisoned memory.
TEST_F(B300Test, DeepKOverSeveralClustersUnderOrderedAndHostileSchedules) {
  on_fresh_thread([this] {
    const char* schedules[] = {nullptr, "5"};
    for (const char* hostile : schedules) {
      SCOPED_TRACE(hostile ? hostile : "ordered");
      if (hostile) setenv("HOSTGPU_HOSTILE", hostile, 1);
      MiningAttempt attempt({256, 512, 512, 128});
      const std::vector<uint32_t> target = one_in_sixteen_target();
      ASSERT_EQ(attempt.mine(row_, target), cudaSuccess);
      unsetenv("HOSTGPU_HOSTILE");
      EXPECT_EQ(last_launch().grid.x, 2u);
      EXPECT_EQ(last_launch().grid.y, 4u);
      CandidateKey expected{};
      ASSERT_TRUE(first_cpu_hit(attempt, target, &expected)) << "no digest met the target";
      const HostSignalHeader& h = attempt.header();
      ASSERT_EQ(h.status, 1u);
      EXPECT_EQ(h.tile_m_index, expected.tile_m);
      EXPECT_EQ(h.tile_n_index, expected.tile_n);
      EXPECT_EQ(h.candidate_thread, expected.thread);
      EXPECT_EQ(0, std::memcmp(h.transcript, expected.transcript.words, 64));
      EXPECT_EQ(0, std::memcmp(h.kernel_hash, expected.transcript.digest, 32));
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
