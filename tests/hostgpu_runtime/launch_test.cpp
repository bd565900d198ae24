#include <cstdint>
#include <cstring>
#include <vector>

#include "hostgpu/executor.h"
#include "hostgpu/inspect.h"
#include "platform_fixture.h"

namespace {

// A one-thread kernel: fills count ints with value.
void fill_kernel(int* out, int value, int count) {
  for (int i = 0; i < count; ++i) out[i] = value;
}

void invoke_fill(const void* kernel, void** args) {
  reinterpret_cast<decltype(&fill_kernel)>(kernel)(
      *static_cast<int**>(args[0]), *static_cast<int*>(args[1]), *static_cast<int*>(args[2]));
}

const void* const kFill = reinterpret_cast<const void*>(&fill_kernel);

void unregistered_kernel() {}

constexpr int kCount = 8;

class LaunchTest : public PlatformTest {
 protected:
  void SetUp() override {
    hostgpu::register_kernel(kFill, invoke_fill);
    hostgpu::register_kernel_parameters(&fill_kernel);
  }
  void make_buffer() {
    ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&out), kCount * sizeof(int)), cudaSuccess);
    ASSERT_EQ(cudaMemset(out, 0, kCount * sizeof(int)), cudaSuccess);
  }
  std::vector<int> read() {
    std::vector<int> host(kCount);
    EXPECT_EQ(cudaMemcpy(host.data(), out, kCount * sizeof(int), cudaMemcpyDeviceToHost), cudaSuccess);
    return host;
  }
  cudaError_t launch(dim3 grid, dim3 block, size_t shared = 0, cudaStream_t stream = nullptr) {
    void* args[] = {&out, &value, &count};
    return cudaLaunchKernel(kFill, grid, block, args, shared, stream);
  }
  cudaError_t launch_cluster(dim3 grid, dim3 cluster) {
    cudaLaunchAttribute attribute{};
    attribute.id = cudaLaunchAttributeClusterDimension;
    attribute.val.clusterDim.x = cluster.x;
    attribute.val.clusterDim.y = cluster.y;
    attribute.val.clusterDim.z = cluster.z;
    cudaLaunchConfig_t config{};
    config.gridDim = grid;
    config.blockDim = dim3(1, 1, 1);
    config.attrs = &attribute;
    config.numAttrs = 1;
    void* args[] = {&out, &value, &count};
    return cudaLaunchKernelExC(&config, kFill, args);
  }

  int* out = nullptr;
  int value = 5;
  int count = kCount;
};

TEST_F(LaunchTest, ConfigurationErrorsSetInvalidConfigurationArgument) {
  configure(nullptr);
  make_buffer();
  const struct {
    dim3 grid;
    dim3 block;
  } cases[] = {
      {dim3(1, 1, 1), dim3(0, 1, 1)},     {dim3(1, 1, 1), dim3(1025, 1, 1)},
      {dim3(1, 1, 1), dim3(32, 32, 2)},   {dim3(1, 1, 1), dim3(1, 1, 65)},
      {dim3(0, 1, 1), dim3(1, 1, 1)},     {dim3(1, 65536, 1), dim3(1, 1, 1)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(launch(c.grid, c.block), cudaErrorInvalidConfiguration);
    EXPECT_EQ(error_text(cudaGetLastError()), "invalid configuration argument");
  }
  EXPECT_EQ(read(), std::vector<int>(kCount, 0));  // nothing ran
  EXPECT_EQ(launch(dim3(1, 1, 1), dim3(1024, 1, 1)), cudaSuccess);
}

TEST_F(LaunchTest, UnregisteredKernelsAreInvalidDeviceFunctions) {
  configure(nullptr);
  EXPECT_EQ(cudaLaunchKernel(reinterpret_cast<const void*>(&unregistered_kernel), dim3(1), dim3(1),
                             nullptr, 0, nullptr),
            cudaErrorInvalidDeviceFunction);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDeviceFunction);
}

