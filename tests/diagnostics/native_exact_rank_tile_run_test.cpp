// The native-exact rank-tile check on the host device: a clean report for the
// native row and for a row without tile getters, a broken backend GEMM
// reported (not raised), a geometry the launchers refuse raised with nothing
// printed and nothing left allocated, and the korvath binary's run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "backends/backend_descriptor.h"
#include "core/config.h"
#include "diagnostics/native_exact_rank_tile.h"
#include "hostgpu/inspect.h"
#include "run_binary.h"

namespace {

const char kCleanCounts[] =
    "debug_native_exact_rank_tile candidates=256 hash_mismatches=0 transcript_mismatches=0 "
    "owner_hash_mismatches=0 owner_transcript_mismatches=0 backend_hash_mismatches=0 "
    "backend_bad_counts=0 full_rank_steps=32 full_owner_transcript_mismatches=0 "
    "full_tile_hash_mismatches=0 full_tile_transcript_mismatches=0\n";

const GpuBackendDescriptor& row_named(const char* backend) {
  Config config;
  config.force_backend = backend;
  return select_backend(config, cudaDeviceProp{});
}

// A backend whose debug GEMM enqueues nothing and reports success.
cudaError_t idle_debug_gemm_tile(const int8_t*, const int8_t*, int32_t*, int32_t*, int, int, int,
                                 cudaStream_t) {
  return cudaSuccess;
}

class NativeExactRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("HOSTGPU_DEVICES", "12.0,Host RTX 5090,4096,8", 1);
    hostgpu::inspect::reinitialise();
  }
  void TearDown() override {
    unsetenv("HOSTGPU_DEVICES");
    hostgpu::inspect::reinitialise();
  }
  static std::string run_check(const GpuBackendDescriptor& row) {
    testing::internal::CaptureStdout();
    try {
      debug_native_exact_rank_tile(row);
    } catch (...) {
      testing::internal::GetCapturedStdout();
      throw;
    }
    return testing::internal::GetCapturedStdout();
  }
};

TEST_F(NativeExactRunTest, NativeRowAgreesEverywhere) {
  EXPECT_EQ(run_check(row_named("blackwell-native")), kCleanCounts);
}

TEST_F(NativeExactRunTest, RowWithoutTileGettersRunsTheNativeGeometry) {
  // The ampere debug GEMM covers its own 128 x 128 tile only, which the
  // backend fields report; the native-exact kernels agree with the CPU.
  const std::string line = run_check(row_named("ampere"));
  EXPECT_EQ(line.rfind("debug_native_exact_rank_tile candidates=256 hash_mismatches=0 "
                       "transcript_mismatches=0 owner_hash_mismatches=0 "
                       "owner_transcript_mismatches=0 ",
                       0),
            0u)
      << line;
  EXPECT_NE(line.find(" full_rank_steps=32 full_owner_transcript_mismatches=0 "
                      "full_tile_hash_mismatches=0 full_tile_transcript_mismatches=0"),
            std::string::npos)
      << line;
}

TEST_F(NativeExactRunTest, BrokenBackendGemmIsReportedNotRaised) {
  GpuBackendDescriptor broken = row_named("blackwell-native");
  broken.launch_debug_gemm_tile = idle_debug_gemm_tile;
  const std::string line = run_check(broken);
  EXPECT_NE(line.find(" hash_mismatches=0 "), std::string::npos) << line;
  EXPECT_NE(line.find(" backend_bad_counts=32768 "), std::string::npos) << line;
  EXPECT_EQ(line.find(" backend_hash_mismatches=0 "), std::string::npos) << line;
  EXPECT_NE(line.find(" first_backend_hash_idx="), std::string::npos) << line;
  EXPECT_EQ(line.find("first_hash_idx"), std::string::npos) << line;
}

TEST_F(NativeExactRunTest, GeometryTheLaunchersRefuseRaisesAndPrintsNothing) {
  size_t free_before = 0, total = 0;
  ASSERT_EQ(cudaMemGetInfo(&free_before, &total), cudaSuccess);
  testing::internal::CaptureStdout();
  try {
    debug_native_exact_rank_tile(row_named("turing"));  // 128 x 128 x 64
    FAIL() << "the check ran";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("native_exact_debug_rank_tile: ", 0), 0u) << e.what();
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  size_t free_after = 0;
  ASSERT_EQ(cudaMemGetInfo(&free_after, &total), cudaSuccess);
  EXPECT_EQ(free_after, free_before);
}

TEST(NativeExactBinaryRun, NativeRowWritesTheCleanReportAndExitsZero) {
  const BinaryRun run = run_korvath(
      {"--force-backend", "blackwell-native", "--m", "256", "--n", "256", "--k", "256", "--rank",
       "128", "--debug-native-exact-rank-tile"},
      {{"HOSTGPU_DEVICES", "12.0,Host RTX 5090,4096,8"}, {"NO_COLOR", "1"}});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find(kCleanCounts), std::string::npos) << run.out;
}

}  // namespace
