// The key is copied into c_key in the order of the root's stream: a key
// uploaded on that stream just before the computation is the one used, also
// when streams run only at synchronisation points.
#include <gtest/gtest.h>

#include "tensor_hash/tensor_hash_host.h"
#include "tensor_hash_reference.h"

namespace {

class HashKeyOrderTest : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { use_host_device("8.6", GetParam()); }
};

TEST_P(HashKeyOrderTest, RootUsesTheKeyUploadedBeforeItOnItsStream) {
  cudaDeviceProp prop;
  ASSERT_EQ(cudaGetDeviceProperties(&prop, 0), cudaSuccess);
  const std::vector<uint8_t> matrix = pattern_bytes(3 * 1024 + 17, 5);
  const Bytes32 old_key = pattern_key(20);
  const Bytes32 new_key = pattern_key(21);
  DeviceBytes data(4096), key(32), root(32), workspace(32);
  data.upload(matrix.data(), matrix.size());
  key.upload(old_key.data(), 32);
  TestStream stream;

  // The previous job's root: c_key holds old_key afterwards.
  tensor_merkle_root(data.ptr, matrix.size(), root.ptr, key.ptr, 1, 256, 4, 256, workspace.ptr,
                     &prop, stream.handle);
  ASSERT_EQ(cudaStreamSynchronize(stream.handle), cudaSuccess);
  ASSERT_EQ(hex(root.download32()), hex(reference_merkle_root(matrix, old_key)));

  // The next job: its key goes up on the same non-blocking stream.
  ASSERT_EQ(cudaMemcpyAsync(key.ptr, new_key.data(), 32, cudaMemcpyHostToDevice, stream.handle),
            cudaSuccess);
  tensor_merkle_root(data.ptr, matrix.size(), root.ptr, key.ptr, 1, 256, 4, 256, workspace.ptr,
                     &prop, stream.handle);
  Bytes32 result;
  ASSERT_EQ(cudaMemcpyAsync(result.data(), root.ptr, 32, cudaMemcpyDeviceToHost, stream.handle),
            cudaSuccess);
  ASSERT_EQ(cudaStreamSynchronize(stream.handle), cudaSuccess);
  EXPECT_EQ(hex(result), hex(reference_merkle_root(matrix, new_key)));
}

INSTANTIATE_TEST_SUITE_P(StreamModes, HashKeyOrderTest, testing::Values("eager", "deferred"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

}  // namespace