// A launcher sets a kernel's attributes before that kernel's first launch.
TEST_F(LaunchTest, AttributesMayBeSetBeforeTheFirstLaunch) {
  configure("8.6");
  ASSERT_EQ(cudaFuncSetAttribute(reinterpret_cast<const void*>(&unregistered_kernel),
                                 cudaFuncAttributeMaxDynamicSharedMemorySize, 65536),
            cudaSuccess);
  EXPECT_EQ(hostgpu::inspect::kernel_attributes(reinterpret_cast<const void*>(&unregistered_kernel), 0)
                .max_dynamic_shared_bytes,
            65536);
  EXPECT_EQ(cudaFuncSetAttribute(nullptr, cudaFuncAttributeMaxDynamicSharedMemorySize, 1),
            cudaErrorInvalidDeviceFunction);
  cudaGetLastError();
}

TEST_F(LaunchTest, DynamicSharedMemoryIsBoundByTheKernelsAttribute) {
  configure("8.6");
  make_buffer();
  EXPECT_EQ(launch(dim3(1), dim3(1), 48 * 1024), cudaSuccess);
  EXPECT_EQ(launch(dim3(1), dim3(1), 48 * 1024 + 1), cudaErrorInvalidValue);
  cudaGetLastError();
  ASSERT_EQ(cudaFuncSetAttribute(kFill, cudaFuncAttributeMaxDynamicSharedMemorySize, 98304),
            cudaSuccess);
  ASSERT_EQ(cudaFuncSetAttribute(kFill, cudaFuncAttributePreferredSharedMemoryCarveout, 100),
            cudaSuccess);
  EXPECT_EQ(launch(dim3(1), dim3(1), 98304), cudaSuccess);
  // Beyond the device's opt-in limit the attribute is refused.
  EXPECT_EQ(cudaFuncSetAttribute(kFill, cudaFuncAttributeMaxDynamicSharedMemorySize, 101377),
            cudaErrorInvalidValue);
  cudaGetLastError();
  const hostgpu::inspect::KernelAttributes recorded = hostgpu::inspect::kernel_attributes(kFill, 0);
  EXPECT_EQ(recorded.max_dynamic_shared_bytes, 98304);
  EXPECT_EQ(recorded.preferred_carveout, 100);
}

TEST_F(LaunchTest, ArgumentsAreCopiedWhenTheLaunchIsMade) {
  configure(nullptr, "deferred");
  make_buffer();
  cudaStream_t stream = nullptr;
  ASSERT_EQ(cudaStreamCreateWithFlags(&stream, cudaStreamNonBlocking), cudaSuccess);
  ASSERT_EQ(cudaMemsetAsync(out, 0xff, kCount * sizeof(int), stream), cudaSuccess);
  ASSERT_EQ(launch(dim3(1), dim3(1), 0, stream), cudaSuccess);
  value = 9;  // too late for the launch already made
  EXPECT_EQ(read(), std::vector<int>(kCount, 0));  // deferred: not run yet
  ASSERT_EQ(cudaStreamSynchronize(stream), cudaSuccess);
  EXPECT_EQ(read(), std::vector<int>(kCount, 5));
  cudaStreamDestroy(stream);
}

TEST_F(LaunchTest, AKernelRunsOnlyOnAStreamOfTheCurrentDevice) {
  configure("8.6;8.6");
  make_buffer();
  cudaStream_t stream = nullptr;
  ASSERT_EQ(cudaStreamCreateWithFlags(&stream, cudaStreamNonBlocking), cudaSuccess);
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  EXPECT_EQ(launch(dim3(1), dim3(1), 0, stream), cudaErrorInvalidResourceHandle);
  cudaGetLastError();
  ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
  cudaStreamDestroy(stream);
}

