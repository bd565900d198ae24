// The driver's error names and descriptions.
#include <cuda.h>

namespace {

struct DriverErrorText {
  CUresult code;
  const char* name;
  const char* text;
};

constexpr DriverErrorText kDriverErrors[] = {
    {CUDA_SUCCESS, "CUDA_SUCCESS", "no error"},
    {CUDA_ERROR_INVALID_VALUE, "CUDA_ERROR_INVALID_VALUE", "invalid argument"},
    {CUDA_ERROR_OUT_OF_MEMORY, "CUDA_ERROR_OUT_OF_MEMORY", "out of memory"},
    {CUDA_ERROR_NOT_INITIALIZED, "CUDA_ERROR_NOT_INITIALIZED", "initialization error"},
    {CUDA_ERROR_DEINITIALIZED, "CUDA_ERROR_DEINITIALIZED", "driver shutting down"},
    {CUDA_ERROR_NO_DEVICE, "CUDA_ERROR_NO_DEVICE", "no CUDA-capable device is detected"},
    {CUDA_ERROR_INVALID_DEVICE, "CUDA_ERROR_INVALID_DEVICE", "invalid device ordinal"},
    {CUDA_ERROR_INVALID_CONTEXT, "CUDA_ERROR_INVALID_CONTEXT", "invalid device context"},
    {CUDA_ERROR_INVALID_HANDLE, "CUDA_ERROR_INVALID_HANDLE", "invalid resource handle"},
    {CUDA_ERROR_NOT_FOUND, "CUDA_ERROR_NOT_FOUND", "named symbol not found"},
    {CUDA_ERROR_NOT_READY, "CUDA_ERROR_NOT_READY", "device not ready"},
    {CUDA_ERROR_PRIMARY_CONTEXT_ACTIVE, "CUDA_ERROR_PRIMARY_CONTEXT_ACTIVE",
     "primary context active"},
    {CUDA_ERROR_LAUNCH_FAILED, "CUDA_ERROR_LAUNCH_FAILED", "unspecified launch failure"},
    {CUDA_ERROR_NOT_SUPPORTED, "CUDA_ERROR_NOT_SUPPORTED", "operation not supported"},
    {CUDA_ERROR_UNKNOWN, "CUDA_ERROR_UNKNOWN", "unknown error"},
};

const DriverErrorText* find_driver_error(CUresult code) {
  for (const DriverErrorText& e : kDriverErrors) {
    if (e.code == code) return &e;
  }
  return nullptr;
}

}  // namespace

extern "C" {

CUresult cuGetErrorName(CUresult error, const char** name) {
  if (name == nullptr) return CUDA_ERROR_INVALID_VALUE;
  const DriverErrorText* e = find_driver_error(error);
  *name = e ? e->name : nullptr;
  return e ? CUDA_SUCCESS : CUDA_ERROR_INVALID_VALUE;
}

CUresult cuGetErrorString(CUresult error, const char** text) {
  if (text == nullptr) return CUDA_ERROR_INVALID_VALUE;
  const DriverErrorText* e = find_driver_error(error);
  *text = e ? e->text : nullptr;
  return e ? CUDA_SUCCESS : CUDA_ERROR_INVALID_VALUE;
}

}  // extern "C"
