// The "hopper_sm90" row: mining against the CPU transcript and the dp2a row,
// the launch's clusters and attributes, argument and stage refusals, the
// first-launch stagger and the coordinate dump.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "backends/blackwell_mining_kernel.h"
#include "backends/hopper_mining_kernel.h"
#include "core/config.h"
#include "device_fixture.h"
#include "engine/cpu_tile_transcript.h"
#include "mining_attempt.h"
#include "proof/plain_proof.h"

namespace {

class HopperTest : public ::testing::Test {
 protected:
  void SetUp() override { use_devices("9.0,Host H100,4096,8"); }
  void TearDown() override {
    unsetenv("HOSTGPU_DEVICES");
    unsetenv("VEXAL_HOPPER_LAUNCH_STAGGER_MS");
    cudaSetDevice(0);
    hostgpu::inspect::reinitialise();
  }
  static void use_devices(const char* spec) {
    setenv("HOSTGPU_DEVICES", spec, 1);
    hostgpu::inspect::reinitialise();
  }
  const GpuBackendDescriptor& row() const { return forced_row("hopper"); }
};

ThreadTranscript cpu_candidate(const MiningAttempt& attempt, uint32_t tile_m, uint32_t tile_n, int c) {
  OpenedRowsCols opened;
  const uint64_t row = uint64_t(tile_m) * 128 + 64 * ((c / 32) % 2) + c % 32;
  opened.rows = {row, row + 32};
  for (int j = 0; j < 64; ++j) opened.cols.push_back(uint64_t(tile_n) * 256 + 64 * (c / 64) + j);
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

TEST_F(HopperTest, RowPointsAtTheHopperAndBlackwellUnits) {
  const GpuBackendDescriptor& r = row();
  EXPECT_STREQ(r.name, "hopper_sm90");
  EXPECT_EQ(r.launch_apply_sparse_noise, &vexal_blackwell::launch_apply_sparse_noise);
  EXPECT_NE(r.launch_headless_mine, nullptr);  // the forwarder
  EXPECT_EQ(r.launch_noise_and_mine, &vexal_hopper::launch_noise_and_mine);
  EXPECT_EQ(r.launch_noise_and_mine_dump, &vexal_hopper::launch_noise_and_mine_dump);
  EXPECT_EQ(r.launch_dump_headless_coords, &vexal_hopper::launch_dump_headless_coords);
  EXPECT_EQ(r.launch_debug_gemm_tile, &vexal_blackwell::launch_debug_gemm_tile);
  EXPECT_TRUE(is_split_backend(r));
  EXPECT_EQ(r.tile_m, nullptr);
  EXPECT_EQ(r.warp_tile_n, nullptr);
  EXPECT_EQ(r.signal_header_bytes(), 1280u);
  EXPECT_EQ(r.signal_sync_bytes(), 8u);
}

TEST_F(HopperTest, AllOnesTargetReportsCandidateZeroThroughAClusterLaunch) {
  MiningAttempt attempt({128, 256, 256, 128});
  ASSERT_EQ(attempt.mine(row(), all_ones_target()), cudaSuccess);
  EXPECT_EQ(attempt.device_noised_a(), attempt.cpu_noised_a());
  EXPECT_EQ(attempt.device_noised_b(), attempt.cpu_noised_b());
  const HostSignalHeader& h = attempt.header();
  ASSERT_EQ(h.status, 1u);
  EXPECT_EQ(h.tile_m_index, 0u);
  EXPECT_EQ(h.tile_n_index, 0u);
  EXPECT_EQ(h.candidate_thread, 0);
  EXPECT_EQ(h.tile_height, 128);
  EXPECT_EQ(h.tile_width, 256);
  ASSERT_EQ(h.pair_count, 128);
  const ThreadTranscript cpu = cpu_candidate(attempt, 0, 0, 0);
  EXPECT_EQ(0, std::memcmp(h.transcript, cpu.words, sizeof(cpu.words)));
  EXPECT_EQ(0, std::memcmp(h.kernel_hash, cpu.digest, 32));
  // Seven of the cluster's eight blocks have no tile and must not report.
  const auto launch = last_launch();
  EXPECT_EQ(launch.grid.x, 1u);
  EXPECT_EQ(launch.grid.y, 8u);
  EXPECT_EQ(launch.cluster.x, 1u);
  EXPECT_EQ(launch.cluster.y, 8u);
  EXPECT_EQ(launch.cluster.z, 1u);
  EXPECT_EQ(launch.block.x, 384u);
  EXPECT_EQ(launch.dynamic_shared_bytes, 197632u);
  const auto attributes = hostgpu::inspect::kernel_attributes(launch.kernel, 0);
  EXPECT_EQ(attributes.max_dynamic_shared_bytes, 197632);
  EXPECT_EQ(attributes.preferred_carveout, 100);
  EXPECT_EQ(attributes.non_portable_cluster_size_allowed, 1);
}

TEST_F(HopperTest, LowestHittingCandidateWinsAndZeroTargetFindsNothing) {
  MiningAttempt attempt({256, 256, 128, 128});
  const std::vector<uint32_t> target = one_in_sixteen_target();
  ASSERT_EQ(attempt.mine(row(), target), cudaSuccess);
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
    }
  }
  ASSERT_TRUE(found) << "no digest met the target; choose other seeds";

