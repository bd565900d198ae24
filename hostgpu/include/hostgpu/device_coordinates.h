#pragma once
// threadIdx, blockIdx, blockDim, gridDim and warpSize for device code run by
// the executor. They are variables of the host thread that the executor
// updates before it resumes each thread's fiber, so they always describe the
// thread that is running. (Variables rather than macros: host code may use
// the same names for parameters.)
#include <vector_types.h>

inline thread_local uint3 threadIdx{};
inline thread_local uint3 blockIdx{};
inline thread_local dim3 blockDim{};
inline thread_local dim3 gridDim{};

inline constexpr int warpSize = 32;
