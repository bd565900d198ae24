#pragma once
// Device-only instructions, reached through this one layer: inline PTX or a
// CUDA intrinsic with nvcc, an exact emulation in the host flavour. An
// instruction is one inline function in namespace device_instructions whose
// two bodies sit side by side below, so both flavours stay in step.
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

namespace device_instructions {}  // namespace device_instructions
