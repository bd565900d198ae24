// What the B200 and B300 rows' headless slots share: candidates against the
// CPU transcript and the dp2a row, the cluster launch and its attributes, and
// deep K over several clusters under ordered and hostile schedules. Each test
// runs on a fresh thread, since the B300 slot's copies belong to the caller.
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>

#include "backends/blackwell_b200_mining_kernel.h"
#include "backends/blackwell_b300_mining_kernel.h"
#include "hostgpu/executor.h"
#include "two_sm_fixture.h"

namespace {

struct TwoSmRow {
  const char* name;
  const char* capability;
  LaunchHeadlessMine headless;
  LaunchNoiseAndMine noise_and_mine;
  const void* (*kernel)();
  unsigned shared_bytes;
  int cluster_n;  // columns one cluster covers
  int all_ones_k;
  const char* hostile_seed;
};

void PrintTo(const TwoSmRow& r, std::ostream* os) { *os << r.name; }

class TwoSmRowTest : public TwoSmTest, public ::testing::WithParamInterface<TwoSmRow> {
 protected:
  void SetUp() override { use_devices(GetParam().capability); }
  GpuBackendDescriptor row() const { return test_row(GetParam().headless, GetParam().noise_and_mine); }
};

TEST_P(TwoSmRowTest, AllOnesTargetReportsCandidateZeroAsTheDp2aRowDoes) {
  on_fresh_thread([this] {
    const TwoSmRow& r = GetParam();
    MiningAttempt attempt({256, r.cluster_n, r.all_ones_k, 128});
    ASSERT_EQ(attempt.mine(row(), all_ones_target()), cudaSuccess);
    ASSERT_NO_FATAL_FAILURE(expect_first_thread_of_first_tile(attempt));
    expect_cluster_launch(r.kernel(), r.shared_bytes);

    MiningAttempt dp2a({256, r.cluster_n, r.all_ones_k, 128});
    ASSERT_EQ(dp2a.mine(forced_row("cmp170hx-dp2a"), all_ones_target()), cudaSuccess);
    const HostSignalHeader& h = attempt.header();
    EXPECT_EQ(0, std::memcmp(h.transcript, dp2a.header().transcript, 64));
    EXPECT_EQ(0, std::memcmp(h.kernel_hash, dp2a.header().kernel_hash, 32));
  });
}

TEST_P(TwoSmRowTest, LowestHittingCandidateOfTheLaunchIsReportedAndZeroTargetFindsNothing) {
  on_fresh_thread([this] {
    const int n = GetParam().cluster_n;
    MiningAttempt attempt({512, n, 128, 128});
    const std::vector<uint32_t> target = one_in_sixteen_target();
    ASSERT_EQ(attempt.mine(row(), target), cudaSuccess);
    CandidateKey expected{};
    ASSERT_TRUE(first_cpu_hit(attempt, target, &expected)) << "no digest met the target";
    expect_candidate(attempt.header(), expected);

    MiningAttempt nothing({256, n, 128, 128});
    ASSERT_EQ(nothing.mine(row(), zero_target()), cudaSuccess);
    EXPECT_EQ(nothing.header().status, 0u);
  });
}

// Four rank steps (each stage refilled once) over two clusters, with the
// threads and blocks of each cluster taken in order and in a hostile order
// with late copies and poisoned memory.
TEST_P(TwoSmRowTest, DeepKOverSeveralClustersUnderOrderedAndHostileSchedules) {
  on_fresh_thread([this] {
    const char* schedules[] = {nullptr, GetParam().hostile_seed};
    for (const char* hostile : schedules) {
      SCOPED_TRACE(hostile ? hostile : "ordered");
      if (hostile) setenv("HOSTGPU_HOSTILE", hostile, 1);
      MiningAttempt attempt({256, 2 * GetParam().cluster_n, 512, 128});
      const std::vector<uint32_t> target = one_in_sixteen_target();
      ASSERT_EQ(attempt.mine(row(), target), cudaSuccess);
      unsetenv("HOSTGPU_HOSTILE");
      EXPECT_EQ(last_launch().grid.x, 2u);
      EXPECT_EQ(last_launch().grid.y, 4u);
      CandidateKey expected{};
      ASSERT_TRUE(first_cpu_hit(attempt, target, &expected)) << "no digest met the target";
      expect_candidate(attempt.header(), expected);
    }
  });
}

// As many clusters as an SM admits are resident together, sharing each SM's
// tensor memory, with allocations that may not wait and with commits and
// remote arrivals landing as late as the schedule lets them: the CTAs never
// ask for more columns than an SM has, and none ends while an arrival or a
// copy is still on its way to it.
TEST_P(TwoSmRowTest, CoResidentClustersFitTensorMemoryAndEndWithNothingInFlight) {
  on_fresh_thread([this] {
    setenv("HOSTGPU_STRICT_TENSOR_MEMORY", "1", 1);
    setenv("HOSTGPU_HOSTILE", "1", 1);
    // Three clusters: more than two CTAs of each SM's rank would be resident.
    MiningAttempt attempt({768, GetParam().cluster_n, 128, 128});
    const cudaError_t result = attempt.mine(row(), zero_target());
    unsetenv("HOSTGPU_HOSTILE");
    unsetenv("HOSTGPU_STRICT_TENSOR_MEMORY");
    ASSERT_EQ(result, cudaSuccess) << hostgpu::last_kernel_fault();
  });
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TwoSmRowTest,
    ::testing::Values(
        TwoSmRow{"b200", "10.0", vexal_blackwell_b200::launch_headless_mine,
                 vexal_blackwell_b200::launch_noise_and_mine, vexal_blackwell_b200::mining_kernel, 84096,
                 512, 256, "3"},
        // K of two tiles per rank step: float step sums added into the int32 running sums.
        TwoSmRow{"b300", "10.3", vexal_blackwell_b300::launch_headless_mine,
                 vexal_blackwell_b300::launch_noise_and_mine, vexal_blackwell_b300::mining_kernel, 58496,
                 256, 128, "5"}),
    [](const ::testing::TestParamInfo<TwoSmRow>& info) { return std::string(info.param.name); });

}  // namespace
