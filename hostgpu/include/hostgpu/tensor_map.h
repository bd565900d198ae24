#pragma once
// The stand-in's encoding of a CUtensorMap, as written by cuTensorMapEncodeTiled,
// for the host twins of the TMA copies that read it.
#include <cstdint>

#include <cuda.h>

namespace hostgpu {

struct TiledTensorMap {
  CUtensorMapDataType data_type = CU_TENSOR_MAP_DATA_TYPE_UINT8;
  uint32_t rank = 0;
  void* global_address = nullptr;
  uint64_t global_dim[5] = {};
  uint64_t global_strides[5] = {};  // bytes; [0] is the element size, [i] the stride of dimension i
  uint32_t box_dim[5] = {};
  uint32_t element_strides[5] = {};
  CUtensorMapInterleave interleave = CU_TENSOR_MAP_INTERLEAVE_NONE;
  CUtensorMapSwizzle swizzle = CU_TENSOR_MAP_SWIZZLE_NONE;
  CUtensorMapL2promotion l2_promotion = CU_TENSOR_MAP_L2_PROMOTION_NONE;
  CUtensorMapFloatOOBfill oob_fill = CU_TENSOR_MAP_FLOAT_OOB_FILL_NONE;
};

// Bytes of one element of the data type (packed types: bytes of one 16-element group).
uint32_t tensor_map_element_bytes(CUtensorMapDataType type);

// Reads back a map written by cuTensorMapEncodeTiled; false for anything else.
bool decode_tensor_map(const CUtensorMap& map, TiledTensorMap* out);

}  // namespace hostgpu
