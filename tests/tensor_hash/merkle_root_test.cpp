// Roots of the tensor hash against the CPU reference, on the direct path
// (compute capability 8.6) and the bulk-copy path (9.0), for every tuning.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tensor_hash/tensor_hash_host.h"
#include "tensor_hash_reference.h"

namespace {

struct MatrixSize {
  const char* name;
  size_t bytes;
};

const MatrixSize kSizes[] = {
    {"one_chunk", 1024},
    {"one_short_chunk", 700},
    {"short_last_chunk", 4 * 1024 + 301},
    {"one_byte_into_last_chunk", 2 * 1024 + 1},
    {"half_mt_leaf", 128 * 1024},
    {"half_mt_leaf_and_a_short_chunk", 128 * 1024 + 3},
    {"one_mt_leaf", 256 * 1024},
    {"one_mt_leaf_and_one_chunk", 257 * 1024},
    {"three_mt_leaves_short_end", 515 * 1024 - 77},
};

const Bytes32 kKey = pattern_key(7);

const Bytes32& expected_root(size_t bytes) {
  static std::map<size_t, Bytes32> cache;
  auto found = cache.find(bytes);
  if (found == cache.end()) {
    found = cache.emplace(bytes, reference_merkle_root(pattern_bytes(bytes, 1), kKey)).first;
  }
  return found->second;
}

struct Tuning {
  const char* capability;
  uint32_t threads;
  uint32_t stages;
  uint32_t leaves;
};

std::string tuning_name(const testing::TestParamInfo<Tuning>& info) {
  std::string cc = info.param.capability;
  cc.erase(cc.find('.'), 1);
  return "sm" + cc + "_t" + std::to_string(info.param.threads) + "_s" +
         std::to_string(info.param.stages) + "_l" + std::to_string(info.param.leaves);
}

std::vector<Tuning> direct_tunings() {
  std::vector<Tuning> out;
  for (uint32_t t : {128u, 256u, 512u}) {
    for (uint32_t l : {256u, 512u, 1024u}) out.push_back({"8.6", t, 4, l});
  }
  return out;
}

std::vector<Tuning> tma_tunings() {
  std::vector<Tuning> out;
  for (uint32_t t : {128u, 256u, 512u}) {
    for (uint32_t s : {2u, 3u, 4u}) {
      if (t == 512 && s == 4) continue;  // more shared memory than a block may have: refused
      for (uint32_t l : {256u, 512u, 1024u}) out.push_back({"9.0", t, s, l});
    }
  }
  return out;
}

// The matrix sits in an allocation rounded up to 1024 bytes whose tail holds
// other bytes; they must not enter the hash.
Bytes32 device_root(const std::vector<uint8_t>& matrix, const Bytes32& key, const Tuning& tuning) {
  const size_t allocated = (matrix.size() + 1023) / 1024 * 1024;
  DeviceBytes data(allocated);
  const std::vector<uint8_t> tail(allocated - matrix.size(), 0xA5);
  data.upload(matrix.data(), matrix.size());
  if (!tail.empty()) data.upload(tail.data(), tail.size(), matrix.size());
  DeviceBytes device_key(32);
  device_key.upload(key.data(), key.size());
  const uint32_t leaves = tensor_hash_mt_leaf_count(matrix.size());
  DeviceBytes workspace(size_t{leaves} * 32);
  DeviceBytes root(32);
  cudaDeviceProp prop;
  EXPECT_EQ(cudaGetDeviceProperties(&prop, 0), cudaSuccess);
  TestStream stream;
  tensor_merkle_root(data.ptr, matrix.size(), root.ptr, device_key.ptr, leaves, tuning.threads,
                     tuning.stages, tuning.leaves, workspace.ptr, &prop, stream.handle);
  EXPECT_EQ(cudaStreamSynchronize(stream.handle), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  return root.download32();
}

class MerkleRootTest : public testing::TestWithParam<Tuning> {
 protected:
  void SetUp() override { use_host_device(GetParam().capability); }
};

TEST_P(MerkleRootTest, EqualsTheReferenceForEverySize) {
  for (const MatrixSize& size : kSizes) {
    SCOPED_TRACE(size.name);
    EXPECT_EQ(hex(device_root(pattern_bytes(size.bytes, 1), kKey, GetParam())),
              hex(expected_root(size.bytes)));
  }
}

INSTANTIATE_TEST_SUITE_P(Direct, MerkleRootTest, testing::ValuesIn(direct_tunings()), tuning_name);
INSTANTIATE_TEST_SUITE_P(BulkCopy, MerkleRootTest, testing::ValuesIn(tma_tunings()), tuning_name);

TEST(MerkleRootPaths, DirectPathIgnoresTheStageCount) {
  use_host_device("8.6");
  const std::vector<uint8_t> matrix = pattern_bytes(3 * 1024, 1);
  EXPECT_EQ(hex(device_root(matrix, kKey, {"8.6", 256, 9, 256})),
            hex(reference_merkle_root(matrix, kKey)));
}

TEST(MerkleRootPaths, BlackwellConsumerCardsTakeTheDirectPath) {
  use_host_device("12.0");
  const std::vector<uint8_t> matrix = pattern_bytes(300 * 1024, 2);
  EXPECT_EQ(hex(device_root(matrix, kKey, {"12.0", 256, 0, 256})),
            hex(reference_merkle_root(matrix, kKey)));
}

TEST(MerkleRootPaths, BlackwellDatacenterCardsTakeTheBulkCopyPath) {
  use_host_device("10.3");
  const std::vector<uint8_t> matrix = pattern_bytes(300 * 1024, 2);
  EXPECT_EQ(hex(device_root(matrix, kKey, {"10.3", 256, 4, 256})),
            hex(reference_merkle_root(matrix, kKey)));
}

// 257 MT leaves: two subtree blocks of 256 and a reduction, from the matrix up.
TEST(MerkleRootPaths, TwoSubtreeBlocksOnBothPaths) {
  const std::vector<uint8_t> matrix = pattern_bytes(257 * 256 * 1024 - 100, 4);
  const std::string expected = hex(reference_merkle_root(matrix, kKey));
  for (const char* capability : {"8.6", "9.0"}) {
    SCOPED_TRACE(capability);
    use_host_device(capability);
    EXPECT_EQ(hex(device_root(matrix, kKey, {capability, 256, 4, 256})), expected);
  }
}

TEST(MerkleReference, AgreesWithTheLibraryKeyedHasher) {
  for (const MatrixSize& size : kSizes) {
    if (size.bytes <= 1024) continue;  // one chunk: the root is the chunk value, not a keyed hash
    SCOPED_TRACE(size.name);
    EXPECT_EQ(hex(expected_root(size.bytes)),
              hex(library_keyed_root(pattern_bytes(size.bytes, 1), kKey)));
  }
}

}  // namespace
