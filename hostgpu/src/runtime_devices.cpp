// Device enumeration, selection and attributes.
#include "runtime_state.h"

using namespace hostgpu::runtime;

namespace {

bool device_attribute(const cudaDeviceProp& prop, cudaDeviceAttr attr, int* value) {
  switch (attr) {
    case cudaDevAttrMaxThreadsPerBlock: *value = prop.maxThreadsPerBlock; return true;
    case cudaDevAttrMaxBlockDimX: *value = prop.maxThreadsDim[0]; return true;
    case cudaDevAttrMaxBlockDimY: *value = prop.maxThreadsDim[1]; return true;
    case cudaDevAttrMaxBlockDimZ: *value = prop.maxThreadsDim[2]; return true;
    case cudaDevAttrMaxGridDimX: *value = prop.maxGridSize[0]; return true;
    case cudaDevAttrMaxGridDimY: *value = prop.maxGridSize[1]; return true;
    case cudaDevAttrMaxGridDimZ: *value = prop.maxGridSize[2]; return true;
    case cudaDevAttrMaxSharedMemoryPerBlock: *value = static_cast<int>(prop.sharedMemPerBlock); return true;
    case cudaDevAttrTotalConstantMemory: *value = static_cast<int>(prop.totalConstMem); return true;
    case cudaDevAttrWarpSize: *value = prop.warpSize; return true;
    case cudaDevAttrMaxRegistersPerBlock: *value = prop.regsPerBlock; return true;
    case cudaDevAttrMultiProcessorCount: *value = prop.multiProcessorCount; return true;
    case cudaDevAttrComputeCapabilityMajor: *value = prop.major; return true;
    case cudaDevAttrComputeCapabilityMinor: *value = prop.minor; return true;
    case cudaDevAttrL2CacheSize: *value = prop.l2CacheSize; return true;
    case cudaDevAttrMaxThreadsPerMultiProcessor: *value = prop.maxThreadsPerMultiProcessor; return true;
    case cudaDevAttrMaxSharedMemoryPerMultiprocessor:
      *value = static_cast<int>(prop.sharedMemPerMultiprocessor);
      return true;
    case cudaDevAttrMaxRegistersPerMultiprocessor: *value = prop.regsPerMultiprocessor; return true;
    case cudaDevAttrMaxSharedMemoryPerBlockOptin:
      *value = static_cast<int>(prop.sharedMemPerBlockOptin);
      return true;
    case cudaDevAttrMaxBlocksPerMultiprocessor: *value = prop.maxBlocksPerMultiProcessor; return true;
    case cudaDevAttrReservedSharedMemoryPerBlock:
      *value = static_cast<int>(prop.reservedSharedMemPerBlock);
      return true;
    case cudaDevAttrClusterLaunch: *value = prop.clusterLaunch; return true;
    case cudaDevAttrUnifiedAddressing: *value = prop.unifiedAddressing; return true;
    case cudaDevAttrConcurrentKernels: *value = prop.concurrentKernels; return true;
    case cudaDevAttrAsyncEngineCount: *value = prop.asyncEngineCount; return true;
    case cudaDevAttrPciBusId: *value = prop.pciBusID; return true;
    case cudaDevAttrCooperativeLaunch: *value = prop.cooperativeLaunch; return true;
    case cudaDevAttrCanMapHostMemory: *value = prop.canMapHostMemory; return true;
    case cudaDevAttrGlobalMemoryBusWidth: *value = prop.memoryBusWidth; return true;
    default: return false;
  }
}

}  // namespace

extern "C" {

cudaError_t cudaGetDeviceCount(int* count) {
  if (count == nullptr) return fail(cudaErrorInvalidValue);
  auto lock = lock_platform();
  const Platform& p = platform();
  *count = 0;
  if (p.init_error != cudaSuccess) return fail(p.init_error);
  *count = static_cast<int>(p.devices.size());
  return cudaSuccess;
}

cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device) {
  if (prop == nullptr) return fail(cudaErrorInvalidValue);
  auto lock = lock_platform();
  const Platform& p = platform();
  if (p.init_error != cudaSuccess) return fail(p.init_error);
  if (p.devices.empty()) return fail(cudaErrorNoDevice);
  if (!valid_device(p, device)) return fail(cudaErrorInvalidDevice);
  *prop = device_properties(p.devices[device], device);
  return cudaSuccess;
}

cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attr, int device) {
  if (value == nullptr) return fail(cudaErrorInvalidValue);
  auto lock = lock_platform();
  const Platform& p = platform();
  if (p.init_error != cudaSuccess) return fail(p.init_error);
  if (p.devices.empty()) return fail(cudaErrorNoDevice);
  if (!valid_device(p, device)) return fail(cudaErrorInvalidDevice);
  if (!device_attribute(device_properties(p.devices[device], device), attr, value)) {
    return fail(cudaErrorInvalidValue);
  }
  return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) {
  auto lock = lock_platform();
  Platform& p = platform();
  if (p.init_error != cudaSuccess) return fail(p.init_error);
  if (p.devices.empty()) return fail(cudaErrorNoDevice);
  if (!valid_device(p, device)) return fail(cudaErrorInvalidDevice);
  current_device() = device;
  p.primary_contexts[device].active = true;
  return cudaSuccess;
}

cudaError_t cudaGetDevice(int* device) {
  if (device == nullptr) return fail(cudaErrorInvalidValue);
  auto lock = lock_platform();
  const Platform& p = platform();
  if (p.init_error != cudaSuccess) return fail(p.init_error);
  if (p.devices.empty()) return fail(cudaErrorNoDevice);
  *device = current_device();
  return cudaSuccess;
}

cudaError_t cudaDriverGetVersion(int* version) {
  if (version == nullptr) return fail(cudaErrorInvalidValue);
  *version = CUDART_VERSION;
  return cudaSuccess;
}

cudaError_t cudaRuntimeGetVersion(int* version) {
  if (version == nullptr) return fail(cudaErrorInvalidValue);
  *version = CUDART_VERSION;
  return cudaSuccess;
}

cudaError_t cudaDeviceGetStreamPriorityRange(int* least, int* greatest) {
  auto lock = lock_platform();
  const cudaError_t ready = check_ready(platform());
  if (ready != cudaSuccess) return fail(ready);
  // As a real device: 0 is the lowest priority, -5 the highest.
  if (least != nullptr) *least = 0;
  if (greatest != nullptr) *greatest = -5;
  return cudaSuccess;
}

cudaError_t cudaMemGetInfo(size_t* free_bytes, size_t* total_bytes) {
  auto lock = lock_platform();
  Platform& p = platform();
  const cudaError_t ready = check_ready(p);
  if (ready != cudaSuccess) return fail(ready);
  const int device = current_device();
  const size_t total = p.devices[device].memory_bytes;
  if (free_bytes != nullptr) *free_bytes = total - p.device_bytes_in_use[device];
  if (total_bytes != nullptr) *total_bytes = total;
  return cudaSuccess;
}

}  // extern "C"
