#include "core/blake3_block.h"

#include <blake3.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>

#include "core/codecs.h"

namespace {

std::array<uint32_t, 16> words_of(const uint8_t* message) {
  std::array<uint32_t, 16> words{};
  for (int i = 0; i < 16; ++i) {
    for (int b = 0; b < 4; ++b) words[i] |= static_cast<uint32_t>(message[4 * i + b]) << (8 * b);
  }
  return words;
}

// Expected digests computed with `b3sum --keyed` over the 64 message bytes.
TEST(Blake3BlockTest, MatchesB3sumKeyedHash) {
  std::array<uint8_t, 64> message{};
  std::array<uint8_t, 32> key{};
  std::array<uint8_t, 32> out{};

  blake3_keyed_hash_block(out.data(), words_of(message.data()).data(), key.data());
  EXPECT_EQ(hex32(out.data()), "26ca867155421400cdc174f3e0a0de482e65c65fa2445abea9a453c91b262a15");

  for (int i = 0; i < 64; ++i) message[i] = static_cast<uint8_t>(i);
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(3 * i + 1);
  blake3_keyed_hash_block(out.data(), words_of(message.data()).data(), key.data());
  EXPECT_EQ(hex32(out.data()), "56d28181104f0bebb905ebdf882ad0830fe821f80164f6536b1dd40d7a9b25e1");
}

TEST(Blake3BlockTest, EqualsLibraryKeyedHasherOnRandomBlocks) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 50; ++round) {
    std::array<uint8_t, 64> message{};
    std::array<uint8_t, 32> key{};
    for (auto& b : message) b = static_cast<uint8_t>(rng());
    for (auto& b : key) b = static_cast<uint8_t>(rng());

    std::array<uint8_t, 32> expected{};
    blake3_hasher hasher;
    blake3_hasher_init_keyed(&hasher, key.data());
    blake3_hasher_update(&hasher, message.data(), message.size());
    blake3_hasher_finalize(&hasher, expected.data(), expected.size());

    std::array<uint8_t, 32> out{};
    blake3_keyed_hash_block(out.data(), words_of(message.data()).data(), key.data());
    EXPECT_EQ(out, expected) << "round " << round;
  }
}

TEST(Blake3BlockTest, CopyKeyWordsIsLittleEndian) {
  std::array<uint8_t, 32> key{};
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i + 1);
  uint32_t words[8];
  copy_key_words(words, key.data());
  EXPECT_EQ(words[0], 0x04030201u);
  EXPECT_EQ(words[7], 0x201f1e1du);
}

}  // namespace
