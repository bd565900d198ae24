#pragma once
// c_key: the key of the tree being hashed, one per device, rewritten in stream
// order by every root computation. Defined here for the tensor_hash unit,
// whose kernels read it; no other unit includes this header.
#include <cstdint>

#include "core/gpu_platform.h"

KORVATH_DEVICE_CONSTANT(uint32_t[8], c_key, 0);
