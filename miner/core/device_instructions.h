#pragma once
// Device-only instructions, reached through this one layer: inline PTX or a
// CUDA intrinsic with nvcc, an exact emulation in the host flavour. An
// instruction is one inline function in namespace device_instructions whose
// two bodies sit side by side in one header of core/instructions/, so both
// flavours stay in step. CuTe kernels reach the same instructions through the
// host twins of CuTe's atoms in "core/instructions/cute_twins.h".
//
// Warp votes and shuffles and the integer dot products (__dp4a, __dp2a_lo/hi)
// are CUDA intrinsics with exact host definitions in hostgpu, so device code
// calls them directly.
#include "core/gpu_platform.h"

#if defined(KORVATH_FLAVOUR_CUDA)
#define KORVATH_DEVICE_INSTRUCTION __device__ __forceinline__
#elif defined(KORVATH_FLAVOUR_HOST)
#define KORVATH_DEVICE_INSTRUCTION inline
#endif

// Tensor-core int8 matrix multiply-accumulate (mma.sync).
#include "core/instructions/mma.h"
// Warp-wide matrix loads from shared memory (ldmatrix).
#include "core/instructions/ldmatrix.h"
// Asynchronous copies into shared memory and their groups (cp.async).
#include "core/instructions/cp_async.h"
// Bulk tensor copies (TMA) and shared-memory barriers (mbarrier).
#include "core/instructions/tma.h"
// Thread-block clusters: rank, cluster barrier, distributed shared memory.
#include "core/instructions/cluster.h"
// Compute capability 10's tensor cores and tensor memory (tcgen05).
#include "core/instructions/tcgen05.h"
// Warp-group MMA from shared-memory descriptors and register reallocation (sm_90a).
#include "core/instructions/wgmma.h"
// Packed single-precision adds (sm_100 on).
#include "core/instructions/packed_float.h"
