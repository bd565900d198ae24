// Pure host rules of the engine: shapes, sizes, settings, identity, candidates.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "backends/kernel_signal.h"
#include "core/config.h"
#include "core/gpu_api.h"
#include "engine/b200_pipeline_mode.h"
#include "engine/candidate_check.h"
#include "engine/device_identity.h"
#include "engine/hash_settings.h"
#include "engine/mining_shape.h"

namespace {

Config shape(int32_t m, int32_t n, int32_t k, int32_t rank) {
  Config config;
  config.m = m;
  config.n = n;
  config.k = k;
  config.rank = rank;
  return config;
}

std::string refusal(const Config& config, const GpuBackendDescriptor& row) {
  try {
    check_mining_shape(config, row);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(MiningShape, RefusesWhatTheRowCannotMine) {
  const GpuBackendDescriptor dp2a{"cmp170hx_dp2a_int"};
  const GpuBackendDescriptor ada{"ada_sm89"};
  const GpuBackendDescriptor b200{"blackwell_b200_sm100"};
  struct Case {
    Config config;
    const GpuBackendDescriptor* row;
    const char* expected;  // empty: accepted; else a piece of the refusal
  };
  const Case cases[] = {
      {shape(256, 256, 256, 64), &dp2a, ""},
      {shape(128, 384, 4160, 64), &dp2a, ""},
      {shape(131072, 131072, 4096, 128), &dp2a, ""},
      {shape(256, 256, 4096, 96), &dp2a, "unsupported mining k/rank shape"},
      {shape(256, 256, 256, 0), &dp2a, "unsupported mining k/rank shape"},
      {shape(256, 256, 0, 64), &dp2a, "unsupported mining k/rank shape"},
      {shape(256, 256, 192, 96), &dp2a, "rank 64 and 128 only"},
      {shape(0, 256, 256, 64), &dp2a, "m and n must be at least 1"},
      {shape(200, 256, 256, 64), &dp2a, "m must be a multiple of 128"},
      {shape(256, 384, 256, 128), &ada, "n must be a multiple of 256"},
      {shape(256, 256, 256, 64), &ada, "k must be a multiple of 128"},
      {shape(256, 512, 256, 64), &b200, "rank must be a multiple of 128"},
      {shape(256, 256, 256, 128), &b200, "n must be a multiple of 512"},
      // 2^20 rows of 8192 bytes: more than the 32-bit byte count of the tensor hash.
      {shape(1048576, 128, 8192, 128), &dp2a, "exceeds the tensor hash limit"},
      // 2^20 x 2^19 cells: 2^32 candidate threads, one more than a 32-bit ticket can elect.
      {shape(1048576, 524288, 128, 128), &dp2a, "candidate threads"},
      {shape(1048576, 524160, 128, 128), &dp2a, ""},
  };
  for (const Case& c : cases) {
    const std::string text = refusal(c.config, *c.row);
    if (std::string(c.expected).empty()) {
      EXPECT_EQ(text, "") << c.config.m << "x" << c.config.n;
    } else {
      EXPECT_NE(text.find(c.expected), std::string::npos) << text;
    }
  }
  EXPECT_EQ(refusal(shape(200, 256, 256, 64), dp2a),
            "unsupported mining shape m=200 n=256 k=256 rank=64 for backend cmp170hx_dp2a_int: "
            "m must be a multiple of 128");
}

TEST(MiningShape, UnbuiltRowIsRefusedByName) {
  const GpuBackendDescriptor turing{"turing_sm75"};
  try {
    require_backend_built(turing);
    FAIL() << "accepted a row without operations";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "backend turing_sm75 is not available in this build");
  }
}

TEST(MiningShape, SizesAreSixtyFourBitAndEachMatrixHasItsOwnLeafCount) {
  EXPECT_EQ(padded_matrix_bytes(256, 256), 65536u);
  EXPECT_EQ(padded_matrix_bytes(3, 100), 1024u);
  EXPECT_EQ(padded_matrix_bytes(131072, 65536), 8589934592ull);
  EXPECT_EQ(matrix_bytes(131072, 65536), 8589934592ll);
  // 256 x 256 bytes: 64 leaves, one block; 131072 x 4096: 2048 blocks.
  EXPECT_EQ(tensor_hash_blocks(256, 256), 1u);
  EXPECT_EQ(tensor_hash_blocks(131072, 4096), 2048u);
  EXPECT_EQ(tensor_hash_blocks(128, 4096), 2u);
  EXPECT_EQ(tensor_hash_blocks(1024, 4096), 16u);
}

class EnvGuard {
 public:
  explicit EnvGuard(std::initializer_list<const char*> names) : names_(names) { clear(); }
  ~EnvGuard() { clear(); }
  void clear() {
    for (const char* name : names_) unsetenv(name);
  }

 private:
  std::vector<const char*> names_;
};

TEST(TensorHashSettings, ReadsDigitsAndKeepsDefaultsOtherwise) {
  EnvGuard guard({"VEXAL_HASH_THREADS", "VEXAL_HASH_STAGES", "VEXAL_HASH_LEAVES"});
  struct Case {
    const char* text;
    uint32_t expected;
  };
  const Case cases[] = {{nullptr, 256}, {"", 256},       {"abc", 256}, {"0", 256},
                        {" 128", 256},  {"128xyz", 128}, {"512", 512}, {"4294967424", 128}};
  for (const Case& c : cases) {
    if (c.text) setenv("VEXAL_HASH_THREADS", c.text, 1); else unsetenv("VEXAL_HASH_THREADS");
    EXPECT_EQ(read_tensor_hash_settings().threads, c.expected) << (c.text ? c.text : "unset");
  }
  const TensorHashSettings defaults = read_tensor_hash_settings();
  EXPECT_EQ(defaults.stages, 4u);
  EXPECT_EQ(defaults.leaves, 256u);
}

TEST(TensorHashSettings, UnsupportedValuesAreRefusedNamingTheVariable) {
  cudaDeviceProp ampere{};
  ampere.major = 8;
  cudaDeviceProp hopper{};
  hopper.major = 9;
  struct Case {
    TensorHashSettings settings;
    const cudaDeviceProp* prop;
    const char* expected;
  };
  const Case cases[] = {
      {{256, 4, 256}, &hopper, ""},
      {{100, 4, 256}, &ampere, "VEXAL_HASH_THREADS=100 is not supported"},
      {{256, 4, 300}, &ampere, "VEXAL_HASH_LEAVES=300 is not supported"},
      {{256, 7, 256}, &ampere, ""},  // the direct path never reads the stages
      {{256, 7, 256}, &hopper, "VEXAL_HASH_STAGES=7 is not supported"},
  };
  for (const Case& c : cases) {
    std::string text;
    try {
      check_tensor_hash_settings(c.settings, *c.prop);
    } catch (const std::runtime_error& e) {
      text = e.what();
    }
    if (std::string(c.expected).empty()) {
      EXPECT_EQ(text, "");
    } else {
      EXPECT_NE(text.find(c.expected), std::string::npos) << text;
    }
  }
}

TEST(DeviceIdentity, WorkerNamesExpandPerDevice) {
  EXPECT_EQ(expand_worker_name("vex1abc.rig", 2, 1), "vex1abc.rig.gpu2");
  EXPECT_EQ(expand_worker_name("rig{index}-{device}", 2, 1), "rig1-2");
  EXPECT_EQ(expand_worker_name("{device}x{device}", 2, 1), "2x2");
  EXPECT_EQ(expand_worker_name("a{device}", 12, 0), "a12");
}

TEST(DeviceIdentity, MatrixSeedsDifferAndAreNeverZero) {
  EXPECT_EQ(mix64(0), 0u);
  EXPECT_EQ(mix64(0x9e3779b97f4a7c15ull), 0xe220a8397b1dcdafull);
  const uint64_t first = derive_matrix_seed(0, 0, 1);
  const uint64_t second = derive_matrix_seed(0, 0, 1);
  EXPECT_NE(first, 0u);
  EXPECT_NE(first, second);
}

TEST(B200PipelineMode, TextsAndFlag) {
  EnvGuard guard({"VEXAL_B200_PIPELINE_MODE", "VEXAL_B200_OVERLAP_PREP"});
  struct Case {
    const char* mode;
    const char* overlap;
    int expected;
    bool priority;
    const char* log_value;
  };
  const Case cases[] = {
      {nullptr, nullptr, 4, false, "overlap-noise"},
      {"overlap-setup", nullptr, 1, false, "overlap-setup"},
      {"overlap-all", nullptr, 5, false, "overlap-all"},
      {"priority-overlap", nullptr, 5, true, "priority_overlap"},
      {"bogus", nullptr, 0, false, "serialized_prep"},
      {"", nullptr, 0, false, "serialized_prep"},
      {"bogus", "yes", 5, false, "bogus"},
  };
  for (const Case& c : cases) {
    guard.clear();
    if (c.mode) setenv("VEXAL_B200_PIPELINE_MODE", c.mode, 1);
    if (c.overlap) setenv("VEXAL_B200_OVERLAP_PREP", c.overlap, 1);
    const B200PipelineMode mode = read_b200_pipeline_mode();
    EXPECT_EQ(mode.mode, c.expected) << (c.mode ? c.mode : "unset");
    EXPECT_EQ(mode.priority, c.priority);
    EXPECT_EQ(mode.log_value, c.log_value);
  }
}

HostSignalHeader candidate(uint16_t pairs, uint32_t tile_m, uint32_t tile_n, uint16_t row,
                           uint16_t col) {
  HostSignalHeader header;
  std::memset(&header, 0, sizeof(header));
  header.status = 1;
  header.tile_m_index = tile_m;
  header.tile_n_index = tile_n;
  header.tile_height = 128;
  header.tile_width = 128;
  header.pair_count = pairs;
  for (int i = 0; i < 256; ++i) {
    header.pair_rows[i] = row;
    header.pair_cols[i] = col;
  }
  return header;
}

TEST(CandidateCheck, UnusableCandidatesAreNamed) {
  struct Case {
    HostSignalHeader header;
    const char* expected;
  };
  const Case cases[] = {
      {candidate(256, 1, 1, 127, 127), ""},
      {candidate(0, 9, 9, 0, 0), ""},
      {candidate(257, 0, 0, 0, 0), "pair_count 257 exceeds 256"},
      {candidate(2, 2, 0, 0, 0), "row 256 outside 0..255"},
      {candidate(2, 0, 1, 0, 200), "column 328 outside 0..255"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(candidate_refusal(c.header, 256, 256), c.expected);
  }
}

TEST(CandidateCheck, DryRunCandidateLinesOrWarnDrop) {
  log_debug_enabled = true;
  log_color_mode = ColorMode::Never;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const bool usable = log_dry_run_candidate(candidate(3, 1, 0, 5, 7), 256, 256, "");
  const bool unusable = log_dry_run_candidate(candidate(300, 0, 0, 0, 0), 256, 256, "j1");
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  log_debug_enabled = false;
  EXPECT_TRUE(usable);
  EXPECT_FALSE(unusable);
  EXPECT_NE(out.find("component=share found_candidate rows=1 cols=1 tile_m=1 tile_n=0 job= "
                     "kernel_hash=0000"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("dry_run_skip_plainproof_construction_submission=true"), std::string::npos);
  EXPECT_NE(err.find("level=WARN"), std::string::npos) << err;
  EXPECT_NE(err.find("dropped reason=invalid_candidate stage=found_candidate job=j1 "
                     "detail=\"pair_count 300 exceeds 256\""),
            std::string::npos)
      << err;
}

}  // namespace
