// The "volta_sm70" row: its dp4a arithmetic against the CPU and the verified
// dp2a row, the fused slot's stages and shape rule, the debug GEMM tile, and
// an engine dry run forced to the row (the coordinate dump:
// row_coordinates_test.cpp).
#include <cstring>
#include <string>
#include <vector>

#include "backends/volta_mining_kernel.h"
#include "core/config.h"
#include "device_fixture.h"
#include "engine/cpu_operand_reference.h"
#include "mining_attempt.h"
#include "run_binary.h"

namespace {

class VoltaTest : public HostDeviceTest {
 protected:
  const GpuBackendDescriptor& row() const { return forced_row("volta"); }
};

TEST_F(VoltaTest, RowIsFusedAndPointsAtTheVoltaUnit) {
  const GpuBackendDescriptor& r = row();
  EXPECT_STREQ(r.name, "volta_sm70");
  EXPECT_EQ(r.launch_fill_int8, &vexal_volta::launch_fill_int8);
  EXPECT_EQ(r.launch_generate_noise, &vexal_volta::launch_generate_noise);
  EXPECT_EQ(r.launch_noise_and_mine, &vexal_volta::launch_noise_and_mine);
  EXPECT_EQ(r.launch_noise_and_mine_dump, &vexal_volta::launch_noise_and_mine_dump);
  EXPECT_EQ(r.launch_dump_headless_coords, &vexal_volta::launch_dump_headless_coords);
  EXPECT_EQ(r.launch_debug_gemm_tile, &vexal_volta::launch_debug_gemm_tile);
  EXPECT_FALSE(is_split_backend(r));
  EXPECT_EQ(r.launch_apply_sparse_noise, nullptr);
  EXPECT_EQ(r.tile_m, nullptr);
  EXPECT_EQ(r.warp_tile_n, nullptr);
  EXPECT_EQ(r.signal_header_bytes(), 1280u);
  EXPECT_EQ(r.signal_sync_bytes(), 8u);
  // Capability 7.0 picks the row without a forced name.
  Config config;
  cudaDeviceProp prop{};
  prop.major = 7;
  prop.minor = 0;
  EXPECT_EQ(&select_backend(config, prop), &r);
}

TEST_F(VoltaTest, MiningMatchesTheCpuAndTheDp2aRowByteForByte) {
  for (const auto& target : {all_ones_target(), one_in_sixteen_target(), zero_target()}) {
    MiningAttempt volta({256, 256, 256, 64});
    MiningAttempt dp2a({256, 256, 256, 64});
    ASSERT_EQ(volta.mine(row(), target), cudaSuccess);
    ASSERT_EQ(dp2a.mine(forced_row("cmp170hx-dp2a"), target), cudaSuccess);
    EXPECT_EQ(volta.device_noised_a(), volta.cpu_noised_a());
    EXPECT_EQ(volta.device_noised_b(), volta.cpu_noised_b());
    EXPECT_EQ(0, std::memcmp(&volta.header(), &dp2a.header(), sizeof(HostSignalHeader)));
    if (target == zero_target()) {
      EXPECT_EQ(volta.header().status, 0u);
      continue;
    }
    const HostSignalHeader& h = volta.header();
    ASSERT_EQ(h.status, 1u);
    const ThreadTranscript cpu =
        cpu_thread_transcript(volta, h.tile_m_index, h.tile_n_index, h.candidate_thread);
    EXPECT_EQ(0, std::memcmp(h.transcript, cpu.words, sizeof(cpu.words)));
    EXPECT_EQ(0, std::memcmp(h.kernel_hash, cpu.digest, 32));
  }
}

TEST_F(VoltaTest, JackpotDumpEqualsTheDp2aRows) {
  const AttemptShape s{128, 256, 256, 64};
  const size_t threads = 2 * 128;
  const int steps = s.k / s.rank;
  DeviceArray<VexalHeadlessJackpotDumpEntry> entries(threads * steps), dp2a_entries(threads * steps);
  DeviceArray<int32_t> values(threads * steps * 128), dp2a_values(threads * steps * 128);
  DeviceArray<uint32_t> counts(threads * steps * 128), dp2a_counts(threads * steps * 128);
  MiningAttempt volta(s), dp2a(s);
  ASSERT_EQ(volta.mine_with_dump(row(), all_ones_target(), entries.ptr, values.ptr, counts.ptr, steps),
            cudaSuccess);
  ASSERT_EQ(dp2a.mine_with_dump(forced_row("cmp170hx-dp2a"), all_ones_target(), dp2a_entries.ptr,
                                dp2a_values.ptr, dp2a_counts.ptr, steps),
            cudaSuccess);
  for (uint32_t count : counts.download()) ASSERT_EQ(count, 1u);
  EXPECT_EQ(values.download(), dp2a_values.download());
  const auto mine = entries.download();
  const auto reference = dp2a_entries.download();
  ASSERT_EQ(0, std::memcmp(mine.data(), reference.data(), mine.size() * sizeof(mine[0])));
}

// Buffers for slot 5 at one shape; only the checks and launches matter here.
struct FusedBuffers {
  DeviceArray<int8_t> a, b, a_left, b_left, a_right, b_right, noised_a, noised_b;
  DeviceArray<int16_t> a_i0, a_i1, b_i0, b_i1;
  DeviceArray<uint32_t> target, seed;
  DeviceArray<HostSignalSync> sync;
  DeviceArray<HostSignalHeader> header;
  FusedBuffers(int m, int n, int k, int rank)
      : a(size_t(m) * k), b(size_t(n) * k), a_left(size_t(m) * rank), b_left(size_t(n) * rank),
        a_right(size_t(rank) * k), b_right(size_t(rank) * k), noised_a(size_t(m) * k),
        noised_b(size_t(n) * k), a_i0(k), a_i1(k), b_i0(k), b_i1(k), target(8), seed(8), sync(1),
        header(1) {}
};

TEST_F(VoltaTest, FusedSlotStagesAndShapeRule) {
  struct Case {
    const char* what;
    int m, n, k, rank;
    cudaError_t result;
    dim3 last_grid;  // of the last accepted launch
  };
  const Case cases[] = {
      {"smallest tile", 128, 128, 128, 64, cudaSuccess, dim3(1, 1, 1)},
      {"one block per tile", 256, 384, 256, 64, cudaSuccess, dim3(2, 3, 1)},
      {"rank 96 divides k 192", 128, 128, 192, 96, cudaSuccess, dim3(1, 1, 1)},
      // Refused after both noise stages: the last launch is B's apply kernel.
      {"k 100 rank 64", 128, 128, 100, 64, cudaErrorInvalidValue, dim3(128, 1, 1)},
      {"n 192", 128, 192, 128, 64, cudaErrorInvalidValue, dim3(192, 1, 1)},
      {"rank 6", 128, 128, 120, 6, cudaErrorInvalidValue, dim3(128, 1, 1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    FusedBuffers f(c.m, c.n, c.k, c.rank);
    const cudaError_t result = row().launch_noise_and_mine(
        f.a.ptr, f.b.ptr, f.a_left.ptr, f.b_left.ptr, f.a_right.ptr, f.b_right.ptr, f.noised_a.ptr,
        f.noised_b.ptr, f.a_i0.ptr, f.a_i1.ptr, f.b_i0.ptr, f.b_i1.ptr, c.m, c.n, c.k, c.rank,
        f.header.ptr, f.sync.ptr, f.target.ptr, f.seed.ptr, nullptr, nullptr);
    EXPECT_EQ(result, c.result);
    const auto launch = last_launch();
    EXPECT_EQ(launch.grid.x, c.last_grid.x);
    EXPECT_EQ(launch.grid.y, c.last_grid.y);
    if (c.result == cudaSuccess) {
      EXPECT_EQ(launch.block.x, 128u);
      EXPECT_EQ(launch.dynamic_shared_bytes, 0u);
    }
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  }
}

TEST_F(VoltaTest, DebugTileIsTheCpuProductWithOneWritePerCell) {
  struct Case {
    int m, n, k;
    unsigned blocks;
  };
  for (const Case& c : {Case{1, 1, 1, 1}, Case{128, 128, 64, 64}, Case{5, 7, 131, 1}}) {
    SCOPED_TRACE(c.k);
    std::vector<int8_t> a = cpu_fill_int8(31, int64_t(c.m) * c.k);
    std::vector<int8_t> b = cpu_fill_int8(32, int64_t(c.n) * c.k);
    a[0] = -128;  // the extremes, where a sign slip of dp4a would show
    b[0] = -128;
    DeviceArray<int8_t> da(a), db(b);
    DeviceArray<int32_t> product(size_t(c.m) * c.n), counts(size_t(c.m) * c.n);
    ASSERT_EQ(row().launch_debug_gemm_tile(da.ptr, db.ptr, product.ptr, counts.ptr, c.m, c.n, c.k, nullptr),
              cudaSuccess);
    EXPECT_EQ(last_launch().grid.x, c.blocks);
    const auto p = product.download();
    const auto n = counts.download();
    for (int i = 0; i < c.m; ++i) {
      for (int j = 0; j < c.n; ++j) {
        int32_t sum = 0;
        for (int t = 0; t < c.k; ++t) sum += int32_t(a[size_t(i) * c.k + t]) * b[size_t(j) * c.k + t];
        ASSERT_EQ(p[size_t(i) * c.n + j], sum);
        ASSERT_EQ(n[size_t(i) * c.n + j], 1);
      }
    }
  }
  EXPECT_EQ(row().launch_debug_gemm_tile(nullptr, nullptr, nullptr, nullptr, 1, 1, 1, nullptr),
            cudaErrorInvalidValue);
}

TEST(VoltaDryRun, ForcedRowMinesAndExitsZero) {
  const BinaryRun run = run_korvath(
      {"--dry-run", "--max-attempts", "2", "--m", "256", "--n", "256", "--k", "256", "--rank", "64",
       "--force-backend", "volta"},
      {{"HOSTGPU_DEVICES", "7.0,Host V100,4096,8"}, {"NO_COLOR", "1"}});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("component=miner backend=volta_sm70\n"), std::string::npos) << run.out;
}

}  // namespace
