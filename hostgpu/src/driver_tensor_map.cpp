// cuTensorMapEncodeTiled: checks a tiled tensor map by the driver's documented
// rules and stores it in the stand-in's own layout (see hostgpu/tensor_map.h).
#include <cstring>

#include <cuda.h>

#include "hostgpu/tensor_map.h"

namespace hostgpu {
namespace {

constexpr uint32_t kMagic = 0x544d4150;  // "TMAP"

struct EncodedMap {
  uint32_t magic;
  uint8_t data_type;
  uint8_t rank;
  uint8_t interleave;
  uint8_t swizzle;
  uint8_t l2_promotion;
  uint8_t oob_fill;
  uint8_t unused[6];
  uint64_t global_address;
  uint64_t global_dim[5];
  uint64_t global_strides[4];  // dimensions 1 .. rank-1
  uint16_t box_dim[5];
  uint8_t element_strides[5];
};
static_assert(sizeof(EncodedMap) <= sizeof(CUtensorMap), "the encoding must fit a CUtensorMap");

bool is_float_type(CUtensorMapDataType type) {
  switch (type) {
    case CU_TENSOR_MAP_DATA_TYPE_FLOAT16:
    case CU_TENSOR_MAP_DATA_TYPE_FLOAT32:
    case CU_TENSOR_MAP_DATA_TYPE_FLOAT64:
    case CU_TENSOR_MAP_DATA_TYPE_BFLOAT16:
    case CU_TENSOR_MAP_DATA_TYPE_FLOAT32_FTZ:
    case CU_TENSOR_MAP_DATA_TYPE_TFLOAT32:
    case CU_TENSOR_MAP_DATA_TYPE_TFLOAT32_FTZ:
      return true;
    default:
      return false;
  }
}

uint32_t swizzle_span_bytes(CUtensorMapSwizzle swizzle) {
  switch (swizzle) {
    case CU_TENSOR_MAP_SWIZZLE_32B: return 32;
    case CU_TENSOR_MAP_SWIZZLE_64B: return 64;
    default: return 128;
  }
}

CUresult check_tiled_map(const CUtensorMap* map, CUtensorMapDataType type, cuuint32_t rank,
                         const void* address, const cuuint64_t* dims, const cuuint64_t* strides,
                         const cuuint32_t* box, const cuuint32_t* element_strides,
                         CUtensorMapInterleave interleave, CUtensorMapSwizzle swizzle,
                         CUtensorMapL2promotion l2, CUtensorMapFloatOOBfill oob) {
  if (map == nullptr || reinterpret_cast<uintptr_t>(map) % 64 != 0) return CUDA_ERROR_INVALID_VALUE;
  if (type < CU_TENSOR_MAP_DATA_TYPE_UINT8 || type > CU_TENSOR_MAP_DATA_TYPE_16U6_ALIGN16B) {
    return CUDA_ERROR_INVALID_VALUE;
  }
  if (interleave < CU_TENSOR_MAP_INTERLEAVE_NONE || interleave > CU_TENSOR_MAP_INTERLEAVE_32B ||
      swizzle < CU_TENSOR_MAP_SWIZZLE_NONE || swizzle > CU_TENSOR_MAP_SWIZZLE_128B_ATOM_64B ||
      l2 < CU_TENSOR_MAP_L2_PROMOTION_NONE || l2 > CU_TENSOR_MAP_L2_PROMOTION_L2_256B ||
      oob < CU_TENSOR_MAP_FLOAT_OOB_FILL_NONE ||
      oob > CU_TENSOR_MAP_FLOAT_OOB_FILL_NAN_REQUEST_ZERO_FMA) {
    return CUDA_ERROR_INVALID_VALUE;
  }
  const bool interleaved = interleave != CU_TENSOR_MAP_INTERLEAVE_NONE;
  if (rank < (interleaved ? 3u : 1u) || rank > 5) return CUDA_ERROR_INVALID_VALUE;
  if (dims == nullptr || box == nullptr || element_strides == nullptr ||
      (rank > 1 && strides == nullptr)) {
    return CUDA_ERROR_INVALID_VALUE;
  }
  const uint64_t alignment = interleave == CU_TENSOR_MAP_INTERLEAVE_32B ? 32 : 16;
  if (reinterpret_cast<uintptr_t>(address) % alignment != 0) return CUDA_ERROR_INVALID_VALUE;
  for (cuuint32_t i = 0; i < rank; ++i) {
    if (dims[i] == 0 || dims[i] > (uint64_t{1} << 32)) return CUDA_ERROR_INVALID_VALUE;
    if (box[i] == 0 || box[i] > 256) return CUDA_ERROR_INVALID_VALUE;
    if (element_strides[i] == 0 || element_strides[i] > 8) return CUDA_ERROR_INVALID_VALUE;
  }
  for (cuuint32_t i = 0; i + 1 < rank; ++i) {
    if (strides[i] % alignment != 0 || strides[i] >= (uint64_t{1} << 40)) {
      return CUDA_ERROR_INVALID_VALUE;
    }
  }
  const uint64_t inner_box_bytes = uint64_t{box[0]} * tensor_map_element_bytes(type);
  if (!interleaved) {
    if (inner_box_bytes % 16 != 0) return CUDA_ERROR_INVALID_VALUE;
    if (swizzle != CU_TENSOR_MAP_SWIZZLE_NONE && inner_box_bytes > swizzle_span_bytes(swizzle)) {
      return CUDA_ERROR_INVALID_VALUE;
    }
  }
  if (oob == CU_TENSOR_MAP_FLOAT_OOB_FILL_NAN_REQUEST_ZERO_FMA && !is_float_type(type)) {
    return CUDA_ERROR_INVALID_VALUE;
  }
  return CUDA_SUCCESS;
}

}  // namespace

uint32_t tensor_map_element_bytes(CUtensorMapDataType type) {
  switch (type) {
    case CU_TENSOR_MAP_DATA_TYPE_UINT8: return 1;
    case CU_TENSOR_MAP_DATA_TYPE_UINT16:
    case CU_TENSOR_MAP_DATA_TYPE_FLOAT16:
    case CU_TENSOR_MAP_DATA_TYPE_BFLOAT16: return 2;
    case CU_TENSOR_MAP_DATA_TYPE_UINT64:
    case CU_TENSOR_MAP_DATA_TYPE_INT64:
    case CU_TENSOR_MAP_DATA_TYPE_FLOAT64:
    case CU_TENSOR_MAP_DATA_TYPE_16U4_ALIGN8B: return 8;
    case CU_TENSOR_MAP_DATA_TYPE_16U4_ALIGN16B:
    case CU_TENSOR_MAP_DATA_TYPE_16U6_ALIGN16B: return 16;
    default: return 4;
  }
}

bool decode_tensor_map(const CUtensorMap& map, TiledTensorMap* out) {
  EncodedMap encoded;
  std::memcpy(&encoded, map.opaque, sizeof(encoded));
  if (encoded.magic != kMagic || encoded.rank < 1 || encoded.rank > 5) return false;
  TiledTensorMap decoded;
  decoded.data_type = static_cast<CUtensorMapDataType>(encoded.data_type);
  decoded.rank = encoded.rank;
  decoded.global_address = reinterpret_cast<void*>(encoded.global_address);
  decoded.global_strides[0] = tensor_map_element_bytes(decoded.data_type);
  for (uint32_t i = 0; i < decoded.rank; ++i) {
    decoded.global_dim[i] = encoded.global_dim[i];
    if (i > 0) decoded.global_strides[i] = encoded.global_strides[i - 1];
    decoded.box_dim[i] = encoded.box_dim[i];
    decoded.element_strides[i] = encoded.element_strides[i];
  }
  decoded.interleave = static_cast<CUtensorMapInterleave>(encoded.interleave);
  decoded.swizzle = static_cast<CUtensorMapSwizzle>(encoded.swizzle);
  decoded.l2_promotion = static_cast<CUtensorMapL2promotion>(encoded.l2_promotion);
  decoded.oob_fill = static_cast<CUtensorMapFloatOOBfill>(encoded.oob_fill);
  *out = decoded;
  return true;
}

}  // namespace hostgpu

