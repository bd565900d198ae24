#pragma once
// Test inspection of the stand-in: state a real platform keeps to itself.
#include <cstddef>

#include <vector_types.h>

namespace hostgpu::inspect {

// Drops every stream, event and allocation and reads HOSTGPU_DEVICES,
// HOSTGPU_STREAMS, HOSTGPU_POISON and HOSTGPU_HOSTILE again. Handles made before are invalid afterwards.
void reinitialise();

bool deferred_streams();

struct PrimaryContextState {
  unsigned int flags = 0;
  bool active = false;
};
PrimaryContextState primary_context(int device);
// As if another user of the device had created its primary context with these flags.
void activate_primary_context(int device, unsigned int flags);
// The same, but only when the next flag change is attempted (after any state query).
void activate_primary_context_at_next_set_flags(int device, unsigned int flags);

struct KernelAttributes {
  int max_dynamic_shared_bytes = 0;
  int preferred_carveout = -1;
  int non_portable_cluster_size_allowed = 0;
};
// The attributes cudaFuncSetAttribute recorded for the kernel on the device.
KernelAttributes kernel_attributes(const void* kernel, int device);

struct LaunchRecord {
  const void* kernel = nullptr;
  dim3 grid;
  dim3 block;
  dim3 cluster;
  size_t dynamic_shared_bytes = 0;
  int device = 0;
};
// The most recent accepted launch, if any.
bool last_launch(LaunchRecord* out);

// Bytes of device memory in use on the device.
size_t device_bytes_in_use(int device);

}  // namespace hostgpu::inspect
