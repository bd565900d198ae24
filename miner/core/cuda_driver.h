#pragma once
#include "core/gpu_api.h"

// The driver functions the program calls, looked up at run time through the
// runtime's entry-point query, so that the binary never links the driver and
// starts (and reports a clean CUDA error) on a machine without one.
struct CudaDriverApi {
  CUresult (*init)(unsigned int flags) = nullptr;
  CUresult (*device_get)(CUdevice* device, int ordinal) = nullptr;
  CUresult (*primary_ctx_get_state)(CUdevice device, unsigned int* flags, int* active) = nullptr;
  CUresult (*primary_ctx_set_flags)(CUdevice device, unsigned int flags) = nullptr;
  CUresult (*get_error_name)(CUresult error, const char** name) = nullptr;
  CUresult (*get_error_string)(CUresult error, const char** text) = nullptr;
  cudaError_t lookup_error = cudaSuccess;  // why a function is missing, when one is
};

// Looked up once per process; entries the runtime cannot provide stay null.
const CudaDriverApi& cuda_driver_api();

// A driver function by name through the runtime; null when unavailable.
void* cuda_driver_entry_point(const char* symbol, cudaError_t* error);