  MiningAttempt nothing({128, 256, 128, 128});
  ASSERT_EQ(nothing.mine(row(), zero_target()), cudaSuccess);
  EXPECT_EQ(nothing.header().status, 0u);
}

TEST_F(HopperTest, EveryHittingCandidateOfBothMultipliesMatchesTheCpu) {
  // Capability 9.0 multiplies with warp-group MMA; any other runs the warp
  // MMAs of the sm_120 image (here 10.0, whose shared memory holds the
  // product's stages). Both must report the lowest hitting candidate.
  for (const char* device : {"9.0,Host H100,4096,8", "10.0,Host B200,4096,8"}) {
    use_devices(device);
    MiningAttempt attempt({256, 512, 256, 128});
    const std::vector<uint32_t> target = one_in_sixteen_target();
    ASSERT_EQ(attempt.mine(row(), target), cudaSuccess) << device;
    bool found = false;
    for (uint32_t tn = 0; tn < 2 && !found; ++tn) {
      for (uint32_t tm = 0; tm < 2 && !found; ++tm) {
        for (int c = 0; c < 256 && !found; ++c) {
          const ThreadTranscript cpu = cpu_candidate(attempt, tm, tn, c);
          if (!digest_hits(cpu.digest, target)) continue;
          found = true;
          const HostSignalHeader& h = attempt.header();
          ASSERT_EQ(h.status, 1u) << device;
          EXPECT_EQ(h.tile_m_index, tm) << device;
          EXPECT_EQ(h.tile_n_index, tn) << device;
          EXPECT_EQ(h.candidate_thread, c) << device;
          EXPECT_EQ(0, std::memcmp(h.transcript, cpu.words, sizeof(cpu.words))) << device;
          EXPECT_EQ(0, std::memcmp(h.kernel_hash, cpu.digest, 32)) << device;
        }
      }
    }
    ASSERT_TRUE(found) << "no digest met the target; choose other seeds";
  }
}

TEST_F(HopperTest, TwoClustersWithIdleBlocksShareTheirATilesAndFindTheSmallestDigest) {
  // Ten tiles along n: the second cluster's last six blocks lie past n and
  // only load their shares of A. The target is the launch's smallest digest.
  MiningAttempt attempt({128, 2560, 128, 128});
  std::vector<ThreadTranscript> cpu;
  for (uint32_t tn = 0; tn < 10; ++tn) {
    for (int c = 0; c < 256; ++c) cpu.push_back(cpu_candidate(attempt, 0, tn, c));
  }
  size_t best = 0;
  std::vector<uint32_t> target(8);
  auto words = [](const uint8_t digest[32], std::vector<uint32_t>* out) {
    for (int w = 0; w < 8; ++w) {
      (*out)[w] = uint32_t(digest[4 * w]) | uint32_t(digest[4 * w + 1]) << 8 |
                  uint32_t(digest[4 * w + 2]) << 16 | uint32_t(digest[4 * w + 3]) << 24;
    }
  };
  words(cpu[0].digest, &target);
  for (size_t i = 1; i < cpu.size(); ++i) {
    if (digest_hits(cpu[i].digest, target)) {
      best = i;
      words(cpu[i].digest, &target);
    }
  }
  ASSERT_EQ(attempt.mine(row(), target), cudaSuccess);
  const HostSignalHeader& h = attempt.header();
  ASSERT_EQ(h.status, 1u);
  EXPECT_EQ(h.tile_n_index, best / 256) << "the smallest digest lies in tile " << best / 256;
  EXPECT_EQ(h.candidate_thread, int(best % 256));
  EXPECT_EQ(0, std::memcmp(h.transcript, cpu[best].words, sizeof(cpu[best].words)));
  const auto launch = last_launch();
  EXPECT_EQ(launch.grid.y, 16u);
  EXPECT_EQ(launch.cluster.y, 8u);
}

