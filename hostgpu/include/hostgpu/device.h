#pragma once
// What CUDA device code needs when the host compiler builds it for the
// executor: the toolkit's types and API declarations, the keywords, the
// built-in coordinates, barriers, warp operations, asynchronous copies,
// atomics, intrinsics, shared memory and per-device constants.
#include <cuda_runtime.h>

#include "hostgpu/device_keywords.h"
#include "hostgpu/device_coordinates.h"
#include "hostgpu/device_sync.h"
#include "hostgpu/device_async_copy.h"
#include "hostgpu/device_atomics.h"
#include "hostgpu/device_intrinsics.h"
#include "hostgpu/device_shared.h"
#include "hostgpu/device_constant.h"
#include "hostgpu/device_cluster.h"
