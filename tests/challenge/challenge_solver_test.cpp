#include "proof/challenge_solver.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "blake3.h"
#include "core/gpu_platform.h"
#include "hostgpu/inspect.h"

namespace {

using Seed = std::array<uint8_t, 32>;

class ChallengeSolverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("HOSTGPU_DEVICES", "8.6,Host GPU,4096,8", 1);
    unsetenv("HOSTGPU_STREAMS");
    hostgpu::inspect::reinitialise();
  }
  void TearDown() override {
    cudaGetLastError();
    unsetenv("HOSTGPU_DEVICES");
    unsetenv("HOSTGPU_STREAMS");
    hostgpu::inspect::reinitialise();
  }
};

Seed seed_from(uint8_t first) {
  Seed seed{};
  for (size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<uint8_t>(first + 7 * i);
  return seed;
}

// The answer as a verifier sees it: BLAKE3 of seed || nonce (little-endian).
std::array<uint8_t, 32> answer_digest(const Seed& seed, uint64_t nonce) {
  uint8_t message[40];
  for (size_t i = 0; i < 32; ++i) message[i] = seed[i];
  for (int i = 0; i < 8; ++i) message[32 + i] = static_cast<uint8_t>(nonce >> (8 * i));
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, message, sizeof(message));
  std::array<uint8_t, 32> digest{};
  blake3_hasher_finalize(&hasher, digest.data(), digest.size());
  return digest;
}

int leading_zero_bits(const std::array<uint8_t, 32>& digest) {
  int bits = 0;
  for (uint8_t byte : digest) {
    if (byte != 0) {
      for (int b = 7; b >= 0 && ((byte >> b) & 1) == 0; --b) ++bits;
      return bits;
    }
    bits += 8;
  }
  return bits;
}

TEST_F(ChallengeSolverTest, FindsANonceWhoseDigestHasTheLeadingZeroBits) {
  struct Case {
    uint8_t seed_start;
    uint32_t difficulty;
  };
  for (const Case& c : {Case{1, 0}, Case{3, 9}, Case{200, 13}}) {
    SCOPED_TRACE("difficulty " + std::to_string(c.difficulty));
    const Seed seed = seed_from(c.seed_start);
    const uint64_t nonce = solve_blake3_challenge_gpu(seed.data(), c.difficulty);
    EXPECT_GE(leading_zero_bits(answer_digest(seed, nonce)), static_cast<int>(c.difficulty));
    EXPECT_LT(nonce, 8388608u);  // found in the first launch
    EXPECT_EQ(hostgpu::inspect::device_bytes_in_use(0), 0u);

    hostgpu::inspect::LaunchRecord launch;
    ASSERT_TRUE(hostgpu::inspect::last_launch(&launch));
    EXPECT_EQ(launch.grid.x, 32768u);
    EXPECT_EQ(launch.block.x, 256u);
    EXPECT_EQ(launch.dynamic_shared_bytes, 0u);
  }
}

TEST_F(ChallengeSolverTest, WaitsForTheLaunchWhenStreamsRunDeferred) {
  setenv("HOSTGPU_STREAMS", "deferred", 1);
  hostgpu::inspect::reinitialise();
  const Seed seed = seed_from(42);
  const uint64_t nonce = solve_blake3_challenge_gpu(seed.data(), 10);
  EXPECT_GE(leading_zero_bits(answer_digest(seed, nonce)), 10);
}

// The device run kind whatever the environment asks, for the life of a test.
struct KindDevice {
  KindDevice() {
    if (const char* hostile = std::getenv("HOSTGPU_HOSTILE")) saved = hostile;
    unsetenv("HOSTGPU_HOSTILE");
    hostgpu::inspect::reinitialise();
  }
  ~KindDevice() {
    if (!saved.empty()) setenv("HOSTGPU_HOSTILE", saved.c_str(), 1);
    hostgpu::inspect::reinitialise();
  }
  std::string saved;
};

// A difficulty no device reaches in time gives up after the first launch,
// whose rate (here half a second on the search's clock) shows it out of
// reach, and leaves no device memory behind. Nothing here depends on the
// schedule, and a whole launch under the hostile one is slow: it runs kind.
TEST_F(ChallengeSolverTest, ADifficultyOutOfReachGivesUpAfterOneLaunch) {
  const KindDevice kind;
  const Seed seed = seed_from(5);
  int64_t now = 0;
  const ChallengeSearchLimit limit{[&now] { return now += 500'000'000; }, kChallengeSearchLimitNs};
  try {
    solve_blake3_challenge_gpu(seed.data(), 64, limit);
    ADD_FAILURE() << "difficulty 64 answered";
  } catch (const ChallengeSearchAbandoned& abandoned) {
    EXPECT_EQ(abandoned.reason, ChallengeGiveUp::BeyondDevice);
    EXPECT_EQ(abandoned.elapsed_ns, 500'000'000);  // two readings: one launch
  }
  EXPECT_EQ(hostgpu::inspect::device_bytes_in_use(0), 0u);
}

TEST_F(ChallengeSolverTest, DifficultiesUpTo256BitsAreSupported) {
  EXPECT_NO_THROW(check_challenge_difficulty(0));
  EXPECT_NO_THROW(check_challenge_difficulty(256));
  for (uint64_t difficulty : {uint64_t{257}, (uint64_t{1} << 32) + 5, ~uint64_t{0}}) {
    try {
      check_challenge_difficulty(difficulty);
      ADD_FAILURE() << difficulty << " accepted";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "BLAKE3 challenge difficulty exceeds 256 bits");
    }
  }
}

TEST_F(ChallengeSolverTest, TooHighADifficultyFailsBeforeTouchingTheDevice) {
  const Seed seed = seed_from(9);
  setenv("HOSTGPU_DEVICES", "", 1);  // no device: any CUDA step would fail
  hostgpu::inspect::reinitialise();
  try {
    solve_blake3_challenge_gpu(seed.data(), 257);
    FAIL() << "difficulty 257 accepted";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), kChallengeDifficultyTooHigh);
  }
}

TEST_F(ChallengeSolverTest, AFailedStepNamesItselfAndLeavesNoDeviceMemory) {
  setenv("HOSTGPU_DEVICES", "8.6,Small,1", 1);  // 1 MiB
  hostgpu::inspect::reinitialise();
  // Room for the seed (32 bytes) and found (4) buffers, not the nonce (8).
  void* occupied = nullptr;
  ASSERT_EQ(cudaMalloc(&occupied, (1 << 20) - 32 - 4 - 4), cudaSuccess);
  const size_t in_use = hostgpu::inspect::device_bytes_in_use(0);
  const Seed seed = seed_from(11);
  try {
    solve_blake3_challenge_gpu(seed.data(), 1);
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), "challenge nonce cudaMalloc: out of memory");
  }
  EXPECT_EQ(hostgpu::inspect::device_bytes_in_use(0), in_use);
  EXPECT_EQ(cudaFree(occupied), cudaSuccess);
}

}  // namespace
