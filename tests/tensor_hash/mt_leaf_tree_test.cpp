// The passes above the leaf pass, fed with MT leaves directly: the smallest
// matrix with two subtree blocks would have 64 MiB, too much for the host
// device's leaf pass, while these passes only see 32 bytes per MT leaf.
#include <gtest/gtest.h>

#include <vector>

#include "tensor_hash/tensor_hash_host.h"
#include "tensor_hash_reference.h"

namespace {

struct TreeTuning {
  uint32_t threads;
  uint32_t leaves;
};

class MtLeafTreeTest : public testing::TestWithParam<TreeTuning> {
 protected:
  void SetUp() override { use_host_device("8.6"); }
};

TEST_P(MtLeafTreeTest, CombinesMtLeavesIntoTheRoot) {
  const Bytes32 key = pattern_key(30);
  DeviceBytes device_key(32), root(32);
  device_key.upload(key.data(), 32);
  set_hash_key_constant(device_key.ptr, nullptr);
  // One leaf, one subtree block (full and not), one more leaf, several blocks with a short last one.
  for (uint32_t count : {1u, 2u, 255u, 256u, 257u, 512u, 513u, 1024u, 1025u, 2049u, 3000u}) {
    SCOPED_TRACE(count);
    std::vector<Bytes32> leaves(count);
    for (uint32_t i = 0; i < count; ++i) leaves[i] = pattern_key(100 + i);
    DeviceBytes workspace(size_t{count} * 32);
    for (uint32_t i = 0; i < count; ++i) workspace.upload(leaves[i].data(), 32, size_t{i} * 32);
    merkle_root_from_mt_leaves(GetParam().threads, GetParam().leaves, root.ptr, count,
                               workspace.ptr, nullptr);
    EXPECT_EQ(hex(root.download32()), hex(reference_tree_over(leaves, key)));
  }
}

INSTANTIATE_TEST_SUITE_P(Tunings, MtLeafTreeTest,
                         testing::Values(TreeTuning{128, 256}, TreeTuning{128, 512},
                                         TreeTuning{128, 1024}, TreeTuning{256, 256},
                                         TreeTuning{256, 512}, TreeTuning{256, 1024},
                                         TreeTuning{512, 256}, TreeTuning{512, 512},
                                         TreeTuning{512, 1024}),
                         [](const testing::TestParamInfo<TreeTuning>& info) {
                           return "t" + std::to_string(info.param.threads) + "_l" +
                                  std::to_string(info.param.leaves);
                         });

}  // namespace