TEST_F(HopperTest, AgreesWithTheDp2aRowAndMinesWithoutADump) {
  MiningAttempt hopper({128, 256, 256, 128});
  MiningAttempt dp2a({128, 256, 256, 128});
  // The dump form mines normally and writes no records.
  ASSERT_EQ(hopper.mine_with_dump(row(), all_ones_target(), nullptr, nullptr, nullptr, 0), cudaSuccess);
  ASSERT_EQ(dp2a.mine(forced_row("cmp170hx-dp2a"), all_ones_target()), cudaSuccess);
  EXPECT_EQ(hopper.device_noised_a(), dp2a.device_noised_a());
  EXPECT_EQ(hopper.device_noised_b(), dp2a.device_noised_b());
  EXPECT_EQ(0, std::memcmp(hopper.header().transcript, dp2a.header().transcript, 64));
  EXPECT_EQ(0, std::memcmp(hopper.header().kernel_hash, dp2a.header().kernel_hash, 32));
}

// Six K tiles through four stages: stages that served as fold scratch are
// refilled by bulk copies, which the threads' stores must be ordered before.
TEST_F(HopperTest, StagesRefilledAfterTheirFoldScratchAgreeWithTheDp2aRow) {
  MiningAttempt hopper({128, 256, 768, 128});
  MiningAttempt dp2a({128, 256, 768, 128});
  ASSERT_EQ(hopper.mine(row(), all_ones_target()), cudaSuccess);
  ASSERT_EQ(dp2a.mine(forced_row("cmp170hx-dp2a"), all_ones_target()), cudaSuccess);
  EXPECT_EQ(0, std::memcmp(hopper.header().transcript, dp2a.header().transcript, 64));
  EXPECT_EQ(0, std::memcmp(hopper.header().kernel_hash, dp2a.header().kernel_hash, 32));
}

TEST_F(HopperTest, MiningRefusesArgumentsAndShapesWithoutLaunching) {
  DeviceArray<int8_t> a(256 * 256), b(256 * 256);
  DeviceArray<uint32_t> words(16);
  DeviceArray<HostSignalSync> sync(1);
  HostSignalHeader header{};
  struct Case {
    int m, n, k, rank;
    bool null_operand;
  };
  const Case cases[] = {{128, 128, 128, 128, false}, {128, 256, 128, 64, false},
                        {64, 256, 128, 128, false},  {128, 256, 192, 128, false},
                        {0, 256, 128, 128, false},   {128, 256, 128, 128, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.m * 1000 + c.n);
    cudaGetLastError();
    const auto before = last_launch();
    EXPECT_EQ(row().launch_headless_mine(c.null_operand ? nullptr : a.ptr, b.ptr, c.m, c.n, c.k, &header,
                                         sync.ptr, words.ptr, words.ptr + 8, c.rank, nullptr, nullptr),
              cudaErrorInvalidValue);
    EXPECT_EQ(last_launch().kernel, before.kernel);
  }
}

TEST_F(HopperTest, FusedSlotsRefuseStagesInOrder) {
  const AttemptShape s{128, 256, 128, 128};
  DeviceArray<int8_t> a(s.m * s.k), b(s.n * s.k), left(256 * 128), right(128 * 128);
  DeviceArray<int8_t> noised_a(s.m * s.k), noised_b(s.n * s.k);
  DeviceArray<int16_t> i0(s.k), i1(s.k), j0(s.k), j1(s.k);
  DeviceArray<uint32_t> words(16);
  DeviceArray<HostSignalSync> sync(1);
  HostSignalHeader header{};
  // Returned code, and how many kernels (of extract/apply A, extract/apply B, mine) ran.
  struct Case {
    const int8_t* a;
    const int8_t* b;
    int n;
    HostSignalHeader* header;
    cudaError_t expected;
    int launches;
  };
  const Case cases[] = {
      {nullptr, b.ptr, s.n, &header, cudaErrorInvalidValue, 0},
      {a.ptr, nullptr, s.n, &header, cudaErrorInvalidValue, 2},
      {a.ptr, b.ptr, 128, &header, cudaErrorInvalidValue, 4},
      {a.ptr, b.ptr, s.n, nullptr, cudaErrorInvalidValue, 4},
      {a.ptr, b.ptr, s.n, &header, cudaSuccess, 5},
  };
  const GpuBackendDescriptor& r = row();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.launches);
    const auto before = last_launch();
    const cudaError_t result = r.launch_noise_and_mine(
        c.a, c.b, left.ptr, left.ptr, right.ptr, right.ptr, noised_a.ptr, noised_b.ptr, i0.ptr, i1.ptr,
        j0.ptr, j1.ptr, s.m, c.n, s.k, s.rank, c.header, sync.ptr, words.ptr, words.ptr + 8, nullptr,
        nullptr);
    cudaDeviceSynchronize();
    EXPECT_EQ(result, c.expected);
    const auto after = last_launch();
    if (c.launches == 0) EXPECT_EQ(after.kernel, before.kernel);
    if (c.launches == 5) EXPECT_EQ(after.block.x, 384u);
    if (c.launches == 2 || c.launches == 4) EXPECT_EQ(after.block.x, 256u);
  }
}

