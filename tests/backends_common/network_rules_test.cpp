// The fill and noise rules are the BLAKE3 extended outputs the network rules
// name, as the reference library computes them.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "device_fixture.h"
#include "engine/cpu_operand_reference.h"

extern "C" {
#include <blake3.h>
}

namespace {

std::vector<uint8_t> extended_output(const uint8_t* key, const void* message, size_t length, size_t bytes) {
  blake3_hasher hasher;
  if (key) {
    blake3_hasher_init_keyed(&hasher, key);
  } else {
    blake3_hasher_init(&hasher);
  }
  blake3_hasher_update(&hasher, message, length);
  std::vector<uint8_t> out(bytes);
  blake3_hasher_finalize(&hasher, out.data(), bytes);
  return out;
}

TEST(NetworkRulesTest, FillIsTheHashOfTheSeedsLittleEndianBytes) {
  const uint64_t seed = 0x0123456789abcdefull;
  uint8_t message[8];
  for (int i = 0; i < 8; ++i) message[i] = static_cast<uint8_t>(seed >> (8 * i));
  const std::vector<uint8_t> expected = extended_output(nullptr, message, 8, 300);
  const std::vector<int8_t> fill = cpu_fill_int8(seed, 300);
  EXPECT_EQ(0, std::memcmp(fill.data(), expected.data(), 300));
}

TEST(NetworkRulesTest, FactorsAreKeyedHashesOfLeftAndRight) {
  const std::vector<uint8_t> seed = test_seed(7);
  const int rows = 5;
  const int k = 40;
  for (int rank : {64, 128}) {
    const CpuNoiseFactors factors = cpu_noise_factors(seed.data(), rows, k, rank);
    const std::vector<uint8_t> left = extended_output(seed.data(), "left", 4, size_t(rows) * rank);
    EXPECT_EQ(0, std::memcmp(factors.left.data(), left.data(), left.size()));

    const std::vector<uint8_t> right = extended_output(seed.data(), "right", 5, size_t(4) * k);
    for (int c = 0; c < k; ++c) {
      uint32_t word;
      std::memcpy(&word, right.data() + 4 * c, 4);
      const int first = static_cast<int>(word % rank);
      const int second = static_cast<int>((first + 1 + (word >> 16) % (rank - 1)) % rank);
      for (int r = 0; r < rank; ++r) {
        EXPECT_EQ(factors.right[size_t(r) * k + c], (r == first || r == second) ? 1 : 0);
      }
    }
  }
}

}  // namespace
