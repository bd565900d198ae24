#include "core/cuda_driver.h"

namespace {

// The ABI version of the driver functions we were written against.
constexpr unsigned int kDriverAbiVersion = 12000;

template <class Fn>
void look_up(Fn& slot, const char* symbol, cudaError_t& first_error) {
  cudaError_t error = cudaSuccess;
  slot = reinterpret_cast<Fn>(cuda_driver_entry_point(symbol, &error));
  if (!slot && first_error == cudaSuccess) first_error = error;
}

CudaDriverApi load_driver_api() {
  CudaDriverApi api;
  look_up(api.init, "cuInit", api.lookup_error);
  look_up(api.device_get, "cuDeviceGet", api.lookup_error);
  look_up(api.primary_ctx_get_state, "cuDevicePrimaryCtxGetState", api.lookup_error);
  look_up(api.primary_ctx_set_flags, "cuDevicePrimaryCtxSetFlags", api.lookup_error);
  look_up(api.get_error_name, "cuGetErrorName", api.lookup_error);
  look_up(api.get_error_string, "cuGetErrorString", api.lookup_error);
  return api;
}

}  // namespace

void* cuda_driver_entry_point(const char* symbol, cudaError_t* error) {
  void* fn = nullptr;
  cudaDriverEntryPointQueryResult status = cudaDriverEntryPointSymbolNotFound;
  cudaError_t result = cudaGetDriverEntryPointByVersion(symbol, &fn, kDriverAbiVersion,
                                                        cudaEnableDefault, &status);
  // The query leaves an error behind when there is no driver; it belongs to no launch.
  if (result != cudaSuccess) cudaGetLastError();
  if (result == cudaSuccess && status != cudaDriverEntryPointSuccess) {
    result = cudaErrorSymbolNotFound;
  }
  if (error) *error = result;
  return result == cudaSuccess ? fn : nullptr;
}

const CudaDriverApi& cuda_driver_api() {
  static const CudaDriverApi api = load_driver_api();
  return api;
}
