// Per-thread last error and the runtime's error texts.
#include "runtime_state.h"

namespace hostgpu::runtime {
namespace {

thread_local cudaError_t last_error = cudaSuccess;

struct ErrorText {
  cudaError_t code;
  const char* name;
  const char* text;
};

constexpr ErrorText kErrorTexts[] = {
    {cudaSuccess, "cudaSuccess", "no error"},
    {cudaErrorInvalidValue, "cudaErrorInvalidValue", "invalid argument"},
    {cudaErrorMemoryAllocation, "cudaErrorMemoryAllocation", "out of memory"},
    {cudaErrorInitializationError, "cudaErrorInitializationError", "initialization error"},
    {cudaErrorInvalidConfiguration, "cudaErrorInvalidConfiguration",
     "invalid configuration argument"},
    {cudaErrorInvalidSymbol, "cudaErrorInvalidSymbol", "invalid device symbol"},
    {cudaErrorInvalidDevicePointer, "cudaErrorInvalidDevicePointer", "invalid device pointer"},
    {cudaErrorInvalidMemcpyDirection, "cudaErrorInvalidMemcpyDirection",
     "invalid copy direction for memcpy"},
    {cudaErrorInvalidDeviceFunction, "cudaErrorInvalidDeviceFunction", "invalid device function"},
    {cudaErrorNoDevice, "cudaErrorNoDevice", "no CUDA-capable device is detected"},
    {cudaErrorInvalidDevice, "cudaErrorInvalidDevice", "invalid device ordinal"},
    {cudaErrorInvalidResourceHandle, "cudaErrorInvalidResourceHandle", "invalid resource handle"},
    {cudaErrorSymbolNotFound, "cudaErrorSymbolNotFound", "named symbol not found"},
    {cudaErrorNotReady, "cudaErrorNotReady", "device not ready"},
    {cudaErrorLaunchOutOfResources, "cudaErrorLaunchOutOfResources",
     "too many resources requested for launch"},
    {cudaErrorLaunchFailure, "cudaErrorLaunchFailure", "unspecified launch failure"},
    {cudaErrorNotSupported, "cudaErrorNotSupported", "operation not supported"},
    {cudaErrorInvalidClusterSize, "cudaErrorInvalidClusterSize",
     "a kernel launch error has occurred due to cluster misconfiguration"},
    {cudaErrorUnknown, "cudaErrorUnknown", "unknown error"},
};

const ErrorText* find_error(cudaError_t code) {
  for (const ErrorText& e : kErrorTexts) {
    if (e.code == code) return &e;
  }
  return nullptr;
}

// A kernel fault on the current device outlives cudaGetLastError, as on a GPU.
cudaError_t current_fault() {
  auto lock = lock_platform();
  const Platform& p = platform();
  return device_fault(p, current_device());
}

}  // namespace

cudaError_t fail(cudaError_t error) {
  last_error = error;
  return error;
}

cudaError_t report(cudaError_t result) {
  return result == cudaSuccess ? result : fail(result);
}

int& current_device() {
  thread_local int device = 0;
  return device;
}

cudaError_t check_ready(Platform& p) {
  if (p.init_error != cudaSuccess) return p.init_error;
  if (p.devices.empty()) return cudaErrorNoDevice;
  if (!valid_device(p, current_device())) return cudaErrorInvalidDevice;
  p.primary_contexts[current_device()].active = true;
  return cudaSuccess;
}

bool valid_device(const Platform& p, int device) {
  return device >= 0 && static_cast<size_t>(device) < p.devices.size();
}

cudaError_t device_fault(const Platform& p, int device) {
  return valid_device(p, device) ? p.device_faults[device] : cudaSuccess;
}

void record_device_fault(Platform& p, int device, cudaError_t error) {
  if (valid_device(p, device) && p.device_faults[device] == cudaSuccess) {
    p.device_faults[device] = error;
  }
}

}  // namespace hostgpu::runtime

using namespace hostgpu::runtime;

extern "C" {

cudaError_t cudaGetLastError(void) {
  const cudaError_t fault = current_fault();
  const cudaError_t error = last_error;
  last_error = cudaSuccess;
  if (fault != cudaSuccess) return fault;
  return error;
}

cudaError_t cudaPeekAtLastError(void) {
  const cudaError_t fault = current_fault();
  return fault != cudaSuccess ? fault : last_error;
}

const char* cudaGetErrorString(cudaError_t error) {
  const ErrorText* e = find_error(error);
  return e ? e->text : "unrecognized error code";
}

const char* cudaGetErrorName(cudaError_t error) {
  const ErrorText* e = find_error(error);
  return e ? e->name : "unrecognized error code";
}

}  // extern "C"
