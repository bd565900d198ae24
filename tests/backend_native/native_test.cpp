// The "blackwell_native_sm120" row: its TMA-fed mining kernel against the CPU
// transcript and the verified dp2a row, kernel choice by rank, the jackpot
// dump, the slots' stages, grids, attributes and tensor maps; and the slots
// the B200 and B300 rows share.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "backends/blackwell_native_mining_kernel.h"
#include "core/config.h"
#include "device_fixture.h"
#include "engine/cpu_operand_reference.h"
#include "engine/cpu_tile_transcript.h"
#include "mining_attempt.h"
#include "proof/plain_proof.h"

namespace {

namespace native = vexal_blackwell_native_impl;

constexpr int kTileM = 128;
constexpr int kTileN = 256;
constexpr unsigned kMiningShared = 98336;

class NativeTest : public ::testing::Test {
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
  const GpuBackendDescriptor& row() const { return forced_row("blackwell-native"); }
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

void expect_candidate(const MiningAttempt& attempt, uint32_t tile_m, uint32_t tile_n, int c) {
  const HostSignalHeader& h = attempt.header();
  ASSERT_EQ(h.status, 1u);
  EXPECT_EQ(h.tile_m_index, tile_m);
  EXPECT_EQ(h.tile_n_index, tile_n);
  EXPECT_EQ(h.candidate_thread, c);
  EXPECT_EQ(h.tile_height, kTileM);
  EXPECT_EQ(h.tile_width, kTileN);
  ASSERT_EQ(h.pair_count, 128);
  const OpenedRowsCols cells = candidate_cells(0, 0, c);
  for (int v = 0; v < 128; ++v) {
    EXPECT_EQ(h.pair_rows[v], cells.rows[v / 64]);
    EXPECT_EQ(h.pair_cols[v], cells.cols[v % 64]);
  }
  const ThreadTranscript cpu = cpu_candidate(attempt, tile_m, tile_n, c);
  EXPECT_EQ(0, std::memcmp(h.transcript, cpu.words, sizeof(cpu.words)));
  EXPECT_EQ(0, std::memcmp(h.kernel_hash, cpu.digest, 32));
}

TEST_F(NativeTest, RowsPointAtTheNativeUnit) {
  const GpuBackendDescriptor& r = row();
  EXPECT_STREQ(r.name, "blackwell_native_sm120");
  EXPECT_EQ(r.launch_headless_mine, &native::launch_headless_mine);
  EXPECT_EQ(r.launch_noise_and_mine, &native::launch_noise_and_mine);
  EXPECT_TRUE(is_split_backend(r));
  // The B200 and B300 rows take every slot but mining from this unit.
  for (const char* name : {"blackwell-native", "blackwell-b200", "blackwell-b300"}) {
    SCOPED_TRACE(name);
    const GpuBackendDescriptor& d = forced_row(name);
    EXPECT_EQ(d.launch_fill_int8, &native::launch_fill_int8);
    EXPECT_EQ(d.launch_generate_noise, &native::launch_generate_noise);
    EXPECT_EQ(d.launch_apply_sparse_noise, &native::launch_apply_sparse_noise);
    EXPECT_EQ(d.launch_noise_and_mine_dump, &native::launch_noise_and_mine_dump);
    EXPECT_EQ(d.launch_dump_headless_coords, &native::launch_dump_headless_coords);
    EXPECT_EQ(d.launch_debug_gemm_tile, &native::launch_debug_gemm_tile);
    EXPECT_EQ(d.signal_header_bytes(), 1280u);
    EXPECT_EQ(d.signal_sync_bytes(), 8u);
    ASSERT_NE(d.tile_m, nullptr);
    ASSERT_NE(d.warp_tile_n, nullptr);
    EXPECT_EQ(d.tile_m(), 128);
    EXPECT_EQ(d.tile_n(), 256);
    EXPECT_EQ(d.tile_k(), 128);
    EXPECT_EQ(d.warp_tile_n(), 64);
  }
}

TEST_F(NativeTest, AllOnesTargetReportsCandidateZeroWithTheCpuTranscript) {
  MiningAttempt attempt({128, 256, 256, 128});
  ASSERT_EQ(attempt.mine(row(), all_ones_target()), cudaSuccess);
  EXPECT_EQ(attempt.device_noised_a(), attempt.cpu_noised_a());
  EXPECT_EQ(attempt.device_noised_b(), attempt.cpu_noised_b());
  expect_candidate(attempt, 0, 0, 0);
  EXPECT_EQ(last_launch().grid.x, 128u);
  EXPECT_EQ(last_launch().block.x, 256u);
  EXPECT_EQ(last_launch().dynamic_shared_bytes, kMiningShared);
  const auto attributes = hostgpu::inspect::kernel_attributes(last_launch().kernel, 0);
  EXPECT_EQ(attributes.max_dynamic_shared_bytes, int(kMiningShared));
  EXPECT_EQ(attributes.preferred_carveout, 100);
}

TEST_F(NativeTest, Rank128HasItsOwnKernelAndOtherRanksTheGeneralOne) {
  MiningAttempt rank128({128, 256, 256, 128});
  ASSERT_EQ(rank128.mine(row(), all_ones_target()), cudaSuccess);
  const void* specialised = last_launch().kernel;

  // Rank 256 has no noise generator: mine given operands through slot 4.
  const int k = 512;
  const std::vector<int8_t> a = cpu_fill_int8(51, int64_t(kTileM) * k);
  const std::vector<int8_t> b = cpu_fill_int8(52, int64_t(kTileN) * k);
  const std::vector<uint8_t> seed = test_seed(7);
  DeviceArray<int8_t> da(a), db(b);
  DeviceArray<uint32_t> target(all_ones_target());
  DeviceArray<uint8_t> seed_bytes(seed);
  DeviceArray<HostSignalHeader> header(1);
  DeviceArray<HostSignalSync> sync(1);
  ASSERT_EQ(row().launch_headless_mine(da.ptr, db.ptr, kTileM, kTileN, k, header.ptr, sync.ptr,
                                       target.ptr, reinterpret_cast<const uint32_t*>(seed_bytes.ptr),
                                       256, nullptr, nullptr),
            cudaSuccess);
  EXPECT_NE(last_launch().kernel, specialised);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  const HostSignalHeader h = header.download()[0];
  ASSERT_EQ(h.status, 1u);
  EXPECT_EQ(h.candidate_thread, 0);
  // Two steps of 256: words 0 and 1 of candidate 0's transcript.
  const OpenedRowsCols opened = candidate_cells(0, 0, 0);
  std::vector<int8_t> rows, cols;
  for (uint64_t r : opened.rows) rows.insert(rows.end(), a.begin() + r * k, a.begin() + (r + 1) * k);
  for (uint64_t c : opened.cols) cols.insert(cols.end(), b.begin() + c * k, b.begin() + (c + 1) * k);
  Config config;
  config.k = k;
  config.rank = 256;
  ThreadTranscript cpu;
  cpu_tile_transcript(cpu.digest, rows, cols, opened, seed.data(), config, cpu.words);
  EXPECT_EQ(0, std::memcmp(h.transcript, cpu.words, sizeof(cpu.words)));
  EXPECT_EQ(0, std::memcmp(h.kernel_hash, cpu.digest, 32));
}

TEST_F(NativeTest, LowestHittingCandidateWinsAndZeroTargetFindsNothing) {
  MiningAttempt attempt({256, 512, 128, 128});
  const std::vector<uint32_t> target = one_in_sixteen_target();
  ASSERT_EQ(attempt.mine(row(), target), cudaSuccess);
  EXPECT_EQ(last_launch().grid.x, 256u);  // 128 M-tile places per N tile
  bool found = false;
  for (uint32_t tn = 0; tn < 2 && !found; ++tn) {
    for (uint32_t tm = 0; tm < 2 && !found; ++tm) {
      for (int c = 0; c < 256 && !found; ++c) {
        const ThreadTranscript cpu = cpu_candidate(attempt, tm, tn, c);
        if (!digest_hits(cpu.digest, target)) continue;
        found = true;
        const HostSignalHeader& h = attempt.header();
        ASSERT_EQ(h.status, 1u);
        EXPECT_EQ(h.tile_m_index, tm);
        EXPECT_EQ(h.tile_n_index, tn);
        EXPECT_EQ(h.candidate_thread, c);
        EXPECT_EQ(0, std::memcmp(h.kernel_hash, cpu.digest, 32));
      }
    }
  }
  ASSERT_TRUE(found) << "no digest met the target; choose other seeds";

  MiningAttempt nothing({128, 256, 128, 128});
  ASSERT_EQ(nothing.mine(row(), zero_target()), cudaSuccess);
  EXPECT_EQ(nothing.header().status, 0u);
}

TEST_F(NativeTest, NoisedOperandsAndCandidatesAgreeWithTheDp2aRow) {
  MiningAttempt native_attempt({128, 256, 256, 128});
  MiningAttempt dp2a({128, 256, 256, 128});
  ASSERT_EQ(native_attempt.mine(row(), all_ones_target()), cudaSuccess);
  ASSERT_EQ(dp2a.mine(forced_row("cmp170hx-dp2a"), all_ones_target()), cudaSuccess);
  EXPECT_EQ(native_attempt.device_noised_a(), dp2a.device_noised_a());
  EXPECT_EQ(native_attempt.device_noised_b(), dp2a.device_noised_b());
  EXPECT_EQ(0, std::memcmp(native_attempt.header().transcript, dp2a.header().transcript, 64));
  EXPECT_EQ(0, std::memcmp(native_attempt.header().kernel_hash, dp2a.header().kernel_hash, 32));
}

TEST_F(NativeTest, JackpotDumpUsesTheGeneralKernelAndSurplusBlocksWriteNothing) {
  const AttemptShape s{128, 256, 256, 128};
  const int steps = s.k / s.rank;
  const size_t records = size_t(256) * steps;
  const size_t spare = 1024;  // where a block without a tile would write
  DeviceArray<VexalHeadlessJackpotDumpEntry> entries(records + spare);
  DeviceArray<int32_t> values((records + spare) * 128);
  DeviceArray<uint32_t> counts((records + spare) * 128);
  cudaMemset(entries.ptr + records, 0x5a, spare * sizeof(VexalHeadlessJackpotDumpEntry));
  MiningAttempt mined(s);
  ASSERT_EQ(mined.mine(row(), all_ones_target()), cudaSuccess);
  const void* specialised = last_launch().kernel;
  MiningAttempt attempt(s);
  ASSERT_EQ(attempt.mine_with_dump(row(), all_ones_target(), entries.ptr, values.ptr, counts.ptr, steps),
            cudaSuccess);
  EXPECT_NE(last_launch().kernel, specialised);
  EXPECT_EQ(last_launch().dynamic_shared_bytes, kMiningShared);
  EXPECT_EQ(attempt.header().status, 1u);
  const auto dumped = entries.download();
  const auto dumped_values = values.download();
  const auto dumped_counts = counts.download();
  for (size_t i = 0; i < records * 128; ++i) ASSERT_EQ(dumped_counts[i], 1u) << i;
  for (size_t i = records * 128; i < dumped_counts.size(); ++i) ASSERT_EQ(dumped_counts[i], 0u);
  const auto* tail = reinterpret_cast<const uint8_t*>(dumped.data() + records);
  for (size_t i = 0; i < spare * sizeof(VexalHeadlessJackpotDumpEntry); ++i) ASSERT_EQ(tail[i], 0x5a);

  for (int c : {0, 77, 255}) {
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

// Buffers for slots 4 to 6 at one shape; only the checks and launches matter.
struct SlotBuffers {
  DeviceArray<int8_t> a, b, a_left, b_left, a_right, b_right, noised_a, noised_b;
  DeviceArray<int16_t> a_i0, a_i1, b_i0, b_i1;
  DeviceArray<uint32_t> target, seed;
  DeviceArray<HostSignalSync> sync;
  DeviceArray<HostSignalHeader> header;
  DeviceArray<VexalHeadlessJackpotDumpEntry> entries;
  DeviceArray<int32_t> values;
  DeviceArray<uint32_t> counts;
  SlotBuffers(int m, int n, int k, int rank)
      : a(size_t(m) * k), b(size_t(n) * k), a_left(size_t(m) * rank), b_left(size_t(n) * rank),
        a_right(size_t(rank) * k), b_right(size_t(rank) * k), noised_a(size_t(m) * k + 64),
        noised_b(size_t(n) * k + 64), a_i0(k), a_i1(k), b_i0(k), b_i1(k), target(8), seed(8),
        sync(1), header(1), entries(256 * 4), values(256 * 4 * 128), counts(256 * 4 * 128) {}
};

TEST_F(NativeTest, MiningSlotRefusesBadArgumentsAndShapesBeforeLaunching) {
  struct Case {
    const char* what;
    int m, n, k, rank;
    int null_pointer;  // -1 none; 0 A', 1 B', 2 header, 3 sync, 4 target, 5 seed
    cudaError_t result;
  };
  const Case cases[] = {
      {"n 128", 128, 128, 128, 128, -1, cudaErrorInvalidValue},
      {"m 64", 64, 256, 128, 128, -1, cudaErrorInvalidValue},
      {"k 192", 128, 256, 192, 128, -1, cudaErrorInvalidValue},
      {"rank 64", 128, 256, 128, 64, -1, cudaErrorInvalidValue},
      {"rank 0", 128, 256, 128, 0, -1, cudaErrorInvalidValue},
      {"m 0", 0, 256, 128, 128, -1, cudaErrorInvalidValue},
      {"null A'", 128, 256, 128, 128, 0, cudaErrorInvalidValue},
      {"null B'", 128, 256, 128, 128, 1, cudaErrorInvalidValue},
      {"null header", 128, 256, 128, 128, 2, cudaErrorInvalidValue},
      {"null sync", 128, 256, 128, 128, 3, cudaErrorInvalidValue},
      {"null target", 128, 256, 128, 128, 4, cudaErrorInvalidValue},
      {"null seed", 128, 256, 128, 128, 5, cudaErrorInvalidValue},
      {"null extra mines", 128, 256, 128, 128, -1, cudaSuccess},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    SlotBuffers f(128, 256, 128, 128);
    const auto pick = [&](int index, auto* pointer) { return c.null_pointer == index ? nullptr : pointer; };
    EXPECT_EQ(row().launch_headless_mine(pick(0, f.noised_a.ptr), pick(1, f.noised_b.ptr), c.m, c.n,
                                         c.k, pick(2, f.header.ptr), pick(3, f.sync.ptr),
                                         pick(4, f.target.ptr), pick(5, f.seed.ptr), c.rank, nullptr,
                                         nullptr),
              c.result);
    const auto launch = last_launch();
    if (c.result == cudaSuccess) {
      EXPECT_EQ(launch.grid.x, 128u);
    } else {
      EXPECT_EQ(launch.kernel, nullptr);
    }
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  }
}

TEST_F(NativeTest, FusedSlotsCheckEachStageJustBeforeItRuns) {
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
      {"rank 64 after both noises", false, 128, 256, 128, 64, -1, 1, cudaErrorInvalidValue, 256},
      {"null header", false, 128, 256, 128, 128, 16, 1, cudaErrorInvalidValue, 256},
      {"dump capacity 0", true, 128, 256, 128, 128, -1, 0, cudaErrorInvalidValue, 256},
      {"dump without entries", true, 128, 256, 128, 128, 20, 1, cudaErrorInvalidValue, 256},
      {"dump shape rule", true, 128, 128, 128, 128, -1, 1, cudaErrorInvalidValue, 128},
      {"mines", false, 128, 256, 128, 128, -1, 1, cudaSuccess, 128},
      {"dumps", true, 128, 256, 128, 128, -1, 1, cudaSuccess, 128},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    SlotBuffers f(c.m, c.n, c.k, c.rank);
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

TEST_F(NativeTest, FailedSharedMemoryAttributeLaunchesNothing) {
  // Capability 7.5 offers 64 KiB per block: the first attribute call fails.
  use_device("7.5,Host T4,4096,8");
  SlotBuffers f(128, 256, 128, 128);
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

TEST_F(NativeTest, RefusedTensorMapIsReportedAndTheLaunchFailsCleanly) {
  // An operand off the 16-byte alignment the copy unit needs: the map is
  // refused, the slot still launches, and the kernel traps instead of mining.
  SlotBuffers f(128, 256, 128, 128);
  testing::internal::CaptureStderr();
  const cudaError_t result =
      row().launch_headless_mine(f.noised_a.ptr + 1, f.noised_b.ptr, 128, 256, 128, f.header.ptr,
                                 f.sync.ptr, f.target.ptr, f.seed.ptr, 128, nullptr, nullptr);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Error: Failed to initialize the TMA descriptor 1"), std::string::npos) << err;
  EXPECT_EQ(last_launch().grid.x, 128u);
  // The fault surfaces at the launch or at the next synchronisation, by stream mode.
  const cudaError_t synchronised = cudaDeviceSynchronize();
  EXPECT_TRUE(result == cudaErrorLaunchFailure || synchronised == cudaErrorLaunchFailure)
      << result << " " << synchronised;
  EXPECT_EQ(f.header.download()[0].status, 0u);
}

}  // namespace
