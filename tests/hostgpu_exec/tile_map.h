#pragma once
// The bytes the copy fixtures load: a row of 256, i * 5 + 7 at i, and a
// tensor map whose box is its first `bytes`.
#include <gtest/gtest.h>

#include "core/gpu_platform.h"
#include "hostgpu/executor.h"

namespace fixtures {

inline const unsigned char* tile_bytes() {
  alignas(256) static unsigned char tile[256];
  for (unsigned i = 0; i < 256; ++i) tile[i] = static_cast<unsigned char>(i * 5 + 7);
  return tile;
}

inline CUtensorMap tile_map(unsigned bytes) {
  CUtensorMap map;
  const cuuint64_t dims[2] = {bytes, 1};
  const cuuint64_t strides[1] = {bytes};
  const cuuint32_t box[2] = {bytes, 1};
  const cuuint32_t element_strides[2] = {1, 1};
  EXPECT_EQ(cuTensorMapEncodeTiled(&map, CU_TENSOR_MAP_DATA_TYPE_UINT8, 2, const_cast<unsigned char*>(tile_bytes()),
                                   dims, strides, box, element_strides, CU_TENSOR_MAP_INTERLEAVE_NONE,
                                   CU_TENSOR_MAP_SWIZZLE_NONE, CU_TENSOR_MAP_L2_PROMOTION_NONE,
                                   CU_TENSOR_MAP_FLOAT_OOB_FILL_NONE),
            CUDA_SUCCESS);
  return map;
}

}  // namespace fixtures
