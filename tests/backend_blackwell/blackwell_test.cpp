// The "blackwell_sm120" row: its CuTe mining kernel against the CPU transcript
// and the verified dp2a row, the jackpot dump, the fused slots' stages, grids
// and attributes; and the slots "hopper_sm90" borrows.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "backends/blackwell_mining_kernel.h"
#include "core/config.h"
#include "device_fixture.h"
#include "engine/cpu_operand_reference.h"
#include "engine/cpu_tile_transcript.h"
#include "mining_attempt.h"
#include "proof/plain_proof.h"

namespace {

constexpr int kTileM = 128;
constexpr int kTileN = 256;

class BlackwellTest : public ::testing::Test {
 protected:
  void SetUp() override { use_device("12.0,Host RTX 5090,4096,8"); }
  void TearDown() override {
    unsetenv("HOSTGPU_DEVICES");
    hostgpu::inspect::reinitialise();
  }
  static void use_device(const char* spec) {
    setenv("HOSTGPU_DEVICES", spec, 1);
    hostgpu::inspect::reinitialise();
  }
  const GpuBackendDescriptor& row() const { return forced_row("blackwell"); }
};

// Candidate c of a tile: rows 64·g + o and + 32, columns 64·q .. 64·q + 63.
OpenedRowsCols candidate_cells(uint32_t tile_m, uint32_t tile_n, int c) {
  OpenedRowsCols opened;
  const uint64_t row = uint64_t(tile_m) * kTileM + 64 * ((c / 32) % 2) + c % 32;
  opened.rows = {row, row + 32};
  for (int j = 0; j < 64; ++j) opened.cols.push_back(uint64_t(tile_n) * kTileN + 64 * (c / 64) + j);
  return opened;
}

ThreadTranscript cpu_candidate(const MiningAttempt& attempt, uint32_t tile_m, uint32_t tile_n, int c) {
  const OpenedRowsCols opened = candidate_cells(tile_m, tile_n, c);
  Config config;
  config.k = attempt.shape().k;
  config.rank = attempt.shape().rank;
  ThreadTranscript result;
  cpu_tile_transcript(result.digest, attempt.a_rows(opened.rows), attempt.b_rows(opened.cols), opened,
                      attempt.seed_a().data(), config, result.words);
  return result;
}

bool digest_hits(const uint8_t digest[32], const std::vector<uint32_t>& target) {
  for (int w = 7; w >= 0; --w) {
    uint32_t word = 0;
    for (int b = 3; b >= 0; --b) word = word << 8 | digest[4 * w + b];
    if (word != target[w]) return word < target[w];
  }
  return true;
}

TEST_F(BlackwellTest, RowsPointAtTheBlackwellUnit) {
  const GpuBackendDescriptor& r = row();
  EXPECT_STREQ(r.name, "blackwell_sm120");
  EXPECT_EQ(r.launch_fill_int8, &vexal_blackwell::launch_fill_int8);
  EXPECT_EQ(r.launch_generate_noise, &vexal_blackwell::launch_generate_noise);
  EXPECT_NE(r.launch_noise_and_mine, nullptr);  // the forwarder
  EXPECT_EQ(r.launch_noise_and_mine_dump, &vexal_blackwell::launch_noise_and_mine_dump);
  EXPECT_EQ(r.launch_dump_headless_coords, &vexal_blackwell::launch_dump_headless_coords);
  EXPECT_EQ(r.launch_debug_gemm_tile, &vexal_blackwell::launch_debug_gemm_tile);
  EXPECT_FALSE(is_split_backend(r));
  EXPECT_EQ(r.tile_m, nullptr);
  EXPECT_EQ(r.signal_header_bytes(), 1280u);
  EXPECT_EQ(r.signal_sync_bytes(), 8u);
  const GpuBackendDescriptor& hopper = forced_row("hopper");
  EXPECT_EQ(hopper.launch_fill_int8, &vexal_blackwell::launch_fill_int8);
  EXPECT_EQ(hopper.launch_generate_noise, &vexal_blackwell::launch_generate_noise);
  EXPECT_EQ(hopper.launch_apply_sparse_noise, &vexal_blackwell::launch_apply_sparse_noise);
  EXPECT_EQ(hopper.launch_debug_gemm_tile, &vexal_blackwell::launch_debug_gemm_tile);
}

TEST_F(BlackwellTest, AllOnesTargetReportsCandidateZeroWithTheCpuTranscript) {
  MiningAttempt attempt({128, 256, 256, 128});
  ASSERT_EQ(attempt.mine(row(), all_ones_target()), cudaSuccess);
  EXPECT_EQ(attempt.device_noised_a(), attempt.cpu_noised_a());
  EXPECT_EQ(attempt.device_noised_b(), attempt.cpu_noised_b());
  const HostSignalHeader& h = attempt.header();
  ASSERT_EQ(h.status, 1u);
  EXPECT_EQ(h.tile_m_index, 0u);
  EXPECT_EQ(h.tile_n_index, 0u);
  EXPECT_EQ(h.candidate_thread, 0);
  EXPECT_EQ(h.tile_height, kTileM);
  EXPECT_EQ(h.tile_width, kTileN);
  ASSERT_EQ(h.pair_count, 128);
  for (int v = 0; v < 128; ++v) {
    EXPECT_EQ(h.pair_rows[v], v < 64 ? 0 : 32);
    EXPECT_EQ(h.pair_cols[v], v % 64);
  }
  const ThreadTranscript cpu = cpu_candidate(attempt, 0, 0, 0);
  EXPECT_EQ(0, std::memcmp(h.transcript, cpu.words, sizeof(cpu.words)));
  EXPECT_EQ(0, std::memcmp(h.kernel_hash, cpu.digest, 32));
  // The blocks past the only tile left the grid's launch untouched otherwise.
  EXPECT_EQ(last_launch().grid.x, 128u);
  EXPECT_EQ(last_launch().block.x, 256u);
  EXPECT_EQ(last_launch().dynamic_shared_bytes, 98304u);
  const auto attributes = hostgpu::inspect::kernel_attributes(last_launch().kernel, 0);
  EXPECT_EQ(attributes.max_dynamic_shared_bytes, 98304);
  EXPECT_EQ(attributes.preferred_carveout, 100);
}

TEST_F(BlackwellTest, LowestHittingCandidateWinsAndZeroTargetFindsNothing) {
  MiningAttempt attempt({256, 256, 128, 128});
  const std::vector<uint32_t> target = one_in_sixteen_target();
  ASSERT_EQ(attempt.mine(row(), target), cudaSuccess);
  // Two tiles along m, numbered first; all 256 candidates of each.
  bool found = false;
  for (uint32_t tm = 0; tm < 2 && !found; ++tm) {
    for (int c = 0; c < 256 && !found; ++c) {
      const ThreadTranscript cpu = cpu_candidate(attempt, tm, 0, c);
      if (!digest_hits(cpu.digest, target)) continue;
      found = true;
      const HostSignalHeader& h = attempt.header();
      ASSERT_EQ(h.status, 1u);
      EXPECT_EQ(h.tile_m_index, tm);
      EXPECT_EQ(h.candidate_thread, c);
      EXPECT_EQ(0, std::memcmp(h.transcript, cpu.words, sizeof(cpu.words)));
      EXPECT_EQ(0, std::memcmp(h.kernel_hash, cpu.digest, 32));
    }
  }
  ASSERT_TRUE(found) << "no digest met the target; choose other seeds";

  MiningAttempt nothing({128, 256, 128, 128});
  ASSERT_EQ(nothing.mine(row(), zero_target()), cudaSuccess);
  EXPECT_EQ(nothing.header().status, 0u);
}

TEST_F(BlackwellTest, NoisedOperandsAndCandidatesAgreeWithTheDp2aRow) {
  // The same attempt on the verified row: same operands, and the same
  // transcript for the same opened rows and columns.
  MiningAttempt blackwell({128, 256, 256, 128});
  MiningAttempt dp2a({128, 256, 256, 128});
  ASSERT_EQ(blackwell.mine(row(), all_ones_target()), cudaSuccess);
  ASSERT_EQ(dp2a.mine(forced_row("cmp170hx-dp2a"), all_ones_target()), cudaSuccess);
  EXPECT_EQ(blackwell.device_noised_a(), dp2a.device_noised_a());
  EXPECT_EQ(blackwell.device_noised_b(), dp2a.device_noised_b());
  // Candidate 0 covers the same cells in both layouts.
  EXPECT_EQ(0, std::memcmp(blackwell.header().transcript, dp2a.header().transcript, 64));
  EXPECT_EQ(0, std::memcmp(blackwell.header().kernel_hash, dp2a.header().kernel_hash, 32));
}

TEST_F(BlackwellTest, JackpotDumpRecordsEveryCandidateOnceAndSurplusBlocksWriteNothing) {
  const AttemptShape s{128, 256, 256, 128};
  const int steps = s.k / s.rank;
  const size_t records = size_t(256) * steps;
  const size_t spare = 1024;  // where a block without a tile would write
  DeviceArray<VexalHeadlessJackpotDumpEntry> entries(records + spare);
  DeviceArray<int32_t> values((records + spare) * 128);
  DeviceArray<uint32_t> counts((records + spare) * 128);
  cudaMemset(entries.ptr + records, 0x5a, spare * sizeof(VexalHeadlessJackpotDumpEntry));
  MiningAttempt attempt(s);
  ASSERT_EQ(attempt.mine_with_dump(row(), all_ones_target(), entries.ptr, values.ptr, counts.ptr, steps),
            cudaSuccess);
  EXPECT_EQ(attempt.header().status, 1u);
  const auto dumped = entries.download();
  const auto dumped_values = values.download();
  const auto dumped_counts = counts.download();
  for (size_t i = 0; i < records * 128; ++i) ASSERT_EQ(dumped_counts[i], 1u) << i;
  for (size_t i = records * 128; i < dumped_counts.size(); ++i) ASSERT_EQ(dumped_counts[i], 0u);
  const auto* tail = reinterpret_cast<const uint8_t*>(dumped.data() + records);
  for (size_t i = 0; i < spare * sizeof(VexalHeadlessJackpotDumpEntry); ++i) ASSERT_EQ(tail[i], 0x5a);

  for (int c : {0, 45, 130, 255}) {
    SCOPED_TRACE(c);
    const OpenedRowsCols cells = candidate_cells(0, 0, c);
    const std::vector<int8_t> a = attempt.a_rows(cells.rows);
    const std::vector<int8_t> b = attempt.b_rows(cells.cols);
    std::vector<uint32_t> acc(128, 0);
    uint32_t state[16] = {};
    for (int q = 0; q < steps; ++q) {
      for (int t = q * s.rank; t < (q + 1) * s.rank; ++t) {
        for (int v = 0; v < 128; ++v) acc[v] += uint32_t(int32_t(a[(v / 64) * s.k + t]) * b[(v % 64) * s.k + t]);
      }
      uint32_t fold = 0;
      for (uint32_t value : acc) fold ^= value;
      const int word = q % 16;
      state[word] = fold ^ ((state[word] << 13) | (state[word] >> 19));
      const VexalHeadlessJackpotDumpEntry& e = dumped[size_t(c) * steps + q];
      EXPECT_EQ(e.k_tile, uint32_t((q + 1) * s.rank / 64 - 1));
      EXPECT_EQ(e.transcript_index, uint32_t(word));
      EXPECT_EQ(e.xored_tile, fold);
      EXPECT_EQ(e.transcript_word, state[word]);
      EXPECT_EQ(e.k_pos, uint32_t((q + 1) * s.rank));
      for (int v = 0; v < 128; ++v) {
        ASSERT_EQ(uint32_t(dumped_values[(size_t(c) * steps + q) * 128 + v]), acc[v]) << v;
      }
    }
  }
}

// Buffers for slots 5 and 6 at one shape; only the checks and launches matter.
struct FusedBuffers {
  DeviceArray<int8_t> a, b, a_left, b_left, a_right, b_right, noised_a, noised_b;
  DeviceArray<int16_t> a_i0, a_i1, b_i0, b_i1;
  DeviceArray<uint32_t> target, seed;
  DeviceArray<HostSignalSync> sync;
  DeviceArray<HostSignalHeader> header;
  DeviceArray<VexalHeadlessJackpotDumpEntry> entries;
  DeviceArray<int32_t> values;
  DeviceArray<uint32_t> counts;
  FusedBuffers(int m, int n, int k, int rank)
      : a(size_t(m) * k), b(size_t(n) * k), a_left(size_t(m) * rank), b_left(size_t(n) * rank),
        a_right(size_t(rank) * k), b_right(size_t(rank) * k), noised_a(size_t(m) * k),
        noised_b(size_t(n) * k), a_i0(k), a_i1(k), b_i0(k), b_i1(k), target(8), seed(8), sync(1),
        header(1), entries(256), values(256 * 128), counts(256 * 128) {}
};

TEST_F(BlackwellTest, FusedSlotsCheckEachStageJustBeforeItRuns) {
  struct Case {
    const char* what;
    bool dump;
    int m, n, k, rank;
    int null_pointer;  // -1 none; 0 A, 1 B, 16 header, 20 dump entries
    int capacity;
    cudaError_t result;
    unsigned last_grid_x;  // of the last accepted launch; 0: none
  };
  const Case cases[] = {
      {"null A", false, 128, 256, 128, 128, 0, 1, cudaErrorInvalidValue, 0},
      {"null B after A's noise", false, 128, 256, 128, 128, 1, 1, cudaErrorInvalidValue, 128},
      {"n 384 after both noises", false, 128, 384, 128, 128, -1, 1, cudaErrorInvalidValue, 384},
      {"rank 64", false, 128, 256, 128, 64, -1, 1, cudaErrorInvalidValue, 256},
      {"k 192", false, 128, 256, 192, 64, -1, 1, cudaErrorInvalidValue, 256},
      {"null header", false, 128, 256, 128, 128, 16, 1, cudaErrorInvalidValue, 256},
      {"dump capacity 0", true, 128, 256, 128, 128, -1, 0, cudaErrorInvalidValue, 256},
      {"dump without entries", true, 128, 256, 128, 128, 20, 1, cudaErrorInvalidValue, 256},
      {"mines", false, 128, 256, 128, 128, -1, 1, cudaSuccess, 128},
      {"dumps", true, 128, 256, 128, 128, -1, 1, cudaSuccess, 128},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    FusedBuffers f(c.m, c.n, c.k, c.rank);
    const auto pick = [&](int index, auto* pointer) { return c.null_pointer == index ? nullptr : pointer; };
    const cudaError_t result =
        c.dump ? row().launch_noise_and_mine_dump(
                     pick(0, f.a.ptr), pick(1, f.b.ptr), f.a_left.ptr, f.b_left.ptr, f.a_right.ptr,
                     f.b_right.ptr, f.noised_a.ptr, f.noised_b.ptr, f.a_i0.ptr, f.a_i1.ptr, f.b_i0.ptr,
                     f.b_i1.ptr, c.m, c.n, c.k, c.rank, pick(16, f.header.ptr), f.sync.ptr, f.target.ptr,
                     f.seed.ptr, pick(20, f.entries.ptr), f.values.ptr, f.counts.ptr, c.capacity, nullptr)
               : row().launch_noise_and_mine(
                     pick(0, f.a.ptr), pick(1, f.b.ptr), f.a_left.ptr, f.b_left.ptr, f.a_right.ptr,
                     f.b_right.ptr, f.noised_a.ptr, f.noised_b.ptr, f.a_i0.ptr, f.a_i1.ptr, f.b_i0.ptr,
                     f.b_i1.ptr, c.m, c.n, c.k, c.rank, pick(16, f.header.ptr), f.sync.ptr, f.target.ptr,
                     f.seed.ptr, nullptr, nullptr);
    EXPECT_EQ(result, c.result);
    const auto launch = last_launch();
    if (c.last_grid_x == 0) {
      EXPECT_EQ(launch.kernel, nullptr);
    } else {
      EXPECT_EQ(launch.grid.x, c.last_grid_x);
    }
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  }
}

TEST_F(BlackwellTest, FailedSharedMemoryAttributeLaunchesNothing) {
  // Capability 7.5 offers 64 KiB per block: the first attribute call fails.
  use_device("7.5,Host T4,4096,8");
  FusedBuffers f(128, 256, 128, 128);
  EXPECT_EQ(row().launch_noise_and_mine(f.a.ptr, f.b.ptr, f.a_left.ptr, f.b_left.ptr, f.a_right.ptr,
                                        f.b_right.ptr, f.noised_a.ptr, f.noised_b.ptr, f.a_i0.ptr,
                                        f.a_i1.ptr, f.b_i0.ptr, f.b_i1.ptr, 128, 256, 128, 128,
                                        f.header.ptr, f.sync.ptr, f.target.ptr, f.seed.ptr, nullptr,
                                        nullptr),
            cudaErrorInvalidValue);
  const auto launch = last_launch();
  EXPECT_EQ(launch.grid.x, 256u);  // B's noise was the last launch
  DeviceArray<int8_t> a(128 * 128), b(256 * 128);
  DeviceArray<int32_t> product(128 * 256), counts(128 * 256);
  EXPECT_EQ(row().launch_debug_gemm_tile(a.ptr, b.ptr, product.ptr, counts.ptr, 128, 256, 128, nullptr),
            cudaErrorInvalidValue);
  EXPECT_EQ(last_launch().kernel, launch.kernel);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
}

}  // namespace
