#pragma once
// The tensor map through which the bulk-copy leaf pass reads a matrix: 32-bit
// words, 256 per row (one 1024-byte chunk per row), one row per chunk, so the
// rows reach up to the matrix length rounded up to 1024 bytes. Boxes are
// 32 words (128 bytes, the swizzle span) by `box_rows` chunks.
#include <cstdint>
#include <string>

#include "core/cuda_check.h"
#include "core/cuda_driver.h"
#include "core/gpu_platform.h"
#include "tensor_hash/merkle_device.h"

namespace vexal::merkle {

using TensorMapEncodeTiled = CUresult (*)(CUtensorMap*, CUtensorMapDataType, cuuint32_t, void*,
                                          const cuuint64_t*, const cuuint64_t*, const cuuint32_t*,
                                          const cuuint32_t*, CUtensorMapInterleave,
                                          CUtensorMapSwizzle, CUtensorMapL2promotion,
                                          CUtensorMapFloatOOBfill);

// Encodes the map into *map; throws std::runtime_error naming
// cuTensorMapEncodeTiled and its result when the driver refuses it (or
// CUDA_ERROR_UNKNOWN when the driver function cannot be found).
inline void encode_matrix_tensor_map(CUtensorMap* map, const uint8_t* data, uint32_t len_bytes,
                                     uint32_t box_rows) {
  static const TensorMapEncodeTiled encode = reinterpret_cast<TensorMapEncodeTiled>(
      cuda_driver_entry_point("cuTensorMapEncodeTiled", nullptr));
  const cuuint64_t dims[2] = {kChunkBytes / 4, chunk_count(len_bytes)};
  const cuuint64_t strides[1] = {kChunkBytes};
  const cuuint32_t box[2] = {32, box_rows};
  const cuuint32_t element_strides[2] = {1, 1};
  CUresult result = CUDA_ERROR_UNKNOWN;
  if (encode != nullptr) {
    result = encode(map, CU_TENSOR_MAP_DATA_TYPE_UINT32, 2,
                    const_cast<void*>(static_cast<const void*>(data)), dims, strides, box,
                    element_strides, CU_TENSOR_MAP_INTERLEAVE_NONE, CU_TENSOR_MAP_SWIZZLE_128B,
                    CU_TENSOR_MAP_L2_PROMOTION_L2_128B, CU_TENSOR_MAP_FLOAT_OOB_FILL_NONE);
  }
  if (result != CUDA_SUCCESS) {
    const std::string step = "cuTensorMapEncodeTiled returned " + std::to_string(result);
    check_cu(result, step.c_str());
  }
}

}  // namespace vexal::merkle
