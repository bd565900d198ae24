#include <vector>

#include "hostgpu/device_constant.h"
#include "platform_fixture.h"

namespace {

HOSTGPU_DEVICE_CONSTANT(int[4], test_constant, 1, 2, 3, 4);

std::vector<int> read_constant() {
  std::vector<int> host(4, 0);
  EXPECT_EQ(cudaMemcpyFromSymbol(host.data(), &test_constant, sizeof(int) * 4, 0,
                                 cudaMemcpyDeviceToHost),
            cudaSuccess);
  return host;
}

using SymbolTest = PlatformTest;

TEST_F(SymbolTest, AsyncCopiesToASymbolRunInStreamOrder) {
  configure("8.6;8.6", "deferred");
  cudaStream_t stream = nullptr;
  ASSERT_EQ(cudaStreamCreateWithFlags(&stream, cudaStreamNonBlocking), cudaSuccess);
  const int values[4] = {7, 8, 9, 10};
  ASSERT_EQ(cudaMemcpyToSymbolAsync(&test_constant, values, sizeof(values), 0,
                                    cudaMemcpyHostToDevice, stream),
            cudaSuccess);
  EXPECT_EQ(read_constant(), (std::vector<int>{1, 2, 3, 4}));
  ASSERT_EQ(cudaStreamSynchronize(stream), cudaSuccess);
  EXPECT_EQ(read_constant(), (std::vector<int>{7, 8, 9, 10}));
  // Constant memory is per device.
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  EXPECT_EQ(read_constant(), (std::vector<int>{1, 2, 3, 4}));
  ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
  cudaStreamDestroy(stream);
}

TEST_F(SymbolTest, CopiesBeyondTheSymbolOrToUnknownSymbolsFail) {
  configure(nullptr);
  const int values[5] = {};
  EXPECT_EQ(cudaMemcpyToSymbol(&test_constant, values, sizeof(values)), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpyToSymbol(&test_constant, values, sizeof(int), 4 * sizeof(int)),
            cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpyToSymbol(values, values, sizeof(int)), cudaErrorInvalidSymbol);
  cudaGetLastError();
}

}  // namespace