TEST_F(LaunchTest, ClusterLaunchesAreCheckedAndRecorded) {
  configure("10.0,Host B200");
  make_buffer();
  ASSERT_EQ(launch_cluster(dim3(2, 2, 1), dim3(2, 2, 1)), cudaSuccess);
  hostgpu::inspect::LaunchRecord record;
  ASSERT_TRUE(hostgpu::inspect::last_launch(&record));
  EXPECT_EQ(record.cluster.x, 2u);
  EXPECT_EQ(record.cluster.y, 2u);
  EXPECT_EQ(record.grid.y, 2u);
  EXPECT_EQ(read(), std::vector<int>(kCount, 5));

  EXPECT_EQ(launch_cluster(dim3(2, 3, 1), dim3(2, 2, 1)), cudaErrorInvalidClusterSize);
  EXPECT_EQ(launch_cluster(dim3(16, 1, 1), dim3(16, 1, 1)), cudaErrorInvalidClusterSize);
  ASSERT_EQ(cudaFuncSetAttribute(kFill, cudaFuncAttributeNonPortableClusterSizeAllowed, 1),
            cudaSuccess);
  EXPECT_EQ(launch_cluster(dim3(16, 1, 1), dim3(16, 1, 1)), cudaSuccess);
  cudaGetLastError();
}

TEST_F(LaunchTest, ClustersNeedCapabilityNine) {
  configure("8.6");
  make_buffer();
  EXPECT_EQ(launch_cluster(dim3(2, 1, 1), dim3(2, 1, 1)), cudaErrorNotSupported);
  cudaGetLastError();
}

// A parameter type that must sit on a 128-byte boundary, as CUTLASS's TMA
// descriptors and parameter blocks do.
struct alignas(128) WideParameter {
  uint64_t words[4];
};

void wide_parameters_kernel(char, WideParameter, char, WideParameter) {}

struct SeenWideArguments {
  std::vector<uintptr_t> misalignment;  // each address modulo its type's alignment
  char tags[2] = {};
  uint64_t words[2][4] = {};
};
SeenWideArguments seen_wide;

void invoke_wide(const void*, void** args) {
  const size_t alignments[] = {alignof(char), alignof(WideParameter), alignof(char), alignof(WideParameter)};
  for (int i = 0; i < 4; ++i) {
    seen_wide.misalignment.push_back(reinterpret_cast<uintptr_t>(args[i]) % alignments[i]);
  }
  std::memcpy(&seen_wide.tags[0], args[0], 1);
  std::memcpy(seen_wide.words[0], args[1], sizeof(seen_wide.words[0]));
  std::memcpy(&seen_wide.tags[1], args[2], 1);
  std::memcpy(seen_wide.words[1], args[3], sizeof(seen_wide.words[1]));
}

TEST_F(LaunchTest, EachArgumentIsCopiedToAnAddressAlignedForItsType) {
  for (const char* streams : {static_cast<const char*>(nullptr), "deferred"}) {
    SCOPED_TRACE(streams ? streams : "immediate");
    configure(nullptr, streams);
    seen_wide = SeenWideArguments{};
    const void* kernel = reinterpret_cast<const void*>(&wide_parameters_kernel);
    hostgpu::register_kernel(kernel, invoke_wide);
    hostgpu::register_kernel_parameters(&wide_parameters_kernel);
    char first_tag = 'a';
    char second_tag = 'b';
    WideParameter first{{1, 2, 3, 4}};
    WideParameter second{{5, 6, 7, 0xffffffffffffffffull}};
    void* args[] = {&first_tag, &first, &second_tag, &second};
    ASSERT_EQ(cudaLaunchKernel(kernel, dim3(1), dim3(1), args, 0, nullptr), cudaSuccess);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(seen_wide.misalignment, std::vector<uintptr_t>(4, 0));
    EXPECT_EQ(seen_wide.tags[0], 'a');
    EXPECT_EQ(seen_wide.tags[1], 'b');
    EXPECT_EQ(std::memcmp(seen_wide.words[0], first.words, sizeof(first.words)), 0);
    EXPECT_EQ(std::memcmp(seen_wide.words[1], second.words, sizeof(second.words)), 0);
  }
}

}  // namespace