TEST_F(HopperTest, FirstLaunchPerDeviceWaitsOrdinalTimesTheStagger) {
  struct Case {
    const char* value;  // null: unset
    int64_t expected_device_3;
  };
  const Case cases[] = {{nullptr, 4500}, {"0", 0}, {"-5", 0}, {"abc", 0}, {"", 0}, {"250ms", 750}};
  for (const Case& c : cases) {
    if (c.value) setenv("VEXAL_HOPPER_LAUNCH_STAGGER_MS", c.value, 1);
    else unsetenv("VEXAL_HOPPER_LAUNCH_STAGGER_MS");
    EXPECT_EQ(vexal_hopper::first_launch_stagger_ms(3), c.expected_device_3) << (c.value ? c.value : "unset");
    EXPECT_EQ(vexal_hopper::first_launch_stagger_ms(0), 0);
    EXPECT_EQ(vexal_hopper::first_launch_stagger_ms(-1), 0);
  }

  // Device 2 of three: a refused call neither waits nor records; the first
  // accepted launch waits, the next does not.
  use_devices("9.0,H0,4096,8;9.0,H1,4096,8;9.0,H2,4096,8");
  // A stagger well above a launch's time on a busy (or hostile) host device.
  setenv("VEXAL_HOPPER_LAUNCH_STAGGER_MS", "1000", 1);
  ASSERT_EQ(cudaSetDevice(2), cudaSuccess);
  MiningAttempt attempt({128, 256, 128, 128});
  const auto timed = [&](int n) {
    const auto start = std::chrono::steady_clock::now();
    HostSignalHeader header{};
    DeviceArray<uint32_t> words(16);
    DeviceArray<HostSignalSync> sync(1);
    DeviceArray<int8_t> a(128 * 128), b(256 * 128);
    const cudaError_t result = vexal_hopper::launch_hopper_mine(a.ptr, b.ptr, 128, n, 128, &header, sync.ptr,
                                                                words.ptr, words.ptr + 8, 128, nullptr);
    cudaDeviceSynchronize();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start).count();
    return std::make_pair(result, ms);
  };
  const auto refused = timed(128);
  EXPECT_EQ(refused.first, cudaErrorInvalidValue);
  EXPECT_LT(refused.second, 100);
  const auto first = timed(256);
  EXPECT_EQ(first.first, cudaSuccess);
  EXPECT_GE(first.second, 2000);
  const auto second = timed(256);
  EXPECT_EQ(second.first, cudaSuccess);
  EXPECT_GE(first.second - second.second, 1500);  // the second launch did not wait
}

TEST_F(HopperTest, CoordinateDumpCoversTheTileOnceInTheCandidateLayout) {
  DeviceArray<uint16_t> rows(65536), cols(65536);
  DeviceArray<int32_t> meta(2);
  ASSERT_EQ(row().launch_dump_headless_coords(rows.ptr, cols.ptr, meta.ptr, nullptr), cudaSuccess);
  EXPECT_EQ(last_launch().block.x, 256u);
  EXPECT_EQ(last_launch().grid.x, 1u);
  EXPECT_EQ(meta.download(), (std::vector<int32_t>{128, 256}));
  const auto r = rows.download();
  const auto c = cols.download();
  std::set<std::pair<int, int>> cells;
  for (int t = 0; t < 256; ++t) {
    for (int v = 0; v < 128; ++v) {
      const int row = r[t * 256 + v];
      const int col = c[t * 256 + v];
      cells.insert({row, col});
      ASSERT_EQ(row, 64 * ((t / 32) % 2) + t % 32 + 32 * (v / 64));
      ASSERT_EQ(col, 64 * (t / 64) + v % 64);
    }
  }
  EXPECT_EQ(cells.size(), size_t(128) * 256);
}

}  // namespace
