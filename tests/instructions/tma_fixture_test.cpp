// Bulk tensor copies into destinations off their swizzle pattern's alignment:
// caught under the hostile settings, passing once aligned.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/device_instructions.h"
#include "core/gpu_platform.h"
#include "fault_fixture.h"

namespace {

using namespace device_instructions;
using fault_fixture::Fixture;

constexpr unsigned kThreads = 128;
constexpr uint32_t kRows = 8;
constexpr uint32_t kBoxBytes = kRows * 128;

const std::vector<unsigned char>& tensor() {
  static const std::vector<unsigned char> bytes = [] {
    std::vector<unsigned char> b(kBoxBytes);
    for (uint32_t i = 0; i < kBoxBytes; ++i) b[i] = static_cast<unsigned char>(i * 7 + 3);
    return b;
  }();
  return bytes;
}

// A swizzled box is at most as wide as its swizzle.
uint32_t box_width(CUtensorMapSwizzle swizzle) {
  return swizzle == CU_TENSOR_MAP_SWIZZLE_64B ? 64 : swizzle == CU_TENSOR_MAP_SWIZZLE_32B ? 32 : 128;
}

int box_sum(uint32_t width) {
  int sum = 0;
  for (uint32_t row = 0; row < kRows; ++row) {
    for (uint32_t column = 0; column < width; ++column) sum += tensor()[row * 128 + column];
  }
  return sum;
}

CUtensorMap map_with(CUtensorMapSwizzle swizzle) {
  CUtensorMap map;
  const cuuint64_t dims[2] = {128, kRows};
  const cuuint64_t strides[1] = {128};
  const cuuint32_t box[2] = {box_width(swizzle), kRows};
  const cuuint32_t element_strides[2] = {1, 1};
  EXPECT_EQ(cuTensorMapEncodeTiled(&map, CU_TENSOR_MAP_DATA_TYPE_UINT8, 2,
                                   const_cast<unsigned char*>(tensor().data()), dims, strides, box,
                                   element_strides, CU_TENSOR_MAP_INTERLEAVE_NONE, swizzle,
                                   CU_TENSOR_MAP_L2_PROMOTION_NONE, CU_TENSOR_MAP_FLOAT_OOB_FILL_NONE),
            CUDA_SUCCESS);
  return map;
}

// Thread 0 copies the box to `offset` bytes past a 1024-aligned stage; the
// block sums what landed (the swizzle permutes it, the sum stays).
__global__ void copy_kernel(const CUtensorMap* map, uint32_t box_bytes, uint32_t offset, int* out) {
  __shared__ uint64_t full;
  unsigned char* stage = korvath_dynamic_shared<unsigned char>() + offset;
  if (threadIdx.x == 0) {
    mbarrier_init(&full, 1);
    mbarrier_init_fence();
    mbarrier_arrive_expect_tx(&full, box_bytes);
    tma_load_2d(stage, map, 0, 0, &full);
  }
  __syncthreads();
  mbarrier_wait_parity(&full, 0);
  if (threadIdx.x == 0) {
    int sum = 0;
    for (uint32_t i = 0; i < box_bytes; ++i) sum += stage[i];
    out[0] = sum;
  }
}

Fixture copy_fixture(const char* fault, CUtensorMapSwizzle swizzle, uint32_t misaligned, uint32_t aligned,
                     const char* fault_text) {
  Fixture f;
  f.fault = fault;
  f.body = [=](bool mended, int* out) {
    const CUtensorMap map = map_with(swizzle);
    copy_kernel(&map, box_width(swizzle) * kRows, mended ? aligned : misaligned, out);
  };
  f.expected = [swizzle](unsigned) { return box_sum(box_width(swizzle)); };
  f.outputs = 1;
  f.fault_text = fault_text;
  f.threads = kThreads;
  f.shared_bytes = 4096;
  f.compute_capability = 90;
  return f;
}

TEST(TmaFixtureTest, DestinationsOffTheirSwizzlePatternAreCaught) {
  fault_fixture::check_table({
      copy_fixture("128-byte swizzle into a 512-byte boundary", CU_TENSOR_MAP_SWIZZLE_128B, 512, 1024,
                   "byte 512 of dynamic shared memory: the 128-byte swizzle needs alignment to its 1024-byte "
                   "pattern"),
      copy_fixture("64-byte swizzle into a 256-byte boundary", CU_TENSOR_MAP_SWIZZLE_64B, 256, 512,
                   "the 64-byte swizzle needs alignment to its 512-byte pattern"),
      copy_fixture("32-byte swizzle into a 128-byte boundary", CU_TENSOR_MAP_SWIZZLE_32B, 128, 256,
                   "the 32-byte swizzle needs alignment to its 256-byte pattern"),
      copy_fixture("an unswizzled box 8 bytes in", CU_TENSOR_MAP_SWIZZLE_NONE, 8, 16,
                   "an unswizzled box needs 16-byte alignment"),
  });
}

}  // namespace
