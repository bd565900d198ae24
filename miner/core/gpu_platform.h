#pragma once
// The one header through which the miner reaches CUDA, in both flavours. With
// the cuda flavour it is the toolkit itself; with the host flavour the
// toolkit's API headers declare what the hostgpu stand-in defines, and device
// code is compiled by the host compiler against hostgpu's device header.
// Besides the API it provides the two things whose spelling differs by flavour:
//   KORVATH_DEVICE_CONSTANT(type, name, initial values...): a constant-memory
//     variable (one per device); read it by value or by subscript, and copy a
//     structure before reading its members.
//   korvath_dynamic_shared<T>(): the block's dynamic shared memory.
//   KORVATH_NOINLINE: keeps a device function out of line.

template <typename T>
using korvath_declared_type = T;  // lets a declaration name an array type in one token

#if defined(KORVATH_FLAVOUR_CUDA)

#include <cuda.h>
#include <cuda_runtime.h>

#define KORVATH_DEVICE_CONSTANT(type, name, ...) \
  __constant__ korvath_declared_type<type> name = {__VA_ARGS__}

#define KORVATH_NOINLINE __noinline__

#if defined(__CUDACC__)
template <typename T>
__device__ __forceinline__ T* korvath_dynamic_shared() {
  extern __shared__ __align__(16) unsigned char korvath_dynamic_shared_memory[];
  return reinterpret_cast<T*>(korvath_dynamic_shared_memory);
}
#endif

#elif defined(KORVATH_FLAVOUR_HOST)

#include <cuda.h>
#include <cuda_runtime.h>

#include "hostgpu/device.h"

#define KORVATH_DEVICE_CONSTANT(type, name, ...) HOSTGPU_DEVICE_CONSTANT(type, name, __VA_ARGS__)

template <typename T>
inline T* korvath_dynamic_shared() {
  return ::hostgpu::dynamic_shared<T>();
}

#define KORVATH_NOINLINE __attribute__((noinline))

#else
#error "Build with KORVATH_FLAVOUR_CUDA or KORVATH_FLAVOUR_HOST (link korvath_gpu_platform)"
#endif
