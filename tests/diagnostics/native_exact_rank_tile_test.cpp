#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "backends/backend_descriptor.h"
#include "core/config.h"
#include "diagnostics/native_exact_rank_tile.h"

namespace {

const GpuBackendDescriptor& row_named(const char* backend) {
  Config config;
  config.force_backend = backend;
  return select_backend(config, cudaDeviceProp{});
}

int32_t zero() { return 0; }
int32_t ninety_six() { return 96; }
int32_t two_fifty_six() { return 256; }

TEST(NativeExactRankTile, GeometryFromGettersOrDefaults) {
  const NativeExactGeometry plain = native_exact_geometry(row_named("ampere"));
  EXPECT_EQ(plain.tile_m, 128);
  EXPECT_EQ(plain.tile_n, 256);
  EXPECT_EQ(plain.tile_k, 128);
  EXPECT_EQ(plain.warp_tile_n, 64);
  EXPECT_EQ(native_exact_candidates(plain), 256);
  const NativeExactGeometry turing = native_exact_geometry(row_named("turing"));
  EXPECT_EQ(turing.tile_n, 128);
  EXPECT_EQ(turing.tile_k, 64);

  struct Case {
    int32_t (*m)();
    int32_t (*n)();
    int32_t (*warp_n)();
  };
  const Case refused[] = {{ninety_six, nullptr, nullptr},
                          {nullptr, two_fifty_six, ninety_six},
                          {zero, nullptr, nullptr},
                          {nullptr, zero, nullptr},
                          {nullptr, nullptr, zero}};
  for (const Case& c : refused) {
    GpuBackendDescriptor row = row_named("ampere");
    row.tile_m = c.m;
    row.tile_n = c.n;
    row.warp_tile_n = c.warp_n;
    EXPECT_THROW(
        {
          try {
            native_exact_geometry(row);
          } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "blackwell-native exact debug received invalid tile geometry");
            throw;
          }
        },
        std::runtime_error);
  }
}

TEST(NativeExactRankTile, InitialTranscriptAndRankStep) {
  std::vector<uint32_t> words = native_exact_initial_transcript(2);
  ASSERT_EQ(words.size(), 32u);
  EXPECT_EQ(words[0], 0x9E3779B9u);
  EXPECT_EQ(words[31], 0x9E3779B9u + 31u * 0x045D9F3Bu);
  const std::vector<uint32_t> before = words;
  native_exact_rank_step(words, 1, 19, 0xffu);
  EXPECT_EQ(words[16 + 3], 0xffu ^ ((before[19] << 13) | (before[19] >> 19)));
  words[19] = before[19];
  EXPECT_EQ(words, before);  // only the step's word changes
}

// GPU results that agree with the replay: the kernels' outputs are the CPU's own.
NativeExactGpuResults agreeing(const NativeExactGeometry& g, const NativeExactCpuReplay& cpu) {
  NativeExactGpuResults gpu;
  gpu.hashes = cpu.hash;
  gpu.owner_hashes = cpu.hash;
  gpu.transcript = cpu.transcript;
  gpu.owner_transcript = cpu.transcript;
  gpu.full_owner_transcript = cpu.sequence_transcript;
  gpu.full_tile_transcript = cpu.sequence_transcript;
  gpu.full_tile_hashes = cpu.aggregate_hash;
  gpu.tile_counts.assign(static_cast<size_t>(g.tile_m) * g.tile_n, 1);
  gpu.tile_accumulators.resize(gpu.tile_counts.size());
  for (int r = 0; r < g.tile_m; ++r) {
    for (int j = 0; j < g.tile_n; ++j) {
      int32_t sum = 0;
      for (int t = 0; t < g.tile_k; ++t) sum += cpu.a[r * g.tile_k + t] * cpu.b[j * g.tile_k + t];
      gpu.tile_accumulators[r * g.tile_n + j] = sum;
    }
  }
  return gpu;
}

TEST(NativeExactRankTile, ReportCountsEachKindOfMismatch) {
  const NativeExactGeometry g;
  const NativeExactCpuReplay cpu = native_exact_cpu_replay(g);
  EXPECT_EQ(cpu.candidates, 256);
  EXPECT_EQ(cpu.full_rank_steps, 32);
  NativeExactGpuResults gpu = agreeing(g, cpu);
  const std::string clean = native_exact_report_line(g, cpu, gpu);
  EXPECT_EQ(clean,
            "debug_native_exact_rank_tile candidates=256 hash_mismatches=0 "
            "transcript_mismatches=0 owner_hash_mismatches=0 owner_transcript_mismatches=0 "
            "backend_hash_mismatches=0 backend_bad_counts=0 full_rank_steps=32 "
            "full_owner_transcript_mismatches=0 full_tile_hash_mismatches=0 "
            "full_tile_transcript_mismatches=0\n");

  gpu.transcript[40] ^= 2;
  gpu.transcript[70] ^= 2;
  gpu.tile_counts[5] = 2;
  gpu.full_tile_hashes[9] += 1;
  const std::string line = native_exact_report_line(g, cpu, gpu);
  EXPECT_NE(line.find(" transcript_mismatches=2 "), std::string::npos) << line;
  EXPECT_NE(line.find(" backend_bad_counts=1 "), std::string::npos);
  EXPECT_NE(line.find(" full_tile_hash_mismatches=1 "), std::string::npos);
  EXPECT_NE(line.find(" first_transcript_idx=40 gpu_transcript=" +
                      std::to_string(gpu.transcript[40]) +
                      " cpu_transcript=" + std::to_string(cpu.transcript[40])),
            std::string::npos);
  EXPECT_NE(line.find(" first_full_tile_hash_idx=9 full_tile_hash="), std::string::npos);
  EXPECT_EQ(line.find("first_hash_idx"), std::string::npos);
  EXPECT_LT(line.find("first_transcript_idx"), line.find("first_full_tile_hash_idx"));
}

}  // namespace
