// The commitment: seed_a || seed_b is the 64-byte keyed BLAKE3 output of
// root_a || root_b.
#include <gtest/gtest.h>

#include <blake3.h>

#include <cstring>

#include "tensor_hash/blake3_device.h"
#include "tensor_hash/tensor_hash_host.h"
#include "tensor_hash_reference.h"

namespace {

// root_a = 00..1f, root_b = 20..3f, key = ff fe .. e0.
struct FixedCase {
  Bytes32 root_a, root_b, key;
  FixedCase() {
    for (int i = 0; i < 32; ++i) {
      root_a[i] = static_cast<uint8_t>(i);
      root_b[i] = static_cast<uint8_t>(32 + i);
      key[i] = static_cast<uint8_t>(255 - i);
    }
  }
};

// b3sum --keyed --length 64 over the 64 bytes root_a || root_b, key on standard input.
const char* const kB3sumSeeds =
    "6fb22bebc6f09ce743579e0d3c6543e8e9317489c2c859ccabd54145cce153da"
    "79f1daa39b8dba6589a3441af463db1e131e84f454d5666cd4c52e9d8526a511";

std::string device_seeds(const Bytes32& root_a, const Bytes32& root_b, const Bytes32& key) {
  use_host_device("8.6");
  DeviceBytes a(32), b(32), k(32), seed_a(32), seed_b(32);
  a.upload(root_a.data(), 32);
  b.upload(root_b.data(), 32);
  k.upload(key.data(), 32);
  cudaDeviceProp prop;
  EXPECT_EQ(cudaGetDeviceProperties(&prop, 0), cudaSuccess);
  TestStream stream;
  commitment_hash_from_roots(a.ptr, b.ptr, k.ptr, seed_a.ptr, seed_b.ptr, &prop, stream.handle);
  EXPECT_EQ(cudaStreamSynchronize(stream.handle), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  return hex(seed_a.download32()) + hex(seed_b.download32());
}

// One compression with counter 0, block length 64 and flags 27; all 16 output words.
std::string cpu_seeds(const Bytes32& root_a, const Bytes32& root_b, const Bytes32& key) {
  uint32_t key_words[8], block[16], out[16];
  for (int i = 0; i < 8; ++i) {
    key_words[i] = blake3::load_le32(key.data() + 4 * i);
    block[i] = blake3::load_le32(root_a.data() + 4 * i);
    block[i + 8] = blake3::load_le32(root_b.data() + 4 * i);
  }
  blake3::compress(key_words, block, 0, 64, 27, out);
  uint8_t bytes[64];
  for (int i = 0; i < 16; ++i) blake3::store_le32(bytes + 4 * i, out[i]);
  return hex(bytes, 64);
}

std::string library_seeds(const Bytes32& root_a, const Bytes32& root_b, const Bytes32& key) {
  uint8_t input[64], out[64];
  std::memcpy(input, root_a.data(), 32);
  std::memcpy(input + 32, root_b.data(), 32);
  blake3_hasher hasher;
  blake3_hasher_init_keyed(&hasher, key.data());
  blake3_hasher_update(&hasher, input, sizeof(input));
  blake3_hasher_finalize(&hasher, out, sizeof(out));
  return hex(out, 64);
}

TEST(CommitmentTest, FixedCaseMatchesB3sum) {
  const FixedCase c;
  EXPECT_EQ(cpu_seeds(c.root_a, c.root_b, c.key), kB3sumSeeds);
  EXPECT_EQ(device_seeds(c.root_a, c.root_b, c.key), kB3sumSeeds);
}

TEST(CommitmentTest, SeedsFollowTheFormulaForOtherInputs) {
  for (uint32_t seed = 0; seed < 3; ++seed) {
    const Bytes32 root_a = pattern_key(40 + seed), root_b = pattern_key(50 + seed),
                  key = pattern_key(60 + seed);
    const std::string expected = cpu_seeds(root_a, root_b, key);
    EXPECT_EQ(library_seeds(root_a, root_b, key), expected);
    EXPECT_EQ(device_seeds(root_a, root_b, key), expected);
  }
}

}  // namespace
