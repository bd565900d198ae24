// The runtime's driver entry-point query: hands out the stand-in's driver functions by name.
#include <cstring>

#include <cuda.h>

#include "runtime_state.h"

using namespace hostgpu::runtime;

namespace {

struct DriverSymbol {
  const char* name;
  unsigned int introduced;  // CUDA version of the ABI this function has
  void* function;
};

const DriverSymbol* find_symbol(const char* name) {
  static const DriverSymbol symbols[] = {
      {"cuInit", 2000, reinterpret_cast<void*>(&cuInit)},
      {"cuDriverGetVersion", 2020, reinterpret_cast<void*>(&cuDriverGetVersion)},
      {"cuDeviceGet", 2000, reinterpret_cast<void*>(&cuDeviceGet)},
      {"cuDeviceGetCount", 2000, reinterpret_cast<void*>(&cuDeviceGetCount)},
      {"cuDevicePrimaryCtxGetState", 7000, reinterpret_cast<void*>(&cuDevicePrimaryCtxGetState)},
      {"cuDevicePrimaryCtxSetFlags", 11000, reinterpret_cast<void*>(&cuDevicePrimaryCtxSetFlags)},
      {"cuGetErrorName", 6000, reinterpret_cast<void*>(&cuGetErrorName)},
      {"cuGetErrorString", 6000, reinterpret_cast<void*>(&cuGetErrorString)},
      {"cuTensorMapEncodeTiled", 12000, reinterpret_cast<void*>(&cuTensorMapEncodeTiled)},
  };
  for (const DriverSymbol& s : symbols) {
    if (std::strcmp(s.name, name) == 0) return &s;
  }
  return nullptr;
}

cudaError_t look_up(const char* symbol, void** function, unsigned int version,
                    unsigned long long flags, cudaDriverEntryPointQueryResult* status) {
  if (symbol == nullptr || function == nullptr || flags > cudaEnablePerThreadDefaultStream) {
    return fail(cudaErrorInvalidValue);
  }
  if (version > static_cast<unsigned int>(CUDA_VERSION)) return fail(cudaErrorInvalidValue);
  *function = nullptr;
  cudaDriverEntryPointQueryResult result = cudaDriverEntryPointSymbolNotFound;
  if (const DriverSymbol* found = find_symbol(symbol)) {
    if (version < found->introduced) {
      result = cudaDriverEntryPointVersionNotSufficent;
    } else {
      *function = found->function;
      result = cudaDriverEntryPointSuccess;
    }
  }
  if (status != nullptr) *status = result;
  return cudaSuccess;  // a missing symbol is reported through the status and a null pointer
}

}  // namespace

extern "C" {

cudaError_t cudaGetDriverEntryPointByVersion(const char* symbol, void** function,
                                             unsigned int version, unsigned long long flags,
                                             cudaDriverEntryPointQueryResult* status) {
  return look_up(symbol, function, version, flags, status);
}

cudaError_t cudaGetDriverEntryPoint(const char* symbol, void** function, unsigned long long flags,
                                    cudaDriverEntryPointQueryResult* status) {
  return look_up(symbol, function, CUDART_VERSION, flags, status);
}

}  // extern "C"
