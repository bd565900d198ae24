#include <cstring>
#include <string>

#include <cuda.h>
#include <cudaTypedefs.h>

#include "hostgpu/inspect.h"
#include "hostgpu/tensor_map.h"
#include "platform_fixture.h"

namespace {

// The miner reaches the driver only through the runtime's entry-point query.
template <class Fn>
Fn driver_function(const char* name) {
  void* function = nullptr;
  cudaDriverEntryPointQueryResult status = cudaDriverEntryPointSymbolNotFound;
  EXPECT_EQ(cudaGetDriverEntryPointByVersion(name, &function, 12000, cudaEnableDefault, &status),
            cudaSuccess);
  EXPECT_EQ(status, cudaDriverEntryPointSuccess) << name;
  return reinterpret_cast<Fn>(function);
}

using DriverTest = PlatformTest;

TEST_F(DriverTest, PrimaryContextFlagsAreObservable) {
  configure("8.6;8.9");
  auto init = driver_function<PFN_cuInit_v2000>("cuInit");
  auto device_get = driver_function<PFN_cuDeviceGet_v2000>("cuDeviceGet");
  auto get_state = driver_function<PFN_cuDevicePrimaryCtxGetState_v7000>("cuDevicePrimaryCtxGetState");
  auto set_flags = driver_function<PFN_cuDevicePrimaryCtxSetFlags_v11000>("cuDevicePrimaryCtxSetFlags");
  CUdevice device = -1;
  EXPECT_EQ(device_get(&device, 0), CUDA_ERROR_NOT_INITIALIZED);
  ASSERT_EQ(init(0), CUDA_SUCCESS);
  ASSERT_EQ(device_get(&device, 1), CUDA_SUCCESS);
  EXPECT_EQ(device_get(&device, 2), CUDA_ERROR_INVALID_DEVICE);

  unsigned int flags = 99;
  int active = 1;
  ASSERT_EQ(get_state(1, &flags, &active), CUDA_SUCCESS);
  EXPECT_EQ(active, 0);
  ASSERT_EQ(set_flags(1, CU_CTX_SCHED_BLOCKING_SYNC), CUDA_SUCCESS);
  EXPECT_EQ(hostgpu::inspect::primary_context(1).flags, unsigned{CU_CTX_SCHED_BLOCKING_SYNC});
  EXPECT_EQ(set_flags(1, 3), CUDA_ERROR_INVALID_VALUE);

  // Runtime use creates the context; its flags can no longer change.
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  EXPECT_TRUE(hostgpu::inspect::primary_context(1).active);
  EXPECT_EQ(set_flags(1, CU_CTX_SCHED_SPIN), CUDA_ERROR_PRIMARY_CONTEXT_ACTIVE);
  EXPECT_EQ(hostgpu::inspect::primary_context(1).flags, unsigned{CU_CTX_SCHED_BLOCKING_SYNC});
}

TEST_F(DriverTest, AnActiveContextCanBeSimulated) {
  configure(nullptr);
  ASSERT_EQ(cuInit(0), CUDA_SUCCESS);
  hostgpu::inspect::activate_primary_context(0, CU_CTX_SCHED_BLOCKING_SYNC);
  unsigned int flags = 0;
  int active = 0;
  ASSERT_EQ(cuDevicePrimaryCtxGetState(0, &flags, &active), CUDA_SUCCESS);
  EXPECT_EQ(active, 1);
  EXPECT_EQ(flags, unsigned{CU_CTX_SCHED_BLOCKING_SYNC});

  configure(nullptr);
  ASSERT_EQ(cuInit(0), CUDA_SUCCESS);
  hostgpu::inspect::activate_primary_context_at_next_set_flags(0, CU_CTX_SCHED_AUTO);
  ASSERT_EQ(cuDevicePrimaryCtxGetState(0, &flags, &active), CUDA_SUCCESS);
  EXPECT_EQ(active, 0);
  EXPECT_EQ(cuDevicePrimaryCtxSetFlags(0, CU_CTX_SCHED_SPIN), CUDA_ERROR_PRIMARY_CONTEXT_ACTIVE);
}

TEST_F(DriverTest, MalformedDeviceListMakesInitFail) {
  configure("nonsense");
  EXPECT_EQ(cuInit(0), CUDA_ERROR_NOT_INITIALIZED);
}

TEST_F(DriverTest, ErrorNamesAndTexts) {
  auto name_of = driver_function<PFN_cuGetErrorName_v6000>("cuGetErrorName");
  auto text_of = driver_function<PFN_cuGetErrorString_v6000>("cuGetErrorString");
  const char* name = nullptr;
  const char* text = nullptr;
  ASSERT_EQ(name_of(CUDA_ERROR_INVALID_DEVICE, &name), CUDA_SUCCESS);
  ASSERT_EQ(text_of(CUDA_ERROR_INVALID_DEVICE, &text), CUDA_SUCCESS);
  EXPECT_STREQ(name, "CUDA_ERROR_INVALID_DEVICE");
  EXPECT_STREQ(text, "invalid device ordinal");
  name = "left";
  text = "left";
  EXPECT_EQ(name_of(static_cast<CUresult>(12345), &name), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(text_of(static_cast<CUresult>(12345), &text), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(text, nullptr);
}

TEST_F(DriverTest, EntryPointsOfUnknownOrTooNewSymbolsAreNull) {
  void* function = reinterpret_cast<void*>(1);
  cudaDriverEntryPointQueryResult status = cudaDriverEntryPointSuccess;
  EXPECT_EQ(cudaGetDriverEntryPointByVersion("cuNoSuchFunction", &function, 12000,
                                             cudaEnableDefault, &status),
            cudaSuccess);
  EXPECT_EQ(function, nullptr);
  EXPECT_EQ(status, cudaDriverEntryPointSymbolNotFound);
  EXPECT_EQ(cudaGetDriverEntryPointByVersion("cuTensorMapEncodeTiled", &function, 11080,
                                             cudaEnableDefault, &status),
            cudaSuccess);
  EXPECT_EQ(function, nullptr);
  EXPECT_EQ(status, cudaDriverEntryPointVersionNotSufficent);
}

struct TensorMapCase {
  const char* what;
  CUresult expected;
  cuuint32_t rank;
  uintptr_t address;
  cuuint64_t stride;
  cuuint32_t box0;
  cuuint32_t element_stride;
  CUtensorMapSwizzle swizzle;
};

TEST_F(DriverTest, TensorMapsFollowTheDocumentedRules) {
  auto encode = driver_function<PFN_cuTensorMapEncodeTiled_v12000>("cuTensorMapEncodeTiled");
  const TensorMapCase cases[] = {
      {"valid", CUDA_SUCCESS, 2, 0x1000, 256, 64, 1, CU_TENSOR_MAP_SWIZZLE_128B},
      {"null address", CUDA_SUCCESS, 2, 0, 256, 64, 1, CU_TENSOR_MAP_SWIZZLE_NONE},
      {"rank 0", CUDA_ERROR_INVALID_VALUE, 0, 0x1000, 256, 64, 1, CU_TENSOR_MAP_SWIZZLE_NONE},
      {"rank 6", CUDA_ERROR_INVALID_VALUE, 6, 0x1000, 256, 64, 1, CU_TENSOR_MAP_SWIZZLE_NONE},
      {"address not 16-aligned", CUDA_ERROR_INVALID_VALUE, 2, 0x1008, 256, 64, 1,
       CU_TENSOR_MAP_SWIZZLE_NONE},
      {"stride not a multiple of 16", CUDA_ERROR_INVALID_VALUE, 2, 0x1000, 264, 64, 1,
       CU_TENSOR_MAP_SWIZZLE_NONE},
      {"box above 256", CUDA_ERROR_INVALID_VALUE, 2, 0x1000, 512, 272, 1, CU_TENSOR_MAP_SWIZZLE_NONE},
      {"inner box not 16 bytes", CUDA_ERROR_INVALID_VALUE, 2, 0x1000, 256, 4, 1,
       CU_TENSOR_MAP_SWIZZLE_NONE},
      {"inner box wider than the swizzle", CUDA_ERROR_INVALID_VALUE, 2, 0x1000, 256, 64, 1,
       CU_TENSOR_MAP_SWIZZLE_32B},
      {"element stride 9", CUDA_ERROR_INVALID_VALUE, 2, 0x1000, 256, 64, 9,
       CU_TENSOR_MAP_SWIZZLE_NONE},
  };
  for (const TensorMapCase& c : cases) {
    SCOPED_TRACE(c.what);
    CUtensorMap map;
    const cuuint64_t dims[6] = {128, 64, 1, 1, 1, 1};
    const cuuint64_t strides[5] = {c.stride, c.stride * 64, c.stride * 64, c.stride * 64, c.stride * 64};
    const cuuint32_t box[6] = {c.box0, 16, 1, 1, 1, 1};
    const cuuint32_t element_strides[6] = {c.element_stride, 1, 1, 1, 1, 1};
    EXPECT_EQ(encode(&map, CU_TENSOR_MAP_DATA_TYPE_FLOAT16, c.rank, reinterpret_cast<void*>(c.address),
                     dims, strides, box, element_strides, CU_TENSOR_MAP_INTERLEAVE_NONE, c.swizzle,
                     CU_TENSOR_MAP_L2_PROMOTION_L2_128B, CU_TENSOR_MAP_FLOAT_OOB_FILL_NONE),
              c.expected);
  }
}

TEST_F(DriverTest, AnEncodedTensorMapDecodes) {
  CUtensorMap map;
  const cuuint64_t dims[2] = {1024, 32};
  const cuuint64_t strides[1] = {1024};
  const cuuint32_t box[2] = {128, 16};
  const cuuint32_t element_strides[2] = {1, 1};
  ASSERT_EQ(cuTensorMapEncodeTiled(&map, CU_TENSOR_MAP_DATA_TYPE_UINT8, 2, reinterpret_cast<void*>(0x2000),
                                   dims, strides, box, element_strides, CU_TENSOR_MAP_INTERLEAVE_NONE,
                                   CU_TENSOR_MAP_SWIZZLE_128B, CU_TENSOR_MAP_L2_PROMOTION_NONE,
                                   CU_TENSOR_MAP_FLOAT_OOB_FILL_NONE),
            CUDA_SUCCESS);
  hostgpu::TiledTensorMap decoded;
  ASSERT_TRUE(hostgpu::decode_tensor_map(map, &decoded));
  EXPECT_EQ(decoded.rank, 2u);
  EXPECT_EQ(decoded.global_address, reinterpret_cast<void*>(0x2000));
  EXPECT_EQ(decoded.global_dim[1], 32u);
  EXPECT_EQ(decoded.global_strides[0], 1u);
  EXPECT_EQ(decoded.global_strides[1], 1024u);
  EXPECT_EQ(decoded.box_dim[0], 128u);
  EXPECT_EQ(decoded.swizzle, CU_TENSOR_MAP_SWIZZLE_128B);
  CUtensorMap zero;
  std::memset(&zero, 0, sizeof(zero));
  EXPECT_FALSE(hostgpu::decode_tensor_map(zero, &decoded));
}

}  // namespace
