// The split-row loops (offline pipeline, parallel serial loop, headless
// benchmark) on a test row whose mining launch reports a digest of exactly
// what it mined, in both stream modes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "backends/cmp170hx_dp2a_mining_kernel.h"
#include "core/codecs.h"
#include "core/kernel_launch.h"
#include "core/log.h"
#include "engine/headless_benchmark.h"
#include "engine/miner_startup.h"
#include "engine/offline_pipeline.h"
#include "engine/serial_loop.h"
#include "host_device_fixture.h"

namespace {

__global__ void test_sparse_noise_kernel(const int8_t* x, const int8_t* left, const int8_t* right,
                                         int8_t* out, int32_t k, int32_t rank) {
  const int64_t row = blockIdx.x;
  for (int64_t c = threadIdx.x; c < k; c += blockDim.x) {
    const int64_t j = c % rank;
    out[row * k + c] = static_cast<int8_t>(x[row * k + c] + left[row * rank + j] * right[j * k + c]);
  }
}

cudaError_t test_apply_sparse_noise(const int8_t* x, const int8_t* left, const int8_t* right,
                                    int8_t* out, int16_t*, int16_t*, int rows, int k, int rank,
                                    cudaStream_t stream) {
  launch_kernel(test_sparse_noise_kernel, dim3(rows), dim3(32), 0, stream, x, left, right, out, k,
                rank);
  return cudaGetLastError();
}

void fnv(uint64_t& hash, const void* data, int64_t bytes) {
  const auto* p = static_cast<const uint8_t*>(data);
  for (int64_t i = 0; i < bytes; ++i) hash = (hash ^ p[i]) * 1099511628211ull;
}

// One thread: a digest of A', B', the seed and the target, reported as a
// candidate; a sync word left over from an earlier launch spoils it.
__global__ void test_digest_kernel(const int8_t* a, const int8_t* b, int32_t m, int32_t n,
                                   int32_t k, HostSignalHeader* header, HostSignalSync* sync,
                                   const uint32_t* target, const uint32_t* seed) {
  uint64_t hash = 1469598103934665603ull;
  fnv(hash, a, static_cast<int64_t>(m) * k);
  fnv(hash, b, static_cast<int64_t>(n) * k);
  fnv(hash, seed, 32);
  fnv(hash, target, 32);
  header->status = sync->words[0] == 0 ? 1 : 2;
  sync->words[0] += 1;
  header->pair_count = 0;
  header->tile_height = 128;
  header->tile_width = 128;
  std::memcpy(header->kernel_hash, &hash, sizeof(hash));
}

cudaError_t test_headless_mine(const int8_t* a, const int8_t* b, int m, int n, int k,
                               HostSignalHeader* header, HostSignalSync* sync,
                               const uint32_t* target, const uint32_t* seed, int, uint32_t*,
                               cudaStream_t stream) {
  launch_kernel(test_digest_kernel, dim3(1), dim3(1), 0, stream, a, b, m, n, k, header, sync,
                target, seed);
  return cudaGetLastError();
}

const GpuBackendDescriptor kTestSplitRow{
    "test_split_row",
    vexal_cmp170hx_dp2a::Slots::launch_fill_int8,
    vexal_cmp170hx_dp2a::Slots::launch_generate_noise,
    test_apply_sparse_noise,
    test_headless_mine,
    vexal_cmp170hx_dp2a::Slots::launch_noise_and_mine,
    nullptr,
    nullptr,
    nullptr,
    vexal_cmp170hx_dp2a::Slots::signal_header_bytes,
    vexal_cmp170hx_dp2a::Slots::signal_sync_bytes,
    nullptr,
    nullptr,
    nullptr,
    nullptr};

// Enqueues its kernel, then reports a failure: the run must end with the work
// still in flight drained before anything is released.
cudaError_t failing_headless_mine(const int8_t* a, const int8_t* b, int m, int n, int k,
                                  HostSignalHeader* header, HostSignalSync* sync,
                                  const uint32_t* target, const uint32_t* seed, int rank,
                                  uint32_t* extra, cudaStream_t stream) {
  test_headless_mine(a, b, m, n, k, header, sync, target, seed, rank, extra, stream);
  return cudaErrorInvalidValue;
}

GpuBackendDescriptor failing_row() {
  GpuBackendDescriptor row = kTestSplitRow;
  row.launch_headless_mine = failing_headless_mine;
  return row;
}

constexpr uint64_t kSeed = 0x1234567890abcdefull;

class SplitPipelineTest : public HostDeviceTest {
 protected:
  void SetUp() override { log_color_mode = ColorMode::Never; }

  static Config small_config() {
    Config config;
    config.dry_run = true;
    config.force_backend = "cmp170hx-dp2a";  // replaced by the test row after start-up
    config.m = 128;
    config.n = 256;
    config.k = 256;
    config.rank = 64;
    config.max_attempts = 4;
    config.status_interval = 2;
    return config;
  }

  // Starts a miner on the test row; the caller runs a loop on it.
  static void start(MinerState& state) {
    ASSERT_TRUE(start_up_miner(state, 0, 1));
    state.row = &kTestSplitRow;
    state.split = true;
    state.config.matrix_seed = kSeed;
  }

