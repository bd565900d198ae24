// Driver initialisation, device handles and primary-context flags.
#include <cuda.h>

#include "runtime_state.h"

using namespace hostgpu::runtime;

namespace {

constexpr unsigned int kSchedMask = CU_CTX_SCHED_MASK;
constexpr unsigned int kKnownContextFlags = CU_CTX_SCHED_MASK | CU_CTX_MAP_HOST |
                                            CU_CTX_LMEM_RESIZE_TO_MAX | CU_CTX_COREDUMP_ENABLE |
                                            CU_CTX_USER_COREDUMP_ENABLE | CU_CTX_SYNC_MEMOPS;

// The state a device handle call needs, or the driver error that stops it.
CUresult check_device(const Platform& p, CUdevice device) {
  if (!p.driver_initialised) return CUDA_ERROR_NOT_INITIALIZED;
  if (device < 0 || static_cast<size_t>(device) >= p.devices.size()) return CUDA_ERROR_INVALID_DEVICE;
  return CUDA_SUCCESS;
}

bool valid_context_flags(unsigned int flags) {
  if ((flags & ~kKnownContextFlags) != 0) return false;
  const unsigned int sched = flags & kSchedMask;
  return sched == CU_CTX_SCHED_AUTO || sched == CU_CTX_SCHED_SPIN || sched == CU_CTX_SCHED_YIELD ||
         sched == CU_CTX_SCHED_BLOCKING_SYNC;
}

}  // namespace

extern "C" {

CUresult cuInit(unsigned int flags) {
  if (flags != 0) return CUDA_ERROR_INVALID_VALUE;
  auto lock = lock_platform();
  Platform& p = platform();
  // A malformed device list stands for a driver that cannot start.
  if (p.init_error != cudaSuccess) return CUDA_ERROR_NOT_INITIALIZED;
  p.driver_initialised = true;
  return CUDA_SUCCESS;
}

CUresult cuDriverGetVersion(int* version) {
  if (version == nullptr) return CUDA_ERROR_INVALID_VALUE;
  *version = CUDA_VERSION;
  return CUDA_SUCCESS;
}

CUresult cuDeviceGetCount(int* count) {
  if (count == nullptr) return CUDA_ERROR_INVALID_VALUE;
  auto lock = lock_platform();
  const Platform& p = platform();
  if (!p.driver_initialised) return CUDA_ERROR_NOT_INITIALIZED;
  *count = static_cast<int>(p.devices.size());
  return CUDA_SUCCESS;
}

CUresult cuDeviceGet(CUdevice* device, int ordinal) {
  if (device == nullptr) return CUDA_ERROR_INVALID_VALUE;
  auto lock = lock_platform();
  const CUresult status = check_device(platform(), ordinal);
  if (status != CUDA_SUCCESS) return status;
  *device = ordinal;
  return CUDA_SUCCESS;
}

CUresult cuDevicePrimaryCtxGetState(CUdevice device, unsigned int* flags, int* active) {
  if (flags == nullptr || active == nullptr) return CUDA_ERROR_INVALID_VALUE;
  auto lock = lock_platform();
  Platform& p = platform();
  const CUresult status = check_device(p, device);
  if (status != CUDA_SUCCESS) return status;
  *flags = p.primary_contexts[device].flags;
  *active = p.primary_contexts[device].active ? 1 : 0;
  return CUDA_SUCCESS;
}

// An active context keeps its flags: they are only taken when it is created.
CUresult cuDevicePrimaryCtxSetFlags(CUdevice device, unsigned int flags) {
  auto lock = lock_platform();
  Platform& p = platform();
  const CUresult status = check_device(p, device);
  if (status != CUDA_SUCCESS) return status;
  if (!valid_context_flags(flags)) return CUDA_ERROR_INVALID_VALUE;
  PrimaryContext& context = p.primary_contexts[device];
  if (context.activates_at_next_set_flags) {
    context.activates_at_next_set_flags = false;
    context.active = true;
    context.flags = context.flags_of_other_user;
  }
  if (context.active) return CUDA_ERROR_PRIMARY_CONTEXT_ACTIVE;
  context.flags = flags;
  return CUDA_SUCCESS;
}

}  // extern "C"
