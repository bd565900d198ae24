// Shapes and tunings the tensor hash refuses: a runtime error on the calling
// thread before any GPU work, so nothing is launched and c_key keeps the
// previous computation's key.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include <hostgpu/inspect.h>

#include "tensor_hash/tensor_hash_host.h"
#include "tensor_hash_reference.h"

namespace {

struct Refusal {
  const char* name;
  const char* capability;
  uint64_t len_bytes;  // of the call; the buffers always hold 4 KiB
  int num_leaves;      // -1: the matrix's own count
  uint32_t threads;
  uint32_t stages;
  uint32_t leaves;
  size_t data_offset;  // bytes into the buffer where the matrix starts
  const char* message;
};

const Refusal kRefusals[] = {
    {"threads_64", "8.6", 4096, -1, 64, 4, 256, 0,
     "Unsupported threads_per_block: 64. Supported values are: 128, 256, 512"},
    {"threads_before_leaves", "8.6", 4096, -1, 64, 4, 100, 0,
     "Unsupported threads_per_block: 64. Supported values are: 128, 256, 512"},
    {"leaves_100", "8.6", 4096, -1, 256, 4, 100, 0,
     "Unsupported leaves_per_mt_block: 100. Supported values are: 256, 512, 1024"},
    {"tma_threads_before_stages", "9.0", 4096, -1, 64, 5, 256, 0,
     "Unsupported threads_per_block: 64. Supported values are: 128, 256, 512"},
    {"tma_leaves_before_stages", "9.0", 4096, -1, 256, 5, 2048, 0,
     "Unsupported leaves_per_mt_block: 2048. Supported values are: 256, 512, 1024"},
    {"tma_stages_5", "9.0", 4096, -1, 256, 5, 256, 0,
     "Unsupported num_stages: 5. Supported values are: 2, 3, 4"},
    {"tma_stages_1", "10.0", 4096, -1, 128, 1, 1024, 0,
     "Unsupported num_stages: 1. Supported values are: 2, 3, 4"},
    {"tma_stages_7_on_10_3", "10.3", 4096, -1, 512, 7, 512, 0,
     "Unsupported num_stages: 7. Supported values are: 2, 3, 4"},
    {"tma_shared_memory_beyond_the_device", "9.0", 4096, -1, 512, 4, 256, 0,
     "Unsupported tensor-hash tuning: threads_per_block 512 with num_stages 4 needs 279552 bytes "
     "of shared memory per block; the device allows 232448"},
    {"tma_map_refused_for_unaligned_data", "9.0", 2048, -1, 256, 4, 256, 4,
     "cuTensorMapEncodeTiled returned 1: CUDA_ERROR_INVALID_VALUE"},
    {"matrix_beyond_32_bit_lengths", "8.6", 4294966273ull, -1, 256, 4, 256, 0,
     "tensor_merkle_root: a matrix of 4294966273 bytes is larger than the 4294966272 bytes the "
     "tensor hash can take"},
    {"matrix_beyond_32_bit_lengths_tma", "9.0", 8589934592ull, -1, 256, 4, 256, 0,
     "tensor_merkle_root: a matrix of 8589934592 bytes is larger than the 4294966272 bytes the "
     "tensor hash can take"},
    {"empty_matrix", "8.6", 0, 0, 256, 4, 256, 0, "tensor_merkle_root: the matrix is empty"},
    {"mt_leaf_count_of_another_matrix", "8.6", 4096, 2, 256, 4, 256, 0,
     "tensor_merkle_root: num_leaves 2 does not match the 1 MT leaves of a matrix of 4096 bytes"},
};

class MerkleRootRefusalTest : public testing::TestWithParam<Refusal> {
 protected:
  void SetUp() override { use_host_device(GetParam().capability); }
};

bool same_launch(const hostgpu::inspect::LaunchRecord& a, const hostgpu::inspect::LaunchRecord& b) {
  return a.kernel == b.kernel && a.grid.x == b.grid.x && a.block.x == b.block.x &&
         a.dynamic_shared_bytes == b.dynamic_shared_bytes;
}

TEST_P(MerkleRootRefusalTest, ThrowsBeforeAnyGpuWork) {
  const Refusal& refusal = GetParam();
  cudaDeviceProp prop;
  ASSERT_EQ(cudaGetDeviceProperties(&prop, 0), cudaSuccess);
  const Bytes32 first_key = pattern_key(1);
  const Bytes32 second_key = pattern_key(2);
  DeviceBytes data(8192), key(32), root(32), workspace(64);
  const std::vector<uint8_t> matrix = pattern_bytes(4096, 3);
  data.upload(matrix.data(), matrix.size());
  key.upload(first_key.data(), 32);

  // A good computation first: it leaves first_key in c_key and a launch on record.
  tensor_merkle_root(data.ptr, 4096, root.ptr, key.ptr, 1, 256, 4, 256, workspace.ptr, &prop,
                     nullptr);
  ASSERT_EQ(hex(root.download32()), hex(reference_merkle_root(matrix, first_key)));
  hostgpu::inspect::LaunchRecord before;
  ASSERT_TRUE(hostgpu::inspect::last_launch(&before));

  key.upload(second_key.data(), 32);
  const uint32_t num_leaves = refusal.num_leaves < 0 ? tensor_hash_mt_leaf_count(refusal.len_bytes)
                                                     : static_cast<uint32_t>(refusal.num_leaves);
  try {
    tensor_merkle_root(data.ptr + refusal.data_offset, refusal.len_bytes, root.ptr, key.ptr,
                       num_leaves, refusal.threads, refusal.stages, refusal.leaves, workspace.ptr,
                       &prop, nullptr);
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()).substr(0, std::string(refusal.message).size()),
              refusal.message);
  }
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  hostgpu::inspect::LaunchRecord after;
  ASSERT_TRUE(hostgpu::inspect::last_launch(&after));
  EXPECT_TRUE(same_launch(before, after)) << "a kernel was launched";

  // c_key still holds first_key: the passes above the leaves show it.
  const Bytes32 left = pattern_key(10), right = pattern_key(11);
  workspace.upload(left.data(), 32, 0);
  workspace.upload(right.data(), 32, 32);
  merkle_root_from_mt_leaves(256, 256, root.ptr, 2, workspace.ptr, nullptr);
  EXPECT_EQ(hex(root.download32()), hex(reference_tree_over({left, right}, first_key)));
}

INSTANTIATE_TEST_SUITE_P(Refusals, MerkleRootRefusalTest, testing::ValuesIn(kRefusals),
                         [](const testing::TestParamInfo<Refusal>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