using namespace hostgpu;

extern "C" CUresult cuTensorMapEncodeTiled(CUtensorMap* map, CUtensorMapDataType type,
                                           cuuint32_t rank, void* address, const cuuint64_t* dims,
                                           const cuuint64_t* strides, const cuuint32_t* box,
                                           const cuuint32_t* element_strides,
                                           CUtensorMapInterleave interleave,
                                           CUtensorMapSwizzle swizzle, CUtensorMapL2promotion l2,
                                           CUtensorMapFloatOOBfill oob) {
  const CUresult status = check_tiled_map(map, type, rank, address, dims, strides, box,
                                          element_strides, interleave, swizzle, l2, oob);
  if (status != CUDA_SUCCESS) return status;
  EncodedMap encoded;
  std::memset(&encoded, 0, sizeof(encoded));
  encoded.magic = kMagic;
  encoded.data_type = static_cast<uint8_t>(type);
  encoded.rank = static_cast<uint8_t>(rank);
  encoded.interleave = static_cast<uint8_t>(interleave);
  encoded.swizzle = static_cast<uint8_t>(swizzle);
  encoded.l2_promotion = static_cast<uint8_t>(l2);
  encoded.oob_fill = static_cast<uint8_t>(oob);
  encoded.global_address = reinterpret_cast<uintptr_t>(address);
  for (cuuint32_t i = 0; i < rank; ++i) {
    encoded.global_dim[i] = dims[i];
    if (i + 1 < rank) encoded.global_strides[i] = strides[i];
    encoded.box_dim[i] = static_cast<uint16_t>(box[i]);
    encoded.element_strides[i] = static_cast<uint8_t>(element_strides[i]);
  }
  std::memset(map->opaque, 0, sizeof(map->opaque));
  std::memcpy(map->opaque, &encoded, sizeof(encoded));
  return CUDA_SUCCESS;
}