  static std::vector<std::string> kernel_hashes(const std::string& out) {
    std::vector<std::string> hashes;
    const std::string key = "kernel_hash=";
    for (size_t at = out.find(key); at != std::string::npos; at = out.find(key, at + 1)) {
      hashes.push_back(out.substr(at + key.size(), 64));
    }
    return hashes;
  }
};

TEST_F(SplitPipelineTest, PipelineAndSerialLoopMineTheSameOperandsInBothStreamModes) {
  std::vector<std::vector<std::string>> runs;
  for (const bool deferred : {false, true}) {
    for (const bool pipeline : {true, false}) {
      SCOPED_TRACE(std::string(deferred ? "deferred " : "eager ") +
                   (pipeline ? "pipeline" : "serial"));
      configure("8.6,Host GPU,1024,8", deferred);
      testing::internal::CaptureStdout();
      {
        MinerState state(small_config(), 0);
        start(state);
        if (pipeline) {
          ASSERT_EQ(choose_mining_loop(state), MiningLoop::OfflinePipeline);
          run_offline_pipeline(state);
        } else {
          run_serial_loop(state);
        }
      }
      const std::string out = testing::internal::GetCapturedStdout();
      EXPECT_NE(out.find("status attempts=2 hits=2 "), std::string::npos) << out;
      EXPECT_NE(out.find("status attempts=4 hits=4 "), std::string::npos) << out;
      EXPECT_EQ(out.find("share_equiv"), std::string::npos);
      EXPECT_EQ(out.find("prep_profile"), std::string::npos);
      runs.push_back(kernel_hashes(out));
    }
  }
  ASSERT_EQ(runs.front().size(), 4u);
  EXPECT_NE(runs.front()[0], runs.front()[1]);
  for (const auto& run : runs) EXPECT_EQ(run, runs.front());
}

TEST_F(SplitPipelineTest, ProfiledPipelineAddsPrepProfileAfterEachStatusLine) {
  configure("8.6,Host GPU,1024,8", true);
  Config config = small_config();
  config.profile = true;
  testing::internal::CaptureStdout();
  {
    MinerState state(config, 0);
    start(state);
    run_offline_pipeline(state);
  }
  const std::string out = testing::internal::GetCapturedStdout();
  const size_t status = out.find("status attempts=2 ");
  const size_t profile = out.find("component=miner prep_profile fill_a_ms=");
  ASSERT_NE(profile, std::string::npos) << out;
  EXPECT_LT(status, profile);
  for (const char* field : {" hashA+commit_ms=", " noise_gen_ms=", " sparse_a_ms=",
                            " prep_total_ms="}) {
    EXPECT_NE(out.find(field), std::string::npos) << field;
  }
  EXPECT_NE(out.find("prep_profile", profile + 1), std::string::npos);
}

TEST_F(SplitPipelineTest, HeadlessBenchmarkMinesThePreparedOperandsEveryLaunch) {
  std::string first_attempt;
  {
    configure("8.6,Host GPU,1024,8");
    Config config = small_config();
    config.max_attempts = 1;
    testing::internal::CaptureStdout();
    {
      MinerState state(config, 0);
      start(state);
      run_offline_pipeline(state);
    }
    first_attempt = kernel_hashes(testing::internal::GetCapturedStdout()).at(0);
  }
  for (const bool deferred : {false, true}) {
    configure("8.6,Host GPU,1024,8", deferred);
    Config config = small_config();
    config.benchmark_headless_only = true;
    config.max_attempts = 3;
    config.status_interval = 1;
    testing::internal::CaptureStdout();
    MinerState state(config, 0);
    start(state);
    run_mining_loop(state);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("component=benchmark headless_only_prepared prep_seconds="),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(" attempts=3 target=zero"), std::string::npos);
    EXPECT_NE(out.find("headless_only_status attempts=1 hits=1 tmac_s="), std::string::npos);
    EXPECT_NE(out.find("headless_only_status attempts=3 hits=3 tmac_s="), std::string::npos);
    EXPECT_NE(out.find("headless_only_final attempts=3 hits=3 tmac_s="), std::string::npos);
    // Attempt 0's operands, key and zero target: the pipeline's first attempt.
    EXPECT_EQ(hex32(state.workspace->signal_header->kernel_hash).substr(0, 64), first_attempt);
  }
}

TEST_F(SplitPipelineTest, HeadlessBenchmarkWithAPoolBuildsItsWorkspaceAndConnectsToNothing) {
  configure("8.6,Host GPU,1024,8");
  Config config = small_config();
  config.benchmark_headless_only = true;
  config.pool = "127.0.0.1";
  config.pool_configured = true;
  config.max_attempts = 2;
  config.status_interval = 0;
  testing::internal::CaptureStdout();
  MinerState state(config, 0);
  start(state);
  ASSERT_NE(state.workspace, nullptr);
  run_mining_loop(state);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("workspace_ready reason=startup"), std::string::npos) << out;
  EXPECT_NE(out.find("headless_only_final attempts=2 hits=2"), std::string::npos) << out;
}

TEST_F(SplitPipelineTest, AFailedLaunchEndsTheRunAndReleasesEverything) {
  const GpuBackendDescriptor row = failing_row();
  for (const bool deferred : {false, true}) {
    configure("8.6,Host GPU,1024,8", deferred);
    std::string error;
    testing::internal::CaptureStdout();
    try {
      MinerState state(small_config(), 0);
      start(state);
      state.row = &row;
      run_mining_loop(state);
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(error, "pipeline headless mine: invalid argument");
    EXPECT_EQ(hostgpu::inspect::device_bytes_in_use(0), 0u);
  }
}

}  // namespace
